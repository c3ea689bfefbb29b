#include "kit/pickle_bridge.h"

#include "kit/convert.h"
#include "kit/ref.h"

namespace kiv::python {
namespace {

Ref pickle_function(const char* name) {
  Ref module_name = Ref::check(PyUnicode_FromString("pickle"));
  // sys.modules first, as the import system itself does; the full import
  // runs only when the module is not there (or was replaced by None).
  Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
  if (!module || module.get() == Py_None) {
    if (PyErr_Occurred()) raise_current();
    module = Ref::check(PyImport_Import(module_name.get()));
  }
  return Ref::check(PyObject_GetAttrString(module.get(), name));
}

}  // namespace

common::Bytes pickle_dumps(PyObject* object) {
  Ref dumps = pickle_function("dumps");
  Ref pickled = Ref::check(PyObject_CallFunctionObjArgs(dumps.get(), object, nullptr));
  if (PyBytes_CheckExact(pickled.get())) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(pickled.get()));
    return common::Bytes(data, data + PyBytes_Size(pickled.get()));
  }
  // Whatever a replaced `dumps` returns must still read as a byte sequence.
  return Arg<common::Bytes>::from(pickled.get());
}

PyObject* pickle_loads(common::ByteView data) {
  Ref loads = pickle_function("loads");
  Ref bytes = Ref::check(to_bytes(data));
  return PyObject_CallFunctionObjArgs(loads.get(), bytes.get(), nullptr);
}

}  // namespace kiv::python
