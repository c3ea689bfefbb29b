// How failures reach Python.
//
// Binding code signals "a Python exception is set" by throwing PythonErrorSet;
// `guarded` at every entry point turns that into the CPython error return and
// keeps every other C++ exception from crossing into the interpreter:
// std::bad_alloc becomes MemoryError, anything else InternalFault.
#pragma once

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

#include "kit/python.h"

namespace kiv::python {

struct PythonErrorSet {};

// Sets `type(message)` and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Throws PythonErrorSet for a CPython call that reported failure; if it set
// no exception, SystemError is set first.
[[noreturn]] void raise_current();

// The BaseException subclass for internal faults, created on first use.
PyObject* internal_fault_type();
void set_internal_fault(std::string_view message);

// Replaces a pending exception of exactly TypeError by
// TypeError("argument '{name}': {message}"), keeping its cause.
void prefix_argument_error(std::string_view name);

namespace detail {
void set_error_from_current_exception() noexcept;
}

template <typename Fn>
auto guarded(Fn&& fn) noexcept -> decltype(fn()) {
  using R = decltype(fn());
  try {
    return fn();
  } catch (...) {
    detail::set_error_from_current_exception();
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

}  // namespace kiv::python
