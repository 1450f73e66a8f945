// Native objects: C++ fields living inside objects the interpreter allocates.
//
// Every class is a struct with `PyObject_HEAD` followed by one member `fields`, built whole
// (with designated initialisers, so no two arguments can swap silently) and moved in place.
// C++ exceptions never cross into the interpreter: every entry point called by Python runs its
// body through `guarded`, which turns an allocation failure into MemoryError.
#pragma once

#include <Python.h>

#include <array>
#include <new>
#include <stdexcept>
#include <utility>

#include "python/ref.hpp"

namespace vantrel::py {

template <class Object>
using FieldsOf = decltype(Object::fields);

// The native object behind `self`; the caller knows its type (the slot was called on it).
template <class Object>
Object* self_as(PyObject* self) {
  return reinterpret_cast<Object*>(self);
}
template <class Object>
FieldsOf<Object>& fields_of(PyObject* self) {
  return self_as<Object>(self)->fields;
}

// Runs one entry point's body. `failure` is what the interpreter expects on error (nullptr,
// -1); allocation failures inside the body become MemoryError.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  return failure;
}

// A new object of `type` with the fields built by `make` straight into it (a prvalue needs no
// move), tracked by the collector once whole when its class has GC support. Should building
// them throw, the object is given back unborn and the exception goes on to the entry point's
// guard.
template <class Object, class Make>
Ref emplace(PyTypeObject* type, Make&& make) {
  const bool gc = PyType_IS_GC(type);
  Object* obj = gc ? PyObject_GC_New(Object, type) : PyObject_New(Object, type);
  if (obj == nullptr) return Ref();
  try {
    new (&obj->fields) FieldsOf<Object>(make());
  } catch (...) {
    if (gc) {
      PyObject_GC_Del(obj);
    } else {
      PyObject_Free(obj);
    }
    Py_DECREF(type);
    throw;
  }
  if (gc) PyObject_GC_Track(obj);
  return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

// The same with fields built beforehand: moving them in runs no Python code and cannot fail.
template <class Object>
Ref create(PyTypeObject* type, FieldsOf<Object>&& fields) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<FieldsOf<Object>>);
  return emplace<Object>(type, [&]() noexcept -> FieldsOf<Object>&& { return std::move(fields); });
}

// tp_dealloc for every class built by `emplace` or `create`.
template <class Object>
void destroy(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
  self_as<Object>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

// tp_traverse and tp_clear generated from one list per class: `Object::refs(fields)` names
// every Ref the object holds.
template <class Object>
int traverse_refs(PyObject* self, visitproc visit, void* arg) {
  for (Ref* ref : Object::refs(fields_of<Object>(self))) Py_VISIT(ref->get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}
template <class Object>
int clear_refs(PyObject* self) {
  for (Ref* ref : Object::refs(fields_of<Object>(self))) *ref = Ref();
  return 0;
}

// Slot functions cast to the slot table's pointer type.
template <class F>
void* slot(F* function) {
  return reinterpret_cast<void*>(function);
}

// Marks an object busy for the whole of one call, whichever way the call ends: Python code run
// inside it (a warning filter, a finaliser) must not re-enter the object and change its state
// under the call's feet.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyScope() { busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

// tp_new of every class: none can be called from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

inline constexpr unsigned kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
inline constexpr unsigned kGcClassFlags = kClassFlags | Py_TPFLAGS_HAVE_GC;

}  // namespace vantrel::py
