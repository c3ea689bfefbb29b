// Owned reference to a Python object: the reference is released exactly once,
// on every path, including the exceptional ones of the binding kit.
#pragma once

#include <utility>

#include "kit/python.h"

namespace kiv::python {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference of its own.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  // Takes over a new reference from a CPython call; a null result means the
  // call failed and its exception is propagated (see errors.h).
  static Ref check(PyObject* object);

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace kiv::python
