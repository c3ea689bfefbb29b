// One builder per Python class, each in the file named after its component.
#pragma once

#include "kit/python.h"

namespace kiv::python {

PyTypeObject* build_observation_bus_class();
PyTypeObject* build_action_bus_class();
PyTypeObject* build_serializer_bus_class();

}  // namespace kiv::python
