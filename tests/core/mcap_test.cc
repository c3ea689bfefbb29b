#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "mcap/crc32.h"
#include "mcap/index_spool.h"
#include "mcap/record_encoding.h"
#include "mcap/sink.h"
#include "mcap/writer.h"
#include "mcap_file_reader.h"

namespace kiv::mcap {
namespace {

using common::Bytes;
using common::ByteView;
using namespace testing;

// Collects the file in memory; can be told to fail once `fail_after` bytes went through.
struct MemoryFile {
  Bytes bytes;
  int flushes = 0;
  bool closed = false;
  std::size_t fail_after = SIZE_MAX;
};

class MemorySink final : public Sink {
 public:
  explicit MemorySink(MemoryFile& file) : file_(file) {}
  common::Status write(ByteView bytes) override {
    if (file_.bytes.size() + bytes.size() > file_.fail_after) return common::fail("disk full");
    file_.bytes.insert(file_.bytes.end(), bytes.begin(), bytes.end());
    return {};
  }
  common::Status flush() override {
    ++file_.flushes;
    return {};
  }
  common::Status close() override {
    file_.closed = true;
    return {};
  }

 private:
  MemoryFile& file_;
};

std::unique_ptr<Writer> make_writer(MemoryFile& file, Options options) {
  auto writer = Writer::create(std::make_unique<MemorySink>(file), std::move(options));
  EXPECT_TRUE(writer.ok()) << writer.error();
  return std::move(writer).value();
}

Options uncompressed() {
  Options options;
  options.compression = Compression::none;
  return options;
}

Bytes bytes_of(std::initializer_list<std::uint8_t> values) { return Bytes(values); }

TEST(Crc32, MatchesTheStandardCheckValueInAnySlicing) {
  const std::string text = "123456789";
  const ByteView all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  EXPECT_EQ(crc32(all), 0xCBF43926u);
  Bytes long_input(1000);
  for (std::size_t i = 0; i < long_input.size(); ++i) long_input[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::uint32_t whole = crc32(long_input);
  for (std::size_t split : {1u, 7u, 8u, 9u, 500u, 999u}) {
    Crc32 crc;
    crc.update(ByteView(long_input).first(split));
    crc.update(ByteView(long_input).subspan(split));
    EXPECT_EQ(crc.value(), whole) << split;
  }
}

// The public conformance file with one schema, channel and message in one
// uncompressed chunk, summary, statistics and summary offsets.
MemoryFile conformance_file() {
  MemoryFile file;
  auto writer = make_writer(file, uncompressed());
  auto schema = writer->add_schema("Example", "c", bytes_of({4, 5, 6}));
  auto channel = writer->add_channel(*schema, "example", "a", {{"foo", "bar"}});
  const Bytes data = bytes_of({1, 2, 3});
  EXPECT_TRUE(writer->write_message({.channel_id = *channel, .sequence = 10, .log_time = 2, .publish_time = 1, .data = data}).ok());
  EXPECT_TRUE(writer->finish().ok());
  return file;
}

// The sizes, offsets and both file CRCs (which cover every byte but the CRC
// fields and the data end record itself) must come out exactly.
TEST(McapWriter, ReproducesTheOneMessageConformanceFile) {
  const MemoryFile file = conformance_file();
  const Bytes& out = file.bytes;
  ASSERT_EQ(out.size(), 603u);
  EXPECT_TRUE(file.closed);
  EXPECT_EQ(crc32(ByteView(out).first(220)), 0x65900B50u);
  EXPECT_EQ(u32_at(out, 229), 0x65900B50u);  // data end
  EXPECT_EQ(u64_at(out, 566 + 9), 233u);     // footer: summary start
  EXPECT_EQ(u64_at(out, 566 + 17), 462u);    // footer: summary offsets start
  EXPECT_EQ(crc32(ByteView(out).subspan(233, 591 - 233)), 0xE7A60999u);
  EXPECT_EQ(u32_at(out, 591), 0xE7A60999u);

  auto records = file_records(out);
  EXPECT_EQ(opcodes(records), (std::vector<std::uint8_t>{0x01, 0x06, 0x07, 0x0F, 0x03, 0x04, 0x0B, 0x08, 0x0E, 0x0E,
                                                          0x0E, 0x0E, 0x02}));
  const std::vector<std::pair<std::size_t, std::size_t>> offsets_and_sizes = {
      {8, 17}, {25, 164}, {189, 31}, {220, 13}, {233, 34}, {267, 47}, {314, 65}, {379, 83}, {566, 29}};
  for (auto [offset, size] : offsets_and_sizes) {
    auto record = std::find_if(records.begin(), records.end(), [&](const Record& r) { return r.offset == offset; });
    ASSERT_NE(record, records.end()) << offset;
    EXPECT_EQ(record->body.size() + 9, size) << offset;
  }
  const auto inner = split_records(chunk_contents(records[1]), 0, 115);
  EXPECT_EQ(opcodes(inner), (std::vector<std::uint8_t>{0x03, 0x04, 0x05}));
  EXPECT_EQ(u64_at(records[2].body, 6 + 8), 81u);  // message index entry: offset of the message
}

// The checking reader must see each kind of fault; the CRCs are made right
// again after the change, so that the check named is the one that fires.
struct Corruption {
  const char* name;
  std::size_t offset;  // of the byte incremented in the conformance file
  bool reseal;
  const char* fault;
};

class McapFileReaderFaults : public ::testing::TestWithParam<Corruption> {};

TEST_P(McapFileReaderFaults, AreReported) {
  Bytes file = conformance_file().bytes;
  ASSERT_EQ(file.size(), 603u);
  EXPECT_TRUE(read_mcap(file).finished);
  ++file.at(GetParam().offset);
  if (GetParam().reseal) {
    detail::store_le(file.data() + 229, crc32(ByteView(file).first(220)));
    detail::store_le(file.data() + 591, crc32(ByteView(file).subspan(233, 591 - 233)));
  }
  try {
    read_mcap(file);
    ADD_FAILURE() << "accepted";
  } catch (const McapFault& fault) {
    EXPECT_NE(std::string(fault.what()).find(GetParam().fault), std::string::npos) << fault.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    ConformanceFile, McapFileReaderFaults,
    ::testing::Values(Corruption{"DataCrc", 229, false, "data section CRC mismatch"},
                      Corruption{"SummaryCrc", 591, false, "summary CRC mismatch"},
                      Corruption{"ChunkRecords", 188, true, "chunk CRC mismatch"},
                      Corruption{"MessageIndexOffset", 212, true, "message index does not list its messages"},
                      Corruption{"SummarySchema", 264, true, "summary schema differs from the data's"},
                      Corruption{"StatisticsCount", 323, true, "statistics differ from the file's contents"},
                      Corruption{"ChunkIndexStart", 404, true, "chunk index points at no chunk"},
                      Corruption{"SummaryOffsetLength", 480, true, "summary offsets do not match the groups"}),
    [](const ::testing::TestParamInfo<Corruption>& info) { return std::string(info.param.name); });

// A file cut anywhere still gives its complete chunk, and nothing before that.
TEST(McapFileReader, RecoversTheCompleteChunksOfACutFile) {
  const Bytes file = conformance_file().bytes;
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    const McapFile read = read_mcap_recovering(Bytes(file.begin(), file.begin() + static_cast<long>(cut)));
    EXPECT_EQ(read.messages.size(), cut >= 25 + 164 ? 1u : 0u) << cut;
  }
}

TEST(McapWriter, EqualRegistrationsShareOneIdAndOneRecord) {
  MemoryFile file;
  auto writer = make_writer(file, uncompressed());
  auto cycle = writer->add_schema("kiv.Cycle", "application/msgpack", {});
  auto again = writer->add_schema("kiv.Cycle", "application/msgpack", {});
  auto other = writer->add_schema("kiv.Cycle", "application/msgpack", bytes_of({1}));
  ASSERT_TRUE(cycle.ok() && again.ok() && other.ok());
  EXPECT_EQ(*cycle, 1);
  EXPECT_EQ(*again, 1);
  EXPECT_EQ(*other, 2);

  auto a = writer->add_channel(1, "/a", "application/msgpack", {});
  auto a_again = writer->add_channel(1, "/a", "application/msgpack", {});
  auto a_other_schema = writer->add_channel(2, "/a", "application/msgpack", {});
  auto a_metadata = writer->add_channel(1, "/a", "application/msgpack", {{"k", "v"}});
  auto no_schema = writer->add_channel(0, "/b", "json", {});
  ASSERT_TRUE(a.ok() && a_again.ok() && a_other_schema.ok() && a_metadata.ok() && no_schema.ok());
  EXPECT_EQ(*a, 1);
  EXPECT_EQ(*a_again, 1);
  EXPECT_EQ(*a_other_schema, 2);
  EXPECT_EQ(*a_metadata, 3);
  EXPECT_EQ(*no_schema, 4);

  auto unknown_schema = writer->add_channel(3, "/c", "json", {});
  ASSERT_FALSE(unknown_schema.ok());
  EXPECT_EQ(unknown_schema.error(), "unknown schema id 3");
  const auto unknown_channel = writer->write_message({.channel_id = 5, .data = {}});
  ASSERT_FALSE(unknown_channel.ok());
  EXPECT_EQ(unknown_channel.error(), "unknown channel id 5");
  ASSERT_TRUE(writer->write_message({.channel_id = 4, .log_time = 1, .publish_time = 1, .data = {}}).ok());
  ASSERT_TRUE(writer->finish().ok());

  auto records = file_records(file.bytes);
  ASSERT_EQ(records[1].opcode, 0x06);
  const Bytes contents = chunk_contents(records[1]);
  EXPECT_EQ(opcodes(split_records(contents, 0, contents.size())),
            (std::vector<std::uint8_t>{0x03, 0x03, 0x04, 0x04, 0x04, 0x04, 0x05}));
  // Summary: both schemas and all four channels repeated before the statistics.
  std::vector<std::uint8_t> summary;
  for (const auto& record : records) {
    if (record.offset >= records[3].offset) summary.push_back(record.opcode);
  }
  EXPECT_EQ(summary, (std::vector<std::uint8_t>{0x0F, 0x03, 0x03, 0x04, 0x04, 0x04, 0x04, 0x0B, 0x08, 0x0E, 0x0E, 0x0E,
                                                 0x0E, 0x02}));
}

// What a reader would reject is refused at the call and leaves no trace: the
// file made around the refusals reads back with only the accepted registrations.
struct RefusedRegistration {
  const char* name;
  std::string schema_name, schema_encoding;
  Bytes schema_data;
  std::string topic, message_encoding;
  Metadata metadata;
  const char* error;
};

class McapWriterRefuses : public ::testing::TestWithParam<RefusedRegistration> {};

TEST_P(McapWriterRefuses, WhatReadersWouldReject) {
  const RefusedRegistration& c = GetParam();
  MemoryFile file;
  auto writer = make_writer(file, Options{});
  auto schema = writer->add_schema(c.schema_name, c.schema_encoding, c.schema_data);
  auto channel = schema.ok() ? writer->add_channel(*schema, c.topic, c.message_encoding, c.metadata)
                             : writer->add_channel(0, c.topic, c.message_encoding, c.metadata);
  const auto& refused = schema.ok() ? channel : schema;
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), c.error);

