#include "kit/imports.h"

#include <utility>
#include <vector>

#include "kit/errors.h"

namespace kiv::python {
namespace {

// Interned names, one per literal: every lookup then finds the string's hash
// cached (creating and hashing fresh strings cost a quarter of a small
// value's pickle round trip). Callers hold the GIL.
PyObject* interned_name(const char* literal) {
  static std::vector<std::pair<const char*, PyObject*>> names;
  for (const auto& [key, name] : names) {
    if (key == literal) return name;
  }
  PyObject* name = PyUnicode_InternFromString(literal);
  if (name == nullptr) raise_current();
  names.emplace_back(literal, name);
  return name;
}

// The common case at the cost of two dict lookups: the attribute found in
// the dict of the plain module cached in sys.modules. Null when there is no
// such module or its dict lacks the name. Borrowed.
PyObject* attribute_of_cached_module(PyObject* module_name, PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* module = modules ? PyDict_GetItemWithError(modules, module_name) : nullptr;
  PyObject* found =
      module && PyModule_CheckExact(module) ? PyDict_GetItemWithError(PyModule_GetDict(module), name) : nullptr;
  if (found == nullptr && PyErr_Occurred()) raise_current();
  return found;
}

}  // namespace

Ref module_attribute(const char* module, const char* name) {
  PyObject* module_name = interned_name(module);
  PyObject* attribute_name = interned_name(name);
  if (PyObject* found = attribute_of_cached_module(module_name, attribute_name)) return Ref::borrow(found);
  // Everything else takes the import system, as an import statement does:
  // it imports a missing module, and it waits for an import that another
  // thread has under way (a half-imported module lacks its attributes yet).
  // Then the attribute protocol: a replacement object, a module __getattr__.
  Ref loaded = Ref::check(PyImport_Import(module_name));
  return Ref::check(PyObject_GetAttr(loaded.get(), attribute_name));
}

}  // namespace kiv::python
