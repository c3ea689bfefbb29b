// Arbitrary bytes as a cycle record's JSON text: reading must either fail
// with a positioned message or give a record whose MessagePack form decodes
// to every field in order.
#include <cstdint>
#include <string_view>

#include "cycle_record/cycle_record.h"
#include "fuzz_checks.h"
#include "msgpack_reader.h"

namespace {

using kiv::testing::ItemMap;
using kiv::testing::MsgpackReader;

template <typename Record>
void check_encoding(const Record& record, std::size_t fields) {
  kiv::common::Bytes bytes{0x01};  // something already there stays
  KIV_FUZZ_CHECK(kiv::cycle_record::encode_msgpack(record, bytes).ok());
  KIV_FUZZ_CHECK(bytes.front() == 0x01);
  const auto item = MsgpackReader::decode(kiv::common::ByteView(bytes).subspan(1));
  KIV_FUZZ_CHECK(item.template as<ItemMap>().entries.size() == fields);
}

template <typename Result>
void check_refusal(const Result& result) {
  if (!result.ok()) KIV_FUZZ_CHECK(result.error().find(" at line ") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto record = kiv::cycle_record::read_cycle_record(text);
  check_refusal(record);
  if (record.ok()) check_encoding(*record, 32);

  auto guard = kiv::cycle_record::read_guard_result(text);
  check_refusal(guard);
  if (guard.ok()) check_encoding(*guard, 13);

  auto image = kiv::cycle_record::read_image_data(text);
  check_refusal(image);
  if (image.ok()) check_encoding(*image, 5);
  return 0;
}