  auto good = writer->add_channel(0, "/ok", "json", {});
  ASSERT_TRUE(good.ok());
  ASSERT_TRUE(writer->write_message({.channel_id = *good, .log_time = 1, .publish_time = 1, .data = {}}).ok());
  ASSERT_TRUE(writer->finish().ok());
  const McapFile read = read_mcap(file.bytes);
  EXPECT_EQ(read.schemas.size(), schema.ok() ? 1u : 0u);
  ASSERT_EQ(read.channels.size(), schema.ok() || !channel.ok() ? 1u : 2u);
  EXPECT_EQ(read.channels.at(*good).topic, "/ok");
  EXPECT_EQ(read.messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Registrations, McapWriterRefuses,
    ::testing::Values(
        RefusedRegistration{"SchemaNameNotUtf8", "k\xFF", "e", {}, "/t", "e", {}, "schema name or encoding is not valid UTF-8"},
        RefusedRegistration{"SchemaEncodingCutShort", "k", "\xC3", {}, "/t", "e", {}, "schema name or encoding is not valid UTF-8"},
        RefusedRegistration{"SchemaDataWithoutEncoding", "k", "", {1}, "/t", "e", {}, "schema data without a schema encoding"},
        RefusedRegistration{"TopicWithSurrogate", "k", "e", {}, "/cam\xED\xA0\x80", "e", {}, "channel topic or encoding is not valid UTF-8"},
        RefusedRegistration{"MessageEncodingOverlong", "k", "e", {}, "/t", "\xC0\xAF", {}, "channel topic or encoding is not valid UTF-8"},
        RefusedRegistration{"MetadataKey", "k", "e", {}, "/t", "e", {{"\x80", "v"}}, "channel metadata is not valid UTF-8"},
        RefusedRegistration{"MetadataValue", "k", "e", {}, "/t", "e", {{"k", "\xF4\x90\x80\x80"}}, "channel metadata is not valid UTF-8"}),
    [](const ::testing::TestParamInfo<RefusedRegistration>& info) { return std::string(info.param.name); });

TEST(McapWriter, RefusesHeaderStringsThatAreNotUtf8) {
  MemoryFile file;
  Options options;
  options.library = "tool\xFE";
  auto writer = Writer::create(std::make_unique<MemorySink>(file), std::move(options));
  ASSERT_FALSE(writer.ok());
  EXPECT_EQ(writer.error(), "header strings are not valid UTF-8");
  EXPECT_TRUE(file.bytes.empty());
}

TEST(McapWriter, FlushClosesTheChunkWithItsIndexesAndHandsBytesOn) {
  MemoryFile file;
  auto writer = make_writer(file, uncompressed());
  auto schema = writer->add_schema("s", "e", {});
  auto first = writer->add_channel(*schema, "/first", "e", {});
  auto second = writer->add_channel(*schema, "/second", "e", {});
  const Bytes payload = bytes_of({9, 9});
  for (std::uint64_t t : {30u, 10u, 20u}) {
    ASSERT_TRUE(writer->write_message({.channel_id = *second, .log_time = t, .publish_time = t, .data = payload}).ok());
  }
  ASSERT_TRUE(writer->write_message({.channel_id = *first, .log_time = 15, .publish_time = 15, .data = payload}).ok());
  ASSERT_EQ(file.bytes.size(), 8u + 9 + 8);  // only magic and header so far
  ASSERT_TRUE(writer->flush().ok());
  EXPECT_EQ(file.flushes, 1);

  Bytes so_far = file.bytes;
  so_far.insert(so_far.end(), file.bytes.begin(), file.bytes.begin() + 8);  // close it for the walker
  auto records = file_records(so_far);
  ASSERT_EQ(opcodes(records), (std::vector<std::uint8_t>{0x01, 0x06, 0x07, 0x07}));
  const Record& chunk = records[1];
  EXPECT_EQ(u64_at(chunk.body, 0), 10u);  // earliest log time, not the first written
  EXPECT_EQ(u64_at(chunk.body, 8), 30u);
  const Bytes contents = chunk_contents(chunk);
  // Each index lists its channel's messages in write order; every offset
  // lands on a Message record of that channel with that log time.
  const std::vector<std::pair<std::uint16_t, std::vector<std::uint64_t>>> expected = {{*first, {15}},
                                                                                      {*second, {30, 10, 20}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Bytes& index = records[2 + i].body;
    EXPECT_EQ(u16_at(index, 0), expected[i].first);
    const std::uint32_t entries_size = u32_at(index, 2);
    ASSERT_EQ(entries_size, 16 * expected[i].second.size());
    for (std::size_t e = 0; e < expected[i].second.size(); ++e) {
      const std::uint64_t log_time = u64_at(index, 6 + 16 * e);
      const std::uint64_t offset = u64_at(index, 6 + 16 * e + 8);
      EXPECT_EQ(log_time, expected[i].second[e]);
      ASSERT_LT(offset + 23, contents.size());
      EXPECT_EQ(contents[offset], 0x05);
      EXPECT_EQ(u16_at(contents, offset + 9), expected[i].first);
      EXPECT_EQ(u64_at(contents, offset + 15), log_time);
    }
  }
  // A flush with nothing new writes no empty chunk.
  ASSERT_TRUE(writer->flush().ok());
  EXPECT_EQ(file.bytes.size() + 8, so_far.size());
}

TEST(McapWriter, ChunksCloseAtTheTargetSizeAndTheSummaryIndexesEachOne) {
  MemoryFile file;
  Options options = uncompressed();
  options.chunk_size = 200;
  {
    auto writer = make_writer(file, options);
    auto channel = writer->add_channel(0, "/t", "e", {});
    const Bytes payload(100, 0xAB);  // 131-byte Message records
    for (std::uint64_t t = 1; t <= 5; ++t) {
      ASSERT_TRUE(writer->write_message({.channel_id = *channel, .log_time = t, .publish_time = t, .data = payload}).ok());
    }
    // Destruction finishes the file.
  }
  auto records = file_records(file.bytes);
  std::vector<std::size_t> chunk_offsets, chunk_index_offsets;
  const Record* statistics = nullptr;
  for (const auto& record : records) {
    if (record.opcode == 0x06) chunk_offsets.push_back(record.offset);
    if (record.opcode == 0x08) chunk_index_offsets.push_back(u64_at(record.body, 16));
    if (record.opcode == 0x0B) statistics = &record;
  }
  // The channel and two messages, then two messages, then the last one at finish.
  EXPECT_EQ(chunk_offsets.size(), 3u);
  EXPECT_EQ(chunk_index_offsets, chunk_offsets);
  ASSERT_NE(statistics, nullptr);
  EXPECT_EQ(u64_at(statistics->body, 0), 5u);   // messages
  EXPECT_EQ(u32_at(statistics->body, 22), 3u);  // chunks
  EXPECT_EQ(u64_at(statistics->body, 26), 1u);  // first log time
  EXPECT_EQ(u64_at(statistics->body, 34), 5u);  // last log time
}

TEST(McapWriter, ZstdChunksHoldTheSameRecordsAsUncompressedOnes) {
  MemoryFile plain, packed;
  const Bytes payload(5000, 0x5A);
  for (MemoryFile* file : {&plain, &packed}) {
    Options options;
    options.compression = file == &plain ? Compression::none : Compression::zstd;
    auto writer = make_writer(*file, options);
    auto schema = writer->add_schema("s", "application/msgpack", {});
    auto channel = writer->add_channel(*schema, "/t", "application/msgpack", {});
    for (std::uint64_t t = 0; t < 3; ++t) {
      ASSERT_TRUE(writer->write_message({.channel_id = *channel, .log_time = t, .publish_time = t, .data = payload}).ok());
      ASSERT_TRUE(writer->flush().ok());
    }
    ASSERT_TRUE(writer->finish().ok());
  }
  auto plain_records = file_records(plain.bytes);
  auto packed_records = file_records(packed.bytes);
  ASSERT_EQ(opcodes(plain_records), opcodes(packed_records));
  EXPECT_LT(packed.bytes.size(), plain.bytes.size() / 4);
  int chunks = 0;
  for (std::size_t i = 0; i < plain_records.size(); ++i) {
    if (plain_records[i].opcode != 0x06) continue;
    ++chunks;
    EXPECT_EQ(chunk_contents(plain_records[i]), chunk_contents(packed_records[i]));
  }
  EXPECT_EQ(chunks, 3);
}

TEST(McapWriter, AnOutputFailureIsReportedByEveryLaterCall) {
  MemoryFile file;
  file.fail_after = 100;
  auto writer = make_writer(file, uncompressed());
  auto channel = writer->add_channel(0, "/t", "e", {});
  const Bytes payload(200, 1);
  ASSERT_TRUE(writer->write_message({.channel_id = *channel, .data = payload}).ok());  // still in the chunk
  const auto flushed = writer->flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error(), "disk full");
  file.fail_after = SIZE_MAX;  // even if the disk recovers, the offsets are lost
  const auto next = writer->write_message({.channel_id = *channel, .data = payload});
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error(), "output failed earlier: disk full");
  EXPECT_FALSE(writer->add_schema("s", "e", {}).ok());
  const auto finished = writer->finish();
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error(), "output failed earlier: disk full");
  EXPECT_TRUE(file.closed);
  EXPECT_TRUE(writer->finish().ok());  // later calls do nothing
}

