// Ownership of Python references, made visible in the types.
//
// Rules of use:
//  - `Ref` owns one strong reference and releases it when it goes; it is move-only. Use it
//    wherever a reference is stored or produced (fields of native objects, locals that may be
//    abandoned on an error path).
//  - A raw `PyObject*` is borrowed. It appears only at API boundaries: arguments, and results
//    handed straight to the interpreter with `release()`.
//  - A function that fails returns an empty Ref (or nullptr) with a Python exception set; the
//    caller passes the failure on without touching the exception.
#pragma once

#include <Python.h>

#include <utility>

namespace vantrel::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (nullptr is allowed and means failure or absence).
  static Ref steal(PyObject* o) { return Ref(o); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  // A new reference for the caller, keeping this one.
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// A new reference to None, True or False.
inline PyObject* none() {
  Py_RETURN_NONE;
}
inline PyObject* boolean(bool b) {
  if (b) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

}  // namespace vantrel::py
