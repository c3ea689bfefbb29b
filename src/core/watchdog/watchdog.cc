#include "watchdog/watchdog.h"

#include <pthread.h>

#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/format.h"

namespace kiv::watchdog {
namespace {

// Fixed, whatever the deadline: an expiry is raised at most about one
// period late.
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
constexpr char kThreadName[] = "kiv-watchdog";

}  // namespace

WatchdogTimer::WatchdogTimer(double deadline_ms) : shared_(std::make_shared<Shared>()), deadline_ms_(deadline_ms) {}

WatchdogTimer::~WatchdogTimer() { shared_->arming.disarm(); }

void WatchdogTimer::arm() {
  const ArmingState::Epoch epoch = shared_->arming.arm();
  shared_->last_ping.touch();
  const Duration deadline = duration_from_micros(deadline_micros(deadline_ms_));
  try {
    std::thread thread([shared = shared_, deadline, epoch] { watch(shared, deadline, epoch); });
    // Named before arm() returns, so the thread is never seen unnamed.
    pthread_setname_np(thread.native_handle(), kThreadName);
    thread.detach();
  } catch (const std::system_error& error) {
    throw std::runtime_error(common::format("failed to spawn watchdog thread: {}", error.code().message()));
  }
}

void WatchdogTimer::watch(const std::shared_ptr<Shared>& shared, Duration deadline, ArmingState::Epoch epoch) {
  while (shared->arming.watches(epoch)) {
    std::this_thread::sleep_for(kPollPeriod);  // nanosleep: the monotonic clock
    if (shared->last_ping.elapsed() > deadline) {
      shared->arming.expire(epoch);  // a no-op if disarmed or re-armed meanwhile
      return;
    }
  }
}

}  // namespace kiv::watchdog
