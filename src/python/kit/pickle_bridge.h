// Python objects to opaque byte strings and back, through the standard
// `pickle` module. The module and its `dumps`/`loads` are looked up on every
// call, so replacing any of them takes effect at the next call. Both run
// Python code, so callers hold no lock of their own around them.
#pragma once

#include "common/bytes.h"
#include "kit/python.h"

namespace kiv::python {

// pickle.dumps(obj), copied into an owned byte string. Throws PythonErrorSet.
common::Bytes pickle_dumps(PyObject* object);
// pickle.loads(bytes(data)): a new reference. Throws PythonErrorSet.
PyObject* pickle_loads(common::ByteView data);

}  // namespace kiv::python
