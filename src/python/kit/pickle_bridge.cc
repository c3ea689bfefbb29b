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

// The common case at the cost of two dict lookups: the function found in the
// dict of the plain module cached in sys.modules. Null when there is no such
// module or its dict lacks the name. Borrowed.
PyObject* function_of_cached_module(PyObject* module_name, PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* module = modules ? PyDict_GetItemWithError(modules, module_name) : nullptr;
  PyObject* found = module && PyModule_CheckExact(module) ? PyDict_GetItemWithError(PyModule_GetDict(module), name)
                                                          : nullptr;
  if (found == nullptr && PyErr_Occurred()) raise_current();
  return found;
}

Ref pickle_function(PyObject*& name_slot, const char* name_text) {
  PyObject* module_name = interned(g_pickle_name, "pickle");
  PyObject* name = interned(name_slot, name_text);
  if (PyObject* found = function_of_cached_module(module_name, name)) return Ref::borrow(found);
  // Everything else takes the import system, as an import statement does:
  // it imports a missing module, and it waits for an import that another
  // thread has under way (a half-imported module lacks its functions yet).
  // Then the attribute protocol: a replacement object, a module __getattr__.
  Ref module = Ref::check(PyImport_Import(module_name));
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
