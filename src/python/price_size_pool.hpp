// Memory of dropped PriceSize objects, kept for the next ones.
//
// A changed ladder is read out whole into a list of new objects, so a replay makes and drops
// PriceSize objects by the hundred per step. Keeping the memory of dropped ones for the next
// list spares the allocator both ways; the interpreter does the same for its floats. Only ever
// touched with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>

#include "base/kept.hpp"

namespace vantrel::py {

class PriceSizePool {
 public:
  explicit PriceSizePool(std::size_t object_size) : object_size_(object_size) {}

  // A block for one object, initialised as an instance of `type`; null with MemoryError set.
  PyObject* take(PyTypeObject* type) {
    PyObject* raw;
    if (head_ != nullptr) {
      raw = head_;
      head_ = next_of(raw);
      --count_;
    } else {
      raw = static_cast<PyObject*>(PyObject_Malloc(object_size_));
      if (raw == nullptr) return PyErr_NoMemory();
    }
    PyObject_Init(raw, type);  // takes the type's reference, as the interpreter's allocation does
    return raw;
  }

  // Hands every kept block back to the interpreter's allocator.
  void release() {
    while (head_ != nullptr) {
      PyObject* raw = head_;
      head_ = next_of(raw);
      PyObject_Free(raw);
    }
    count_ = 0;
  }

  std::size_t kept() const { return count_; }

  void give(PyObject* raw) {
    if (count_ >= kMaxKept) {
      PyObject_Free(raw);
      return;
    }
    next_of(raw) = head_;
    head_ = raw;
    ++count_;
  }

 private:
  // Enough for the lists a deep market drops in one step; beyond it memory goes back.
  static constexpr std::size_t kMaxKept = base::kPriceSizes;

  // A kept block is no object any more: its first word links it to the next one.
  static PyObject*& next_of(PyObject* raw) { return *reinterpret_cast<PyObject**>(raw); }

  std::size_t object_size_;
  PyObject* head_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace vantrel::py