// Refuses appends after `fail_after` of them, or its replay.
class FailingSpool final : public IndexSpool {
 public:
  FailingSpool(int fail_after, bool fail_replay) : appends_left_(fail_after), fail_replay_(fail_replay) {}
  common::Status append(ByteView) override {
    if (appends_left_-- <= 0) return common::fail("spool full");
    return {};
  }
  common::Status replay(const std::function<common::Status(ByteView)>&) override {
    if (fail_replay_) return common::fail("spool unreadable");
    return {};
  }

 private:
  int appends_left_;
  bool fail_replay_;
};

// Losing a chunk index would hide its chunk from indexed readers: the file
// fails as it would on a full disk, never finishes with a summary that lies.
TEST(McapWriter, ASpoolFailureIsAnOutputFailure) {
  for (const bool at_replay : {false, true}) {
    MemoryFile file;
    auto created = Writer::create(std::make_unique<MemorySink>(file), uncompressed(),
                                  std::make_unique<FailingSpool>(at_replay ? 100 : 1, at_replay));
    ASSERT_TRUE(created.ok());
    auto& writer = **created;
    auto channel = writer.add_channel(0, "/t", "e", {});
    ASSERT_TRUE(writer.write_message({.channel_id = *channel, .data = bytes_of({1})}).ok());
    ASSERT_TRUE(writer.flush().ok());
    ASSERT_TRUE(writer.write_message({.channel_id = *channel, .data = bytes_of({2})}).ok());
    const std::string spool_error = at_replay ? "chunk index spool failed: spool unreadable"
                                              : "chunk index spool failed: spool full";
    if (!at_replay) {
      const auto flushed = writer.flush();
      ASSERT_FALSE(flushed.ok());
      EXPECT_EQ(flushed.error(), spool_error);
    }
    const auto finished = writer.finish();
    ASSERT_FALSE(finished.ok());
    EXPECT_EQ(finished.error(), at_replay ? spool_error : "output failed earlier: " + spool_error);
    EXPECT_TRUE(file.closed);
    EXPECT_FALSE(std::equal(file.bytes.end() - 8, file.bytes.end(), file.bytes.begin())) << "finished anyway";
  }
}

