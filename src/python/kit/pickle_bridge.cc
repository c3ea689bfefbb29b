#include "kit/pickle_bridge.h"

#include "kit/convert.h"
#include "kit/imports.h"

namespace kiv::python {

Pickled::Pickled(PyObject* object) {
  Ref dumps = module_attribute("pickle", "dumps");
  result_ = Ref::check(PyObject_CallFunctionObjArgs(dumps.get(), object, nullptr));
  if (PyBytes_CheckExact(result_.get())) {
    // Immutable, and alive while result_ holds it.
    bytes_ = common::ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(result_.get())),
                              static_cast<std::size_t>(PyBytes_Size(result_.get())));
    return;
  }
  // Whatever a replaced `dumps` returns must still read as a byte sequence.
  converted_ = Arg<common::Bytes>::from(result_.get());
  bytes_ = converted_;
}

PyObject* pickle_loads(const Ref& pickled) {
  Ref loads = module_attribute("pickle", "loads");
  return PyObject_CallFunctionObjArgs(loads.get(), pickled.get(), nullptr);
}

PyObject* pickle_loads(common::ByteView data) { return pickle_loads(Ref::check(to_bytes(data))); }

}  // namespace kiv::python
