#include "kit/pickle_bridge.h"

#include "kit/convert.h"
#include "kit/ref.h"

namespace kiv::python {
namespace {

// Interned names of what is looked up: created once so that every lookup
// finds the string's hash cached (creating and hashing fresh strings cost a
// quarter of a small value's round trip). The module and its functions are
// still looked up on every call, so replacing either takes effect at once.
PyObject* interned(PyObject*& name, const char* text) {
  if (name == nullptr) name = PyUnicode_InternFromString(text);  // callers hold the GIL
  if (name == nullptr) raise_current();
  return name;
}

PyObject* g_pickle_name = nullptr;
PyObject* g_dumps_name = nullptr;
PyObject* g_loads_name = nullptr;

Ref pickle_function(PyObject*& name_slot, const char* name_text) {
  PyObject* module_name = interned(g_pickle_name, "pickle");
  PyObject* name = interned(name_slot, name_text);
  // The module cache (sys.modules) first, as every import does; the full
  // import machinery runs only when the module is not there.
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref module = Ref::borrow(modules ? PyDict_GetItemWithError(modules, module_name) : nullptr);
  if (!module || module.get() == Py_None) {
    if (PyErr_Occurred()) raise_current();
    module = Ref::check(PyImport_Import(module_name));
  }
  // A plain module's attributes are its dict entries; anything else (a
  // replacement object, a name left to a module __getattr__) takes the
  // attribute protocol.
  if (PyModule_CheckExact(module.get())) {
    if (PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module.get()), name)) {
      return Ref::borrow(found);
    }
    if (PyErr_Occurred()) raise_current();
  }
  return Ref::check(PyObject_GetAttr(module.get(), name));
}

}  // namespace

common::Bytes pickle_dumps(PyObject* object) {
  Ref dumps = pickle_function(g_dumps_name, "dumps");
  Ref pickled = Ref::check(PyObject_CallFunctionObjArgs(dumps.get(), object, nullptr));
  if (PyBytes_CheckExact(pickled.get())) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(pickled.get()));
    return common::Bytes(data, data + PyBytes_Size(pickled.get()));
  }
  // Whatever a replaced `dumps` returns must still read as a byte sequence.
  return Arg<common::Bytes>::from(pickled.get());
}

PyObject* pickle_loads(common::ByteView data) {
  Ref loads = pickle_function(g_loads_name, "loads");
  Ref bytes = Ref::check(to_bytes(data));
  return PyObject_CallFunctionObjArgs(loads.get(), bytes.get(), nullptr);
}

}  // namespace kiv::python
