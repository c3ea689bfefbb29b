#include "mcap/sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/format.h"

namespace kiv::mcap {

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, not always in `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return common::format("{} (errno {})", text, error_number);
}

common::Result<std::unique_ptr<FileSink>> FileSink::create(const std::string& path, std::size_t buffer_size,
                                                           unsigned mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return common::fail(os_error_text(errno));
  return std::unique_ptr<FileSink>(new FileSink(fd, buffer_size));
}

FileSink::FileSink(int fd, std::size_t buffer_size) : fd_(fd), buffer_size_(buffer_size > 0 ? buffer_size : 1) {
  buffer_.reserve(buffer_size_);
}

FileSink::~FileSink() { (void)close(); }

common::Status FileSink::write(common::ByteView bytes) {
  if (fd_ < 0) return common::fail("file already closed");
  if (buffer_.size() + bytes.size() > buffer_size_) {
    if (auto status = flush(); !status) return status;
  }
  if (bytes.size() >= buffer_size_) return write_through(bytes);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

common::Status FileSink::flush() {
  if (fd_ < 0) return common::fail("file already closed");
  auto status = write_through(buffer_);
  // What could not be written is not retried: the caller treats a failed
  // write as the end of trustworthy output.
  buffer_.clear();
  return status;
}

common::Status FileSink::close() {
  if (fd_ < 0) return {};
  auto status = flush();
  const int fd = fd_;
  fd_ = -1;
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0 && status.ok() && errno != EINTR) return common::fail(os_error_text(errno));
  return status;
}

common::Status FileSink::write_through(common::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return common::fail(os_error_text(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace kiv::mcap
