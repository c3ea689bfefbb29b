// Conversions between Python objects and the core's plain values.
//
// `Arg<T>::from(object)` converts one argument for a parameter of C++ type T
// (the parameter kinds every class uses); on failure it sets the exception
// CPython would and throws PythonErrorSet. `to_python(value)` builds the
// result object of a method from its C++ return value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "kit/errors.h"
#include "kit/ref.h"

namespace kiv::python {

// ---- Arguments -------------------------------------------------------------

template <typename T>
struct Arg;  // one specialization per parameter kind

template <>
struct Arg<std::uint64_t> {
  static std::uint64_t from(PyObject* object);
};
template <>
struct Arg<std::uint32_t> {
  static std::uint32_t from(PyObject* object);
};
template <>
struct Arg<std::uint8_t> {
  static std::uint8_t from(PyObject* object);
};
template <>
struct Arg<double> {
  static double from(PyObject* object);
};
// Exactly True or False (or a numpy bool scalar): ints are refused.
template <>
struct Arg<bool> {
  static bool from(PyObject* object);
};
// A str as UTF-8, viewed in place for the duration of the call.
template <>
struct Arg<std::string_view> {
  static std::string_view from(PyObject* object);
};
// Read-only bytes: a bytes object (or subclass), viewed in place.
template <>
struct Arg<common::ByteView> {
  static common::ByteView from(PyObject* object);
};
// Owned byte sequence: any sequence of ints 0..255 except a str, copied.
template <>
struct Arg<common::Bytes> {
  static common::Bytes from(PyObject* object);
};
// Any object, unchanged (borrowed for the duration of the call).
template <>
struct Arg<PyObject*> {
  static PyObject* from(PyObject* object) { return object; }
};
// None (or a parameter left out) gives no value.
template <typename T>
struct Arg<std::optional<T>> {
  static std::optional<T> from(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return Arg<T>::from(object);
  }
};

// Qualified type names, for messages ("float", "bytearray").
std::string qualified_name(PyTypeObject* type);
inline std::string type_name_of(PyObject* object) { return qualified_name(Py_TYPE(object)); }

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* object, std::string_view target);

// ---- Results ---------------------------------------------------------------

inline PyObject* to_python(PyObject* new_reference) { return new_reference; }
inline PyObject* to_python(Ref value) { return value.release(); }
PyObject* to_python(bool value);
PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::int64_t value);
inline PyObject* to_python(std::uint32_t value) { return to_python(static_cast<std::uint64_t>(value)); }
inline PyObject* to_python(std::uint8_t value) { return to_python(static_cast<std::uint64_t>(value)); }
PyObject* to_python(std::string_view text);
inline PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
PyObject* to_bytes(common::ByteView bytes);
PyObject* to_bytes(std::string_view bytes);
// A list with one int per byte, in order: for results given as a list of
// byte values rather than as bytes.
PyObject* to_int_list(common::ByteView bytes);
// A byte view becomes a bytes object (a copy). (An owned common::Bytes is a
// std::vector and still converts as a list of ints.)
inline PyObject* to_python(common::ByteView bytes) { return to_bytes(bytes); }
PyObject* none();

// Containers convert element by element, so they may nest in any order.
template <typename T>
PyObject* to_python(const std::optional<T>& value);
template <typename T>
PyObject* to_python(const std::vector<T>& items);
template <typename... T>
PyObject* to_python(const std::tuple<T...>& items);

template <typename T>
PyObject* to_python(const std::optional<T>& value) {
  return value ? to_python(*value) : none();
}

template <typename T>
PyObject* to_python(const std::vector<T>& items) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_python(items[i]);
    if (item == nullptr) raise_current();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

template <typename... T>
PyObject* to_python(const std::tuple<T...>& items) {
  Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(T))));
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    auto set = [&](Py_ssize_t index, PyObject* item) {
      if (item == nullptr) raise_current();
      PyTuple_SetItem(tuple.get(), index, item);  // steals item
    };
    (set(static_cast<Py_ssize_t>(I), to_python(std::get<I>(items))), ...);
  }(std::index_sequence_for<T...>{});
  return tuple.release();
}

// A result dict built entry by entry, in insertion order; values go through
// to_python. Keys are text: a `const char*` would otherwise pick the bool
// overload of to_python.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::check(PyDict_New())) {}

  template <typename V>
  DictBuilder& set(std::string_view key, const V& value) {
    return set(key, Ref::check(to_python(value)));
  }

  // A value that is already a Python object (a nested dict, say).
  DictBuilder& set(std::string_view key, Ref value) {
    Ref key_object = Ref::check(to_python(key));
    if (PyDict_SetItem(dict_.get(), key_object.get(), value.get()) != 0) raise_current();
    return *this;
  }

  Ref release() { return std::move(dict_); }

 private:
  Ref dict_;
};

// A dict from (text key, value) pairs, in their order: the core's name maps.
template <typename Pairs>
Ref dict_from(const Pairs& pairs) {
  DictBuilder dict;
  for (const auto& [key, value] : pairs) dict.set(key, value);
  return dict.release();
}

// Result of a core call that throws PythonErrorSet when it is null.
inline Ref checked(PyObject* new_reference) { return Ref::check(new_reference); }

}  // namespace kiv::python
