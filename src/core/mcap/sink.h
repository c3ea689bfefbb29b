// Where an MCAP file's bytes go, and the buffered file that usually takes them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/bytes.h"
#include "common/result.h"

namespace kiv::mcap {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual common::Status write(common::ByteView bytes) = 0;
  // Hands everything written so far to the operating system (no device sync).
  virtual common::Status flush() = 0;
  // Flushes and releases the destination; reports what flushing and
  // releasing found. Later writes fail.
  virtual common::Status close() = 0;
};

// A file behind a write buffer. Writes smaller than the buffer are gathered;
// larger ones go to the file directly.
class FileSink final : public Sink {
 public:
  static constexpr std::size_t kDefaultBufferSize = 8192;

  // Opens `path` for writing, creating it if missing and truncating it if
  // present, with permission bits `mode` reduced by the process's umask.
  // The error is the operating system's text.
  static common::Result<std::unique_ptr<FileSink>> create(const std::string& path,
                                                          std::size_t buffer_size = kDefaultBufferSize,
                                                          unsigned mode = 0666);

  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  // Writes what is still buffered and closes the file, ignoring failures.
  ~FileSink() override;

  common::Status write(common::ByteView bytes) override;
  common::Status flush() override;
  common::Status close() override;

 private:
  FileSink(int fd, std::size_t buffer_size);
  common::Status write_through(common::ByteView bytes);

  int fd_;
  std::size_t buffer_size_;
  common::Bytes buffer_;
};

// Text of an operating-system error number: "No such file or directory (errno 2)".
std::string os_error_text(int error_number);

}  // namespace kiv::mcap
