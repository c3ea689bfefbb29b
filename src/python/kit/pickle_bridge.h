// Python objects to opaque byte strings and back, through the standard
// `pickle` module. The module and its `dumps`/`loads` are looked up on every
// call, so replacing any of them takes effect at the next call. Both run
// Python code, so callers hold no lock of their own around them.
#pragma once

#include "common/bytes.h"
#include "kit/python.h"
#include "kit/ref.h"

namespace kiv::python {

// pickle.dumps(obj), viewed where it lies: the bytes object it returned is
// kept alive, not copied (a replaced `dumps` may return any byte sequence;
// that is copied). Throws PythonErrorSet.
class Pickled {
 public:
  explicit Pickled(PyObject* object);
  common::ByteView bytes() const { return bytes_; }

 private:
  Ref result_;
  common::Bytes converted_;
  common::ByteView bytes_;
};

// pickle.loads(bytes(data)): a new reference. Throws PythonErrorSet.
PyObject* pickle_loads(common::ByteView data);
// pickle.loads(pickled), `pickled` a bytes object: a new reference. Throws
// PythonErrorSet.
PyObject* pickle_loads(const Ref& pickled);

}  // namespace kiv::python
