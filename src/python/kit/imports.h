// Attributes of Python modules, looked up on every call: the binding keeps
// no module or function between calls, so replacing a module in sys.modules
// (or one of its attributes) takes effect from the next call on.
#pragma once

#include "kit/ref.h"

namespace kiv::python {

// `module.name` as a new reference, e.g. module_attribute("json", "dumps").
// Both texts must be string literals: their interned Python names are made
// once and kept. Throws PythonErrorSet with the import or attribute error.
Ref module_attribute(const char* module, const char* name);

}  // namespace kiv::python
