// Deadline watchdog: the control loop pings once per cycle; a detached
// watcher thread ("kiv-watchdog") checks every millisecond how long ago the
// last ping was and, once that exceeds the deadline, raises the emergency
// flag and stops watching. It takes no other action: the loop reads the flag
// and performs the safe stop itself.
//
// The stamp and flags are shared with the watchers, so releasing the object
// never frees what a running watcher still uses; releasing it also disarms,
// so no watcher outlives it by more than one poll.
#pragma once

#include <memory>
#include <mutex>

#include "watchdog/arming_state.h"
#include "watchdog/duration.h"

namespace kiv::watchdog {

// When the watchdog was last pinged, armed or constructed.
class PingStamp {
 public:
  PingStamp() : stamp_(Clock::now()) {}

  // The clock is read before the lock is taken, so the lock is held for
  // the store alone.
  void touch() {
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    stamp_ = now;
  }

  Duration elapsed() const {
    std::lock_guard lock(mutex_);
    return elapsed_between(stamp_, Clock::now());
  }

 private:
  mutable std::mutex mutex_;
  Clock::time_point stamp_;  // guarded by mutex_
};

class WatchdogTimer {
 public:
  // Any value is accepted; zero, negative and NaN deadlines expire at the
  // first poll, very large and infinite ones never. Starts no thread.
  explicit WatchdogTimer(double deadline_ms);
  ~WatchdogTimer();
  WatchdogTimer(const WatchdogTimer&) = delete;
  WatchdogTimer& operator=(const WatchdogTimer&) = delete;

  // Arms (or re-arms): clears the emergency flag, restarts the deadline and
  // starts a watcher for this arming; watchers of earlier armings end at
  // their next poll. Throws std::runtime_error("failed to spawn watchdog
  // thread: <reason>") when the operating system refuses the thread.
  void arm();
  void ping() { shared_->last_ping.touch(); }
  // The watcher ends at its next poll without raising the emergency.
  void disarm() { shared_->arming.disarm(); }
  bool is_emergency() const { return shared_->arming.is_emergency(); }
  bool is_armed() const { return shared_->arming.is_armed(); }
  void clear_emergency() { shared_->arming.clear_emergency(); }
  double elapsed_since_ping_ms() const { return to_milliseconds(shared_->last_ping.elapsed()); }
  double deadline_ms() const { return deadline_ms_; }

 private:
  struct Shared {
    PingStamp last_ping;
    ArmingState arming;
  };

  // The watcher thread's body: polls until its arming ends or expires.
  static void watch(const std::shared_ptr<Shared>& shared, Duration deadline, ArmingState::Epoch epoch);

  std::shared_ptr<Shared> shared_;
  double deadline_ms_;  // as given; converted afresh at every arm()
};

}  // namespace kiv::watchdog
