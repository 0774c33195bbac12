// Work handed to a second thread while the caller goes on: the store's
// large scans (a whole-file CRC, faulting in fresh buffers) are bound by
// memory, and one thread reading memory falls well short of what the
// memory system delivers to two.
#pragma once

#include <functional>
#include <thread>

namespace velk {

// Runs a task on a thread of its own from construction on.  Where no
// thread can be started, the task runs on the caller's thread in Wait()
// instead, so it has run once Wait() returns in either case.  Whatever the
// task reads or writes must stay valid until then; the destructor waits.
class HelperThread {
 public:
  explicit HelperThread(std::function<void()> task);
  ~HelperThread() { Wait(); }
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  void Wait();

 private:
  std::function<void()> task_;  // set only while the task still has to run inline
  std::thread thread_;
};

}  // namespace velk
