#include "common/pending_work.h"

#include <condition_variable>
#include <mutex>

namespace kiv::common {
namespace {

struct PendingCount {
  std::mutex mutex;
  std::condition_variable drained;
  std::size_t count = 0;  // guarded by mutex
};

// Never destroyed: a thread may release its work after the process has begun
// to run static destructors (when the exit stopped waiting for it).
PendingCount& pending() {
  static PendingCount* const count = new PendingCount;
  return *count;
}

}  // namespace

PendingWork PendingWork::begin() {
  {
    std::lock_guard lock(pending().mutex);
    ++pending().count;
  }
  PendingWork work;
  work.counted_ = true;
  return work;
}

void PendingWork::release() {
  if (!std::exchange(counted_, false)) return;
  PendingCount& count = pending();
  std::lock_guard lock(count.mutex);
  if (--count.count == 0) count.drained.notify_all();
}

std::size_t pending_work_count() {
  std::lock_guard lock(pending().mutex);
  return pending().count;
}

bool wait_for_pending_work(std::chrono::steady_clock::time_point deadline) {
  PendingCount& count = pending();
  std::unique_lock lock(count.mutex);
  return count.drained.wait_until(lock, deadline, [&] { return count.count == 0; });
}

}  // namespace kiv::common
