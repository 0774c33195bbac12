#include "core/base/helper_thread.h"

#include <system_error>
#include <utility>

namespace velk {

HelperThread::HelperThread(std::function<void()> task) {
  try {
    thread_ = std::thread(task);
  } catch (const std::system_error&) {
    // No thread to spare: Wait() runs the task.
    task_ = std::move(task);
  }
}

void HelperThread::Wait() {
  if (thread_.joinable()) {
    thread_.join();
  } else if (task_) {
    std::exchange(task_, nullptr)();
  }
}

}  // namespace velk
