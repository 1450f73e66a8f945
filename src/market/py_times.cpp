#include "market/py_times.hpp"

#include "market/py_convert.hpp"

namespace vantrel::py {

namespace {

Ref datetime_class() {
  Ref name = Ref::steal(PyUnicode_FromString("datetime"));
  if (!name) return name;
  Ref module = Ref::steal(PyImport_Import(name.get()));
  if (!module) return module;
  return Ref::steal(PyObject_GetAttr(module.get(), name.get()));
}

Ref strptime(PyObject* cls, PyObject* text, const char* format) {
  return Ref::steal(PyObject_CallMethod(cls, "strptime", "Os", text, format));
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
  Ref method = Ref::steal(PyUnicode_FromString("utcfromtimestamp"));
  if (!method) return method;
  return Ref::steal(PyObject_CallMethodOneArg(cls.get(), method.get(), seconds.get()));
}

}  // namespace vantrel::py
