#include "action_bus/action_bus.h"

#include <memory>

#include "bindings/classes.h"
#include "common/format.h"
#include "kit/pickle_bridge.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using action_bus::ActionBus;

constexpr char kClassDoc[] =
    "ActionBus(capacity)\n--\n\n"
    "SPSC queue for validated actions (latest-wins with capacity=1).\n\n"
    "Constructor: ``ActionBus(capacity: int)``";
constexpr char kWriteDoc[] = "write($self, data)\n--\n\n";
constexpr char kReadDoc[] = "read($self)\n--\n\n";
constexpr char kIsEmptyDoc[] = "is_empty($self)\n--\n\n";

std::unique_ptr<ActionBus> make(std::uint64_t capacity) { return std::make_unique<ActionBus>(capacity); }

// Pickled before the bus lock is taken; the entry is copied into a bytes
// object under the lock (no Python code runs there) and unpickled after.
void write(ActionBus& bus, PyObject* data) { bus.write(Pickled(data).bytes()); }

PyObject* read(ActionBus& bus) {
  Ref oldest;
  if (!bus.read_with([&](common::ByteView entry) { oldest = checked(to_bytes(entry)); })) return none();
  return pickle_loads(oldest);
}

bool is_empty(ActionBus& bus) { return bus.is_empty(); }

std::string repr(ActionBus& bus) { return common::format("ActionBus(empty={})", bus.is_empty()); }

}  // namespace

PyTypeObject* build_action_bus_class() {
  return ClassBuilder<ActionBus, kClassDoc>()
      .constructor<&make>()
      .method<&write, kWriteDoc>()
      .method<&read, kReadDoc>()
      .method<&is_empty, kIsEmptyDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
