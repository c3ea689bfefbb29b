#include "mcap/index_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "mcap/sink.h"

namespace kiv::mcap {
namespace {

class MemorySpool final : public IndexSpool {
 public:
  common::Status append(common::ByteView records) override {
    records_.insert(records_.end(), records.begin(), records.end());
    return {};
  }
  common::Status replay(const std::function<common::Status(common::ByteView)>& out) override {
    return out(records_);
  }

 private:
  common::Bytes records_;
};

class FileSpool final : public IndexSpool {
 public:
  explicit FileSpool(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }
  FileSpool(const FileSpool&) = delete;
  FileSpool& operator=(const FileSpool&) = delete;
  ~FileSpool() override { ::close(fd_); }

  common::Status append(common::ByteView records) override {
    if (buffer_.size() + records.size() > kBufferSize) {
      if (auto status = write_buffer(); !status) return status;
    }
    buffer_.insert(buffer_.end(), records.begin(), records.end());
    return {};
  }

  common::Status replay(const std::function<common::Status(common::ByteView)>& out) override {
    if (auto status = write_buffer(); !status) return status;
    common::Bytes piece(kBufferSize);
    for (off_t at = 0; at < written_;) {
      const ssize_t got = ::pread(fd_, piece.data(), piece.size(), at);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return common::fail(os_error_text(errno));
      if (got == 0) return common::fail("chunk index spool ended early");
      if (auto status = out(common::ByteView(piece.data(), static_cast<std::size_t>(got))); !status) return status;
      at += got;
    }
    return {};
  }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  common::Status write_buffer() {
    common::ByteView rest(buffer_);
    while (!rest.empty()) {
      const ssize_t written = ::pwrite(fd_, rest.data(), rest.size(), written_);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return common::fail(os_error_text(errno));
      written_ += written;
      rest = rest.subspan(static_cast<std::size_t>(written));
    }
    buffer_.clear();
    return {};
  }

  int fd_;
  off_t written_ = 0;
  common::Bytes buffer_;
};

// O_TMPFILE where the file system has it; otherwise a named file removed at once.
int open_unnamed(const std::string& directory) {
  int fd;
  do {
    fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = directory + "/.kiv-index-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

}  // namespace

std::unique_ptr<IndexSpool> make_memory_spool() { return std::make_unique<MemorySpool>(); }

common::Result<std::unique_ptr<IndexSpool>> make_file_spool(const std::string& directory) {
  const int fd = open_unnamed(directory);
  if (fd < 0) return common::fail(os_error_text(errno));
  return std::unique_ptr<IndexSpool>(new FileSpool(fd));
}

}  // namespace kiv::mcap
