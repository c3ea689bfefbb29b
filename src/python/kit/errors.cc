#include "kit/errors.h"

#include <string>

#include "kit/ref.h"

namespace kiv::python {
namespace {

constexpr char kInternalFaultDoc[] =
    "Raised when the native code of kiv_rs, called from Python, hits an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way through the stack and causes the interpreter to exit.";
constexpr char kUnnamedFault[] = "internal fault in kiv_rs native code";

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

}  // namespace

Ref Ref::check(PyObject* object) {
  if (object == nullptr) raise_current();
  return Ref(object);
}

void raise(PyObject* type, std::string_view message) {
  Ref value = Ref::steal(text(message));
  if (value) PyErr_SetObject(type, value.get());
  throw PythonErrorSet{};
}

void raise_current() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
  }
  throw PythonErrorSet{};
}

PyObject* internal_fault_type() {
  // Created once and kept for the life of the process; callers hold the GIL.
  static PyObject* type = PyErr_NewExceptionWithDoc("kiv_rs.InternalFault", kInternalFaultDoc,
                                                    PyExc_BaseException, nullptr);
  return type;
}

void set_internal_fault(std::string_view message) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // its creation failed and set that error
  Ref value = Ref::steal(text(message.empty() ? std::string_view(kUnnamedFault) : message));
  if (value) PyErr_SetObject(type, value.get());
}

void prefix_argument_error(std::string_view name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
  if (type != PyExc_TypeError || value == nullptr) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    return;
  }
  Ref original = Ref::steal(PyObject_Str(value));
  Py_ssize_t size = 0;
  const char* utf8 = original ? PyUnicode_AsUTF8AndSize(original.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    return;
  }
  std::string message = "argument '";
  message.append(name).append("': ").append(utf8, static_cast<std::size_t>(size));
  Ref replacement = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                                     static_cast<Py_ssize_t>(message.size())));
  if (!replacement) return;  // that failure's exception is now pending
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(replacement.get(), cause);  // steals the reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

namespace detail {
void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    set_internal_fault(fault.what());
  } catch (...) {
    set_internal_fault({});
  }
}
}  // namespace detail

}  // namespace kiv::python