TEST(McapWriter, NothingCanBeAddedAfterFinish) {
  MemoryFile file;
  auto writer = make_writer(file, Options{});
  ASSERT_TRUE(writer->finish().ok());
  const std::size_t size = file.bytes.size();
  EXPECT_TRUE(writer->finish().ok());
  EXPECT_FALSE(writer->add_schema("s", "e", {}).ok());
  EXPECT_FALSE(writer->flush().ok());
  EXPECT_EQ(file.bytes.size(), size);
  // Header, data end, statistics, its summary offset, footer.
  EXPECT_EQ(opcodes(file_records(file.bytes)), (std::vector<std::uint8_t>{0x01, 0x0F, 0x0B, 0x0E, 0x02}));
}

class FileSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kiv-mcap-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

TEST_F(FileSinkTest, CreatesTruncatesAndBuffersSmallWrites) {
  const std::string file = path("out.mcap");
  {
    std::FILE* existing = std::fopen(file.c_str(), "w");
    std::fputs("old contents that must go", existing);
    std::fclose(existing);
  }
  const mode_t old_mask = umask(022);
  auto sink = FileSink::create(file, 16);
  umask(old_mask);
  ASSERT_TRUE(sink.ok()) << sink.error();
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  const Bytes small(10, 'a'), large(40, 'b');
  ASSERT_TRUE((*sink)->write(small).ok());
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);  // held in the buffer
  ASSERT_TRUE((*sink)->write(large).ok());
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 50);  // in order: the buffer went first
  ASSERT_TRUE((*sink)->write(small).ok());
  ASSERT_TRUE((*sink)->flush().ok());
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 60);
  ASSERT_TRUE((*sink)->close().ok());
  EXPECT_FALSE((*sink)->write(small).ok());

  // A fresh file takes the permission bits 0666 less the umask.
  const std::string fresh = path("fresh.mcap");
  const mode_t mask = umask(027);
  ASSERT_TRUE(FileSink::create(fresh).ok());
  umask(mask);
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(FileSinkTest, ReportsTheSystemTextWhenTheDirectoryIsMissing) {
  auto sink = FileSink::create(path("missing/out.mcap"));
  ASSERT_FALSE(sink.ok());
  EXPECT_EQ(sink.error(), "No such file or directory (errno 2)");
}

