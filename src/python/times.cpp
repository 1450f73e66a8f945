#include "python/times.hpp"

#include <Python.h>
#include <datetime.h>

#include "market/times.hpp"
#include "python/convert.hpp"
#include "python/module_state.hpp"

namespace vantrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Through the datetime module

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

// None for an absent text; otherwise strptime with fractional seconds, then whole seconds.
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

// datetime.datetime.utcfromtimestamp(ms / 1000.0)
Ref publish_time_to_datetime(std::int64_t milliseconds) {
  Ref cls = datetime_class();
  if (!cls) return cls;
  Ref seconds = Ref::steal(PyFloat_FromDouble(static_cast<double>(milliseconds) / 1000.0));
  if (!seconds) return seconds;
  return Ref::steal(
      PyObject_CallMethodOneArg(cls.get(), state().utcfromtimestamp_name, seconds.get()));
}

// ---------------------------------------------------------------------------------------------
// Made here

Ref make(const CivilTime& c, bool aware) {
  return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
      c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsecond,
      aware ? PyDateTime_TimeZone_UTC : Py_None, PyDateTimeAPI->DateTimeType));
}

// A value made by the interpreter, given UTC as its zone when asked for.
Ref with_zone(Ref value, bool aware) {
  if (!value || !aware || value.get() == Py_None) return value;
  PyObject* v = value.get();
  return make({PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
               PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
               PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v)},
              aware);
}

}  // namespace

bool init_times() {
  PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

Ref publish_time(std::int64_t milliseconds, Times times) {
  if (times == Times::kInterpreter) return publish_time_to_datetime(milliseconds);
  // The package's loads refuse a publish time beyond the years a datetime holds, naming its
  // line; no book of theirs comes here with one.
  CivilTime c{};
  if (!civil_from_ms(milliseconds, c)) {
    PyErr_Format(PyExc_ValueError, "publish time %lld is outside the years 1 to 9999",
                 static_cast<long long>(milliseconds));
    return Ref();
  }
  return make(c, times == Times::kAware);
}

Ref definition_time(const std::optional<std::string>& text, Times times) {
  if (times == Times::kInterpreter) return parse_datetime_or_none(text);
  if (!text) return Ref::borrow(Py_None);
  const bool aware = times == Times::kAware;
  CivilTime c{};
  if (read_iso_time(*text, c)) return make(c, aware);
  // What the core does not read, the interpreter's strptime does, with its errors as ever.
  return with_zone(parse_datetime_or_none(text), aware);
}

Ref removal_time(const std::optional<std::string>& text, Times times) {
  if (times == Times::kInterpreter || !text) return Ref();
  return definition_time(text, times);
}

}  // namespace vantrel::py
