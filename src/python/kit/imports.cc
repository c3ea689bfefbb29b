#include "kit/imports.h"

#include "kit/errors.h"

namespace kiv::python {

Ref module_attribute(const char* module, const char* name) {
  Ref module_name = Ref::check(PyUnicode_FromString(module));
  // sys.modules first, as the import system itself does; the full import
  // runs only when the module is not there (or was replaced by None).
  Ref loaded = Ref::steal(PyImport_GetModule(module_name.get()));
  if (!loaded || loaded.get() == Py_None) {
    if (PyErr_Occurred()) raise_current();
    loaded = Ref::check(PyImport_Import(module_name.get()));
  }
  return Ref::check(PyObject_GetAttrString(loaded.get(), name));
}

}  // namespace kiv::python
