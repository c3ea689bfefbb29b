// Work that the process ending must not cut short, such as a detached
// recorder thread finishing its file.
//
// A PendingWork made by `begin()` holds a process-wide count up until it is
// released or destroyed; it moves with whatever carries the work (a stop
// request through a queue). `wait_for_pending_work` blocks until the count
// is zero or a deadline passes. Nothing waits by itself: whoever ends the
// process calls it (the Python module does, at interpreter exit).
#pragma once

#include <chrono>
#include <cstddef>
#include <utility>

namespace kiv::common {

class PendingWork {
 public:
  PendingWork() = default;  // counts nothing
  static PendingWork begin();

  PendingWork(PendingWork&& other) noexcept : counted_(std::exchange(other.counted_, false)) {}
  PendingWork& operator=(PendingWork&& other) noexcept {
    if (this != &other) {
      release();
      counted_ = std::exchange(other.counted_, false);
    }
    return *this;
  }
  PendingWork(const PendingWork&) = delete;
  PendingWork& operator=(const PendingWork&) = delete;
  ~PendingWork() { release(); }

  // The work is done (or dropped): it no longer holds the count up.
  void release();

 private:
  bool counted_ = false;
};

std::size_t pending_work_count();

// True once nothing is pending; false if `deadline` passed first.
bool wait_for_pending_work(std::chrono::steady_clock::time_point deadline);

}  // namespace kiv::common
