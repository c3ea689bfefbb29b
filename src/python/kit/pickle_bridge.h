// Python objects to opaque byte strings and back, through the standard
// `pickle` module, looked up on every call (nothing Python is cached). Both
// run Python code, so callers hold no lock of their own around them.
#pragma once

#include "common/bytes.h"
#include "kit/python.h"

namespace kiv::python {

// pickle.dumps(obj), copied into an owned byte string. Throws PythonErrorSet.
common::Bytes pickle_dumps(PyObject* object);
// pickle.loads(bytes(data)): a new reference. Throws PythonErrorSet.
PyObject* pickle_loads(common::ByteView data);

}  // namespace kiv::python
