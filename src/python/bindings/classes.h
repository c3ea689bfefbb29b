// One builder per Python class, each in the file named after its component.
#pragma once

#include "kit/python.h"

namespace kiv::python {

PyTypeObject* build_observation_bus_class();
PyTypeObject* build_watchdog_timer_class();
PyTypeObject* build_risk_controller_class();
PyTypeObject* build_metric_bus_class();
PyTypeObject* build_action_bus_class();
PyTypeObject* build_image_writer_class();
PyTypeObject* build_image_hub_class();
PyTypeObject* build_mcap_writer_class();
PyTypeObject* build_serializer_bus_class();

}  // namespace kiv::python
