// Arbitrary bytes as JSON text, read both as a value tree and as a document:
// the two must agree on every refusal and on the compact JSON of what they
// accept, that JSON must read back to the same tree, and serialising the
// document as a cycle record must not fault, whatever it holds.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "json/document.h"
#include "json/reader.h"
#include "json/writer.h"
#include "serializer_bus/serializer_bus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = kiv::json::parse(text);
  auto document = kiv::json::Document::read(text);
  KIV_FUZZ_CHECK(value.ok() == document.ok());
  if (!value.ok()) {
    KIV_FUZZ_CHECK(value.error() == document.error());
    return 0;
  }

  const std::string written = kiv::json::to_text(*value);
  std::string document_written;
  document->root().append_json(document_written);
  KIV_FUZZ_CHECK(written == document_written);
  KIV_FUZZ_CHECK(document->root().json_size() == written.size());

  auto reread = kiv::json::parse(written);
  KIV_FUZZ_CHECK(reread.ok());
  KIV_FUZZ_CHECK(kiv::json::to_text(*reread) == written);

  auto topics = kiv::serializer_bus::serialize_cycle(document->root());
  if (topics.ok()) {
    for (const auto& topic : *topics) {
      if (const auto* message = std::get_if<std::string>(&topic.messages)) {
        KIV_FUZZ_CHECK(kiv::json::parse(*message).ok());
      }
    }
  }
  return 0;
}
