#include "mcap/chunk_compressor.h"

#include <zstd.h>

#include "common/format.h"

namespace kiv::mcap {
namespace {

class Uncompressed final : public ChunkCompressor {
 public:
  std::string_view name() const override { return ""; }
  common::Result<common::ByteView> compress(common::ByteView records) override { return records; }
};

// One compression context for the writer's whole life: creating one per
// chunk would cost more than compressing a small chunk.
class Zstd final : public ChunkCompressor {
 public:
  Zstd() : context_(ZSTD_createCCtx()) {}
  ~Zstd() override { ZSTD_freeCCtx(context_); }
  Zstd(const Zstd&) = delete;
  Zstd& operator=(const Zstd&) = delete;

  bool ready() const { return context_ != nullptr; }
  ZSTD_CCtx* context() { return context_; }
  std::string_view name() const override { return "zstd"; }

  common::Result<common::ByteView> compress(common::ByteView records) override {
    const std::size_t bound = ZSTD_compressBound(records.size());
    // Grown only, never shrunk, so steady chunk sizes cost no reallocation.
    if (output_.size() < bound) output_.resize(bound);
    // One complete frame per chunk, with its content size in the frame header.
    const std::size_t size = ZSTD_compress2(context_, output_.data(), output_.size(), records.data(), records.size());
    if (ZSTD_isError(size)) return common::fail(common::format("zstd compression failed: {}", ZSTD_getErrorName(size)));
    return common::ByteView(output_.data(), size);
  }

 private:
  ZSTD_CCtx* context_;
  common::Bytes output_;
};

}  // namespace

common::Result<std::unique_ptr<ChunkCompressor>> make_chunk_compressor(Compression compression, int level) {
  if (compression == Compression::none) return std::unique_ptr<ChunkCompressor>(new Uncompressed());
  auto compressor = std::make_unique<Zstd>();
  if (!compressor->ready()) return common::fail("failed to create a zstd compression context");
  // Level 0 selects the library's default level.
  const std::size_t set = ZSTD_CCtx_setParameter(compressor->context(), ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(set)) return common::fail(common::format("invalid zstd level {}: {}", level, ZSTD_getErrorName(set)));
  return std::unique_ptr<ChunkCompressor>(std::move(compressor));
}

}  // namespace kiv::mcap
