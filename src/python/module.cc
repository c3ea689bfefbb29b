// Module entry: creates `kiv_rs` once per process and registers its classes.
#include <chrono>
#include <cstdint>

#include "bindings/classes.h"
#include "common/pending_work.h"
#include "recorder/mcap_writer.h"
#include "kit/errors.h"
#include "kit/ref.h"

namespace kiv::python {
namespace {

constexpr char kVersion[] = "0.7.0";

// Registration order is the order of `__all__`.
PyTypeObject* (*const kClassBuilders[])() = {
    &build_observation_bus_class,
    &build_watchdog_timer_class,
    &build_risk_controller_class,
    &build_metric_bus_class,
    &build_action_bus_class,
    &build_image_writer_class,
    &build_image_hub_class,
    &build_mcap_writer_class,
    &build_serializer_bus_class,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "kiv_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;  // created once, never finalised
std::int64_t g_interpreter = -1;

// Recorders finish their files on detached threads, after stop() has
// returned; an interpreter exiting under them would cut the files short. So
// at the very end of finalisation (writers released by then have sent their
// stop requests) the writers still referenced are stopped too, and the exit
// waits for every file to be finished. Bounded, for a worker stuck on a
// device that never answers.
constexpr auto kExitWaitForRecordings = std::chrono::seconds(30);

void finish_recordings() {
  const auto deadline = std::chrono::steady_clock::now() + kExitWaitForRecordings;
  recorder::McapWriter::stop_all(deadline);
  (void)common::wait_for_pending_work(deadline);
}

// Sets `module.name = value` and appends the name to `__all__`.
void add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) raise_current();
  }
  Ref key = Ref::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), key.get()) != 0) raise_current();
  if (PyObject_SetAttrString(module, name, value) != 0) raise_current();
}

PyObject* create_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter == -1) g_interpreter = interpreter;
  if (interpreter != g_interpreter) {
    raise(PyExc_ImportError, "kiv_rs cannot be imported in a sub-interpreter: sub-interpreters are not supported");
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module = Ref::check(PyModule_Create(&g_module_def));
  Ref version = Ref::check(PyUnicode_FromString(kVersion));
  add_attribute(module.get(), "__version__", version.get());
  for (auto build : kClassBuilders) {
    auto* type = reinterpret_cast<PyObject*>(build());
    Ref name = Ref::check(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) raise_current();
    add_attribute(module.get(), utf8, type);
  }
  // Fails only when 32 exit functions are registered already; recording works
  // without it, as it did before it existed.
  (void)Py_AtExit(&finish_recordings);
  g_module = module.release();
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace kiv::python

PyMODINIT_FUNC PyInit_kiv_rs(void) {
  return kiv::python::guarded([] { return kiv::python::create_module(); });
}
