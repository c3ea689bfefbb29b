#include "kit/pickle_bridge.h"

#include "kit/convert.h"
#include "kit/imports.h"
#include "kit/ref.h"

namespace kiv::python {

common::Bytes pickle_dumps(PyObject* object) {
  Ref dumps = module_attribute("pickle", "dumps");
  Ref pickled = Ref::check(PyObject_CallFunctionObjArgs(dumps.get(), object, nullptr));
  if (PyBytes_CheckExact(pickled.get())) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(pickled.get()));
    return common::Bytes(data, data + PyBytes_Size(pickled.get()));
  }
  // Whatever a replaced `dumps` returns must still read as a byte sequence.
  return Arg<common::Bytes>::from(pickled.get());
}

PyObject* pickle_loads(common::ByteView data) {
  Ref loads = module_attribute("pickle", "loads");
  Ref bytes = Ref::check(to_bytes(data));
  return PyObject_CallFunctionObjArgs(loads.get(), bytes.get(), nullptr);
}

}  // namespace kiv::python
