// MCAP file writer: chunked, indexed, with a full summary.
//
//   auto sink = mcap::FileSink::create("/tmp/run.mcap");
//   auto writer = mcap::Writer::create(std::move(*sink), {.profile = "x", .library = "y/1"});
//   auto schema = (*writer)->add_schema("pkg.Type", "application/msgpack", {});
//   auto channel = (*writer)->add_channel(*schema, "/topic", "application/msgpack", {});
//   (*writer)->write_message({.channel_id = *channel, .log_time = t, .publish_time = t, .data = bytes});
//   (*writer)->finish();
//
// Every record other than the header goes into chunks; each chunk is
// followed by one message index record per channel it holds. `finish`
// writes the data end, the summary (schemas, channels, statistics, chunk
// indexes), the summary offsets and the footer. CRCs are computed for
// chunks, the data section and the summary. The writer knows nothing of what
// the messages mean; it is used from one thread at a time.
//
// Output failures are sticky: once bytes may have been lost on the way to
// the sink, the file's offsets can no longer be trusted, so every later call
// reports the first failure instead of writing a corrupt file. So is a
// failure of the chunk index spool: a chunk missing from the summary would be
// hidden from indexed readers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/result.h"
#include "common/text_hash.h"
#include "mcap/crc32.h"
#include "mcap/index_spool.h"
#include "mcap/sink.h"

namespace kiv::mcap {

enum class Compression { none, zstd };

struct Options {
  std::string profile;  // Header record
  std::string library;  // Header record: the writing program and its version
  // A chunk is closed once its uncompressed records reach this many bytes.
  std::uint64_t chunk_size = 786432;
  Compression compression = Compression::zstd;
  int compression_level = 0;  // 0: the compressor's default level
};

using Metadata = std::map<std::string, std::string>;

struct Message {
  std::uint16_t channel_id = 0;
  std::uint32_t sequence = 0;
  std::uint64_t log_time = 0;      // nanoseconds
  std::uint64_t publish_time = 0;  // nanoseconds
  common::ByteView data;
};

class ChunkCompressor;  // the compression library stays behind this

class Writer final {
 public:
  // Writes the magic and the Header record. The summary's chunk indexes wait
  // in `spool` until finish (in memory when none is given; see index_spool.h).
  static common::Result<std::unique_ptr<Writer>> create(std::unique_ptr<Sink> sink, Options options,
                                                        std::unique_ptr<IndexSpool> spool = nullptr);

  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // Finishes the file if that was not done, ignoring any failure.
  ~Writer();

  // Ids start at 1 (schema id 0 means "no schema"). Registering content equal
  // to an earlier registration returns the earlier id and writes nothing; a
  // new registration's record goes into the current chunk. Strings that are
  // not UTF-8, and schema data without an encoding, are refused: readers
  // reject the whole file for them.
  common::Result<std::uint16_t> add_schema(std::string_view name, std::string_view encoding, common::ByteView data);
  // `schema_id` 0 registers a channel without a schema.
  common::Result<std::uint16_t> add_channel(std::uint16_t schema_id, std::string_view topic,
                                            std::string_view message_encoding, const Metadata& metadata);

  // Appends one Message record to the current chunk, opening one if none is
  // open and closing it once it reaches the target size.
  common::Status write_message(const Message& message);

  // Closes the current chunk (with its message indexes) and hands every
  // buffered byte to the operating system. Requests no sync to the device.
  common::Status flush();

  // Closes any open chunk, writes the summary and footer, closes the sink.
  // Later calls do nothing.
  common::Status finish();

 private:
  struct IndexEntry {
    std::uint64_t log_time;
    std::uint64_t offset;  // of the Message record inside the uncompressed chunk
  };
  // Schemas or channels: records kept for the summary, ids by content.
  struct Registry {
    std::vector<common::Bytes> records;  // id i + 1 at index i
    common::TextMap<std::uint16_t> ids_by_content;
  };

  Writer(std::unique_ptr<Sink> sink, std::unique_ptr<ChunkCompressor> compressor, std::unique_ptr<IndexSpool> spool,
         Options options);

  common::Status check_usable() const;
  // Looks `scratch_` (a record whose id field is still 0) up in `registry`;
  // registers and appends it to the chunk when it is new.
  common::Result<std::uint16_t> register_record(Registry& registry, const char* kind);
  // Writes the chunk and its message indexes; its chunk index goes to the spool.
  common::Status close_chunk();
  common::Status write_summary_and_footer();
  // Every output byte goes through here: position, running CRC, sink.
  common::Status emit(common::ByteView bytes);
  common::Status fail_output(std::string message);

  std::unique_ptr<Sink> sink_;
  std::unique_ptr<ChunkCompressor> compressor_;
  std::unique_ptr<IndexSpool> spool_;
  Options options_;

  std::uint64_t position_ = 0;  // bytes emitted so far, the next record's file offset
  Crc32 running_crc_;           // data section, then (restarted) summary
  std::optional<std::string> output_failure_;
  bool finished_ = false;

  Registry schemas_;
  Registry channels_;

  // The open chunk: uncompressed records, their time range, and per-channel
  // message index entries (indexed by channel id, listed in `chunk_channels_`).
  common::Bytes chunk_;
  std::uint64_t chunk_start_time_ = 0;
  std::uint64_t chunk_end_time_ = 0;
  bool chunk_has_messages_ = false;
  std::vector<std::vector<IndexEntry>> chunk_index_entries_;
  std::vector<std::uint16_t> chunk_channels_;

  // Statistics and the summary's chunk indexes.
  std::uint64_t message_count_ = 0;
  std::uint64_t message_start_time_ = 0;
  std::uint64_t message_end_time_ = 0;
  std::vector<std::uint64_t> channel_message_counts_;  // indexed by channel id
  std::uint64_t chunk_count_ = 0;
  std::uint64_t chunk_index_bytes_ = 0;  // in the spool

  common::Bytes scratch_;       // one record being built
  common::Bytes index_record_;  // the chunk index being built, beside the message indexes in scratch_
};

}  // namespace kiv::mcap
