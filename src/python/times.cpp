#include "python/times.hpp"

#include "python/convert.hpp"
#include "python/module_state.hpp"

namespace vantrel::py {

namespace {

Ref datetime_class() {
  PyObject* name = state().datetime_name;
  Ref module = Ref::steal(PyImport_Import(name));
  if (!module) return module;
  return Ref::steal(PyObject_GetAttr(module.get(), name));
}

Ref strptime(PyObject* cls, PyObject* text, const char* format) {
  Ref format_text = Ref::steal(PyUnicode_FromString(format));
  if (!format_text) return format_text;
  PyObject* args[] = {cls, text, format_text.get()};
  return Ref::steal(PyObject_VectorcallMethod(state().strptime_name, args, 3, nullptr));
}

}  // namespace

Ref parse_datetime_or_none(const std::optional<std::string>& text) {
  if (!text) return Ref::steal(none());
  Ref cls = datetime_class();
  if (!cls) return cls;
  Ref str = Ref::steal(to_py(*text));
  if (!str) return str;
  Ref result = strptime(cls.get(), str.get(), "%Y-%m-%dT%H:%M:%S.%fZ");
  if (result) return result;
  // Texts without a fraction of a second take the second format; if that fails too, its
  // error is the one the caller sees.
  PyObject* first_error = PyErr_GetRaisedException();
  result = strptime(cls.get(), str.get(), "%Y-%m-%dT%H:%M:%SZ");
  Py_XDECREF(first_error);
  return result;
}

Ref publish_time_to_datetime(std::int64_t milliseconds) {
  Ref cls = datetime_class();
  if (!cls) return cls;
  Ref seconds = Ref::steal(PyFloat_FromDouble(static_cast<double>(milliseconds) / 1000.0));
  if (!seconds) return seconds;
  return Ref::steal(
      PyObject_CallMethodOneArg(cls.get(), state().utcfromtimestamp_name, seconds.get()));
}

}  // namespace vantrel::py
