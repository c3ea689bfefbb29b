#include "serializer_bus/serializer_bus.h"

#include <memory>
#include <string>
#include <variant>

#include "bindings/classes.h"
#include "json/document.h"
#include "kit/imports.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using serializer_bus::SerializerBus;

constexpr char kClassDoc[] =
    "SerializerBus()\n--\n\n"
    "High-performance JSON serializer for KIV cycle records.\n\n"
    "Serializes a CycleRecord dict to pre-serialized JSON messages (as bytes).\n"
    "No state; each call is independent.\n\n"
    "Constructor: ``SerializerBus()``\n\n"
    "Methods:\n"
    "  - serialize_cycle(record_dict: dict) -> dict  (returns topic -> bytes mapping)\n\n"
    "Example (Python):\n"
    "```python\n"
    "from kiv_rs import SerializerBus\n"
    "serializer = SerializerBus()\n"
    "messages = serializer.serialize_cycle(record_dict)\n"
    "# messages = {\n"
    "#     \"/kiv/cycle\": b'{\"cycle_id\": ...}',\n"
    "#     \"/kiv/obs\": b'{\"cycle_id\": ...}',\n"
    "#     \"/kiv/action\": b'{\"cycle_id\": ...}',\n"
    "#     \"/kiv/L0\": [b'...', ...],\n"
    "#     ...\n"
    "# }\n"
    "```";
constexpr char kSerializeCycleDoc[] =
    "serialize_cycle($self, record_dict)\n--\n\n"
    "Serialize a CycleRecord dict to pre-serialized JSON messages.\n\n"
    "Args:\n"
    "  record_dict: Dict representation of CycleRecord (from dataclasses.asdict())\n\n"
    "Returns:\n"
    "  Dict mapping topic name -> bytes (or list of bytes for /kiv/L0-L4)";

std::unique_ptr<SerializerBus> make() { return std::make_unique<SerializerBus>(); }

Ref messages_to_python(const std::string& message) { return checked(to_bytes(std::string_view(message))); }

Ref messages_to_python(const std::vector<std::string>& messages) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), messages_to_python(messages[i]).release());
  }
  return list;
}

// Whatever Python's own json module accepts (and the way it spells it) is
// what the record may hold; its text is then read as one value tree.
PyObject* serialize_cycle(SerializerBus& bus, PyObject* record_dict) {
  Ref dumps = module_attribute("json", "dumps");
  Ref text = checked(PyObject_CallFunctionObjArgs(dumps.get(), record_dict, nullptr));
  auto record = json::Document::read(Arg<std::string_view>::from(text.get()));
  if (!record.ok()) raise(PyExc_ValueError, "Failed to parse CycleRecord dict: " + record.error());
  auto topics = bus.serialize_cycle(record->root());
  if (!topics.ok()) raise(PyExc_RuntimeError, topics.error());

  Ref result = checked(PyDict_New());
  for (const auto& topic : *topics) {
    Ref name = checked(to_python(topic.name));
    Ref messages = std::visit([](const auto& texts) { return messages_to_python(texts); }, topic.messages);
    if (PyDict_SetItem(result.get(), name.get(), messages.get()) != 0) raise_current();
  }
  return result.release();
}

std::string repr(SerializerBus&) { return "SerializerBus()"; }

}  // namespace

PyTypeObject* build_serializer_bus_class() {
  return ClassBuilder<SerializerBus, kClassDoc>()
      .constructor<&make>()
      .method<&serialize_cycle, kSerializeCycleDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
