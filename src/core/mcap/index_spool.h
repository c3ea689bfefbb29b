// Where the summary's chunk index records wait, from the closing of their
// chunk until the summary is written.
//
// They are the one part of a file's bookkeeping that grows with its length:
// a recorder that closes a chunk per cycle adds one record (about 100 bytes)
// per cycle, hundreds of megabytes over a day at 1 kHz. A file spool keeps
// them on disk instead, in an unnamed temporary file beside the recording.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/bytes.h"
#include "common/result.h"

namespace kiv::mcap {

class IndexSpool {
 public:
  virtual ~IndexSpool() = default;
  virtual common::Status append(common::ByteView records) = 0;
  // Hands everything appended so far, in order and in pieces, to `out`;
  // stops at the first failure, its own or `out`'s.
  virtual common::Status replay(const std::function<common::Status(common::ByteView)>& out) = 0;
};

std::unique_ptr<IndexSpool> make_memory_spool();

// An unnamed temporary file in `directory`, gone with the spool or the
// process. The error is the operating system's text.
common::Result<std::unique_ptr<IndexSpool>> make_file_spool(const std::string& directory);

}  // namespace kiv::mcap
