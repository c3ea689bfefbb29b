// The watchdog's armed and emergency flags together with the epoch of the
// current arming, in one atomic word.
//
// Every arm() begins a new epoch, and a watcher raises the emergency only
// through expire(), which succeeds only while the arming it was started for
// is still in force. So a watcher of an earlier arming can neither fire for
// a newer one nor cancel it, and a disarm() is never overtaken by a watcher
// that had already found the deadline passed.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiv::watchdog {

class ArmingState {
 public:
  using Epoch = std::uint64_t;

  // Starts a new epoch: armed, emergency cleared. Returns the epoch.
  Epoch arm() noexcept {
    std::uint64_t word = word_.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
      next = ((word & kEpochMask) + kEpochStep) | kArmed;
    } while (!word_.compare_exchange_weak(word, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    return next & kEpochMask;
  }

  // Ends the current arming; the emergency flag stays as it is.
  void disarm() noexcept { word_.fetch_and(~kArmed, std::memory_order_release); }

  void clear_emergency() noexcept { word_.fetch_and(~kEmergency, std::memory_order_release); }

  bool is_emergency() const noexcept { return (word_.load(std::memory_order_acquire) & kEmergency) != 0; }

  bool is_armed() const noexcept { return (word_.load(std::memory_order_acquire) & kArmed) != 0; }

  // Whether the arming of `epoch` is still in force: a watcher's stop signal.
  bool watches(Epoch epoch) const noexcept {
    return (word_.load(std::memory_order_relaxed) & ~kEmergency) == (epoch | kArmed);
  }

  // Raises the emergency and ends the arming of `epoch`, in one step, if
  // that arming is still in force. Returns whether it did.
  bool expire(Epoch epoch) noexcept {
    std::uint64_t word = word_.load(std::memory_order_relaxed);
    while ((word & ~kEmergency) == (epoch | kArmed)) {
      if (word_.compare_exchange_weak(word, (word | kEmergency) & ~kArmed, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr std::uint64_t kArmed = 1;
  static constexpr std::uint64_t kEmergency = 2;
  static constexpr std::uint64_t kEpochStep = 4;  // 62 bits of epochs: never wraps in practice
  static constexpr std::uint64_t kEpochMask = ~(kArmed | kEmergency);

  std::atomic<std::uint64_t> word_{0};
};

}  // namespace kiv::watchdog
