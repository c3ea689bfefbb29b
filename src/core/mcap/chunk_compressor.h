// How a chunk's records are compressed. Private to the writer: the
// compression library appears only in the implementation.
#pragma once

#include <memory>
#include <string_view>

#include "common/bytes.h"
#include "common/result.h"
#include "mcap/writer.h"

namespace kiv::mcap {

class ChunkCompressor {
 public:
  virtual ~ChunkCompressor() = default;
  // The Chunk record's compression field: "zstd", or "" for none.
  virtual std::string_view name() const = 0;
  // The compressed form of `records`, valid until the next call.
  virtual common::Result<common::ByteView> compress(common::ByteView records) = 0;
};

common::Result<std::unique_ptr<ChunkCompressor>> make_chunk_compressor(Compression compression, int level);

}  // namespace kiv::mcap
