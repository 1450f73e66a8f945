#include "market/py_times.hpp"

#include "market/py_convert.hpp"

namespace vantrel::py {

namespace {

// Interned names, made once: hashing a fresh string at every snapshot would cost more than
// the lookups themselves. The module and the class are looked up anew at every call.
PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}
PyObject* g_datetime_name = nullptr;
PyObject* g_utcfromtimestamp_name = nullptr;

Ref datetime_class() {
  PyObject* name = interned(g_datetime_name, "datetime");
  if (name == nullptr) return Ref();
  Ref module = Ref::steal(PyImport_Import(name));
  if (!module) return module;
  return Ref::steal(PyObject_GetAttr(module.get(), name));
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
  PyObject* method = interned(g_utcfromtimestamp_name, "utcfromtimestamp");
  if (method == nullptr) return Ref();
  return Ref::steal(PyObject_CallMethodOneArg(cls.get(), method, seconds.get()));
}

}  // namespace vantrel::py
