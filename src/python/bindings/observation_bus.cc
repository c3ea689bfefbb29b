#include "observation_bus/observation_bus.h"

#include <memory>

#include "bindings/classes.h"
#include "common/format.h"
#include "kit/pickle_bridge.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using observation_bus::ObservationBus;

constexpr char kClassDoc[] =
    "ObservationBus(capacity)\n--\n\n"
    "Bounded ring buffer for sensor observations.\n\n"
    "Observations are serialised with ``pickle`` before being stored in the\n"
    "native ring buffer, and deserialised on read.  This keeps the hot path\n"
    "lock-free while remaining compatible with arbitrary Python objects.\n\n"
    "Constructor: ``ObservationBus(capacity: int)``";
constexpr char kWriteDoc[] =
    "write($self, data)\n--\n\nWrite one observation (any Python object) to the ring buffer.";
constexpr char kReadLatestDoc[] =
    "read_latest($self)\n--\n\nReturn the most recently written observation, or None if the buffer is empty.";
constexpr char kReadWindowDoc[] =
    "read_window($self, n)\n--\n\nReturn the last ``n`` observations in chronological order (oldest first).";
constexpr char kLenDoc[] = "len($self)\n--\n\n";
constexpr char kIsEmptyDoc[] = "is_empty($self)\n--\n\n";

std::unique_ptr<ObservationBus> make(std::uint64_t capacity) { return std::make_unique<ObservationBus>(capacity); }

// Pickled before the bus lock is taken; the entry is copied into a bytes
// object under the read lock (no Python code runs there) and unpickled after.
void write(ObservationBus& bus, PyObject* data) { bus.write(Pickled(data).bytes()); }

PyObject* read_latest(ObservationBus& bus) {
  Ref latest;
  if (!bus.visit_latest([&](common::ByteView entry) { latest = checked(to_bytes(entry)); })) return none();
  return pickle_loads(latest);
}

PyObject* read_window(ObservationBus& bus, std::uint64_t n) {
  std::vector<common::Bytes> entries = bus.read_window(n);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), checked(pickle_loads(entries[i])).release());
  }
  return list.release();
}

std::uint64_t len(ObservationBus& bus) { return bus.len(); }
bool is_empty(ObservationBus& bus) { return bus.is_empty(); }
std::uint64_t capacity(ObservationBus& bus) { return bus.capacity(); }

std::string repr(ObservationBus& bus) {
  return common::format("ObservationBus(len={}/{})", bus.len(), bus.capacity());
}

}  // namespace

PyTypeObject* build_observation_bus_class() {
  return ClassBuilder<ObservationBus, kClassDoc>()
      .constructor<&make>()
      .method<&write, kWriteDoc>()
      .method<&read_latest, kReadLatestDoc>()
      .method<&read_window, kReadWindowDoc>()
      .method<&len, kLenDoc>()
      .method<&is_empty, kIsEmptyDoc>()
      .property<&capacity>("capacity", nullptr)
      .length<&len>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
