#include "kit/convert.h"

#include <climits>
#include <cstring>
#include <limits>

namespace kiv::python {
namespace {

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) raise_current();
  return {utf8, static_cast<std::size_t>(size)};
}

// int or __index__ as a C long, then checked against the narrower width.
template <typename Narrow>
Narrow narrow_unsigned(PyObject* object) {
  Ref index = Ref::check(PyNumber_Index(object));
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) raise_current();
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<Narrow>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<Narrow>(value);
}

bool is_numpy_bool(PyObject* object) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// A one-dimensional buffer of unsigned bytes reads exactly like iterating
// it element by element, only without a Python int per byte.
bool copy_byte_buffer(PyObject* object, common::Bytes& out) {
  if (PyObject_CheckBuffer(object) == 0) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_ND) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool unsigned_bytes = view.ndim == 1 && view.itemsize == 1 &&
                              (view.format == nullptr || std::strcmp(view.format, "B") == 0);
  if (unsigned_bytes) {
    const auto* begin = static_cast<const std::uint8_t*>(view.buf);
    out.assign(begin, begin + view.len);
  }
  PyBuffer_Release(&view);
  return unsigned_bytes;
}

}  // namespace

std::string qualified_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) raise_current();
  return std::string(utf8_view(name.get()));
}

void raise_cannot_convert(PyObject* object, std::string_view target) {
  std::string message = "'";
  message.append(type_name_of(object)).append("' object cannot be converted to '").append(target).append("'");
  raise(PyExc_TypeError, message);
}

std::uint64_t Arg<std::uint64_t>::from(PyObject* object) {
  Ref index = Ref::check(PyNumber_Index(object));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_current();
  return value;
}

std::uint32_t Arg<std::uint32_t>::from(PyObject* object) { return narrow_unsigned<std::uint32_t>(object); }

std::uint8_t Arg<std::uint8_t>::from(PyObject* object) { return narrow_unsigned<std::uint8_t>(object); }

double Arg<double>::from(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) raise_current();
  return value;
}

bool Arg<bool>::from(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) raise_current();
    return truth == 1;
  }
  raise_cannot_convert(object, "PyBool");
}

std::string_view Arg<std::string_view>::from(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_cannot_convert(object, "PyString");
  return utf8_view(object);
}

common::ByteView Arg<common::ByteView>::from(PyObject* object) {
  if (!PyBytes_Check(object)) raise_cannot_convert(object, "PyBytes");
  const char* data = PyBytes_AsString(object);
  if (data == nullptr) raise_current();
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(PyBytes_Size(object))};
}

common::Bytes Arg<common::Bytes>::from(PyObject* object) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "a str cannot be taken as a byte sequence");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
  common::Bytes out;
  if (copy_byte_buffer(object, out)) return out;
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) raise_current();
  out.reserve(static_cast<std::size_t>(length));
  Ref iterator = Ref::check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    out.push_back(Arg<std::uint8_t>::from(item.get()));
  }
  if (PyErr_Occurred()) raise_current();
  return out;
}

PyObject* to_python(bool value) {
  PyObject* result = value ? Py_True : Py_False;
  Py_INCREF(result);
  return result;
}

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_bytes(common::ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* to_int_list(common::ByteView bytes) {
  // list(bytes) in C: CPython's own loop over a bytes iterator beats filling
  // the list item by item through the stable ABI.
  Ref as_bytes = Ref::check(to_bytes(bytes));
  return PySequence_List(as_bytes.get());
}

PyObject* to_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace kiv::python