// Thousands of chunk indexes, more than the spool's buffer holds at once: the
// file is byte for byte what the in-memory spool gives, and the spool leaves
// no file behind.
TEST_F(FileSinkTest, AFileSpoolGivesTheSameFileAsMemoryAndLeavesNoName) {
  MemoryFile in_memory, on_disk;
  for (MemoryFile* file : {&in_memory, &on_disk}) {
    std::unique_ptr<IndexSpool> spool = make_memory_spool();
    if (file == &on_disk) {
      auto made = make_file_spool(dir_.string());
      ASSERT_TRUE(made.ok()) << made.error();
      spool = std::move(*made);
    }
    auto writer = Writer::create(std::make_unique<MemorySink>(*file), Options{}, std::move(spool));
    ASSERT_TRUE(writer.ok());
    auto channel = (*writer)->add_channel(0, "/t", "e", {});
    for (std::uint64_t t = 0; t < 3000; ++t) {
      ASSERT_TRUE((*writer)->write_message({.channel_id = *channel, .log_time = t, .data = bytes_of({7})}).ok());
      ASSERT_TRUE((*writer)->flush().ok());
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    ASSERT_TRUE((*writer)->finish().ok());
  }
  EXPECT_EQ(on_disk.bytes, in_memory.bytes);
  std::size_t chunk_indexes = 0;
  for (const auto& record : file_records(on_disk.bytes)) chunk_indexes += record.opcode == 0x08;
  EXPECT_EQ(chunk_indexes, 3000u);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(FileSinkTest, AFileSpoolNeedsItsDirectory) {
  auto spool = make_file_spool(path("missing"));
  ASSERT_FALSE(spool.ok());
  EXPECT_EQ(spool.error(), "No such file or directory (errno 2)");
}

}  // namespace
}  // namespace kiv::mcap
