// The command line's JSON lines for stored values, rendered from their
// MessagePack bytes without decoding them into objects.
#include "core/base/json_text.h"
#include "package/api.h"

namespace velk::native {

PyObject* JsonLine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyBytes_Check(args[0]) || (args[1] != Py_None && !PyBytes_Check(args[1]))) {
    PyErr_SetString(PyExc_TypeError, "_json_line(raw, key) takes bytes and bytes or None");
    return nullptr;
  }
  const std::string_view raw(PyBytes_AS_STRING(args[0]), static_cast<size_t>(PyBytes_GET_SIZE(args[0])));
  try {
    std::string line;
    if (args[1] != Py_None) {
      line.append(R"({"key":)");
      AppendJsonOfKey({PyBytes_AS_STRING(args[1]), static_cast<size_t>(PyBytes_GET_SIZE(args[1]))}, &line);
      line.append(R"(,"value":)");
    }
    if (!AppendJsonOfMsgpack(raw, &line)) Py_RETURN_NONE;
    if (args[1] != Py_None) line.push_back('}');
    line.push_back('\n');
    return NewBytes(std::string_view(line));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace velk::native
