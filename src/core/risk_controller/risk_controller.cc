#include "risk_controller/risk_controller.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kiv::risk_controller {
namespace {

// Window lengths from 2^63 on cannot be reserved on any machine.
std::size_t reserved_slots(std::uint64_t window_samples) {
  if (window_samples > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::runtime_error("capacity overflow");
  }
  return std::max<std::uint64_t>(window_samples, 1);
}

// A wrapped product would make CRITICAL reachable with a handful of rejects.
std::uint64_t saturating_triple(std::uint64_t value) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return value > kMax / 3 ? kMax : value * 3;
}

}  // namespace

RiskController::Window::Window(std::uint64_t window_samples) : outcomes_(reserved_slots(window_samples)) {}

void RiskController::Window::push(bool outcome) {
  std::lock_guard lock(mutex_);
  outcomes_.push_back_evicting(outcome ? 1 : 0);
}

RiskController::Window::Tally RiskController::Window::tally() const {
  std::lock_guard lock(mutex_);
  std::uint64_t hits = 0;
  outcomes_.for_each([&](std::uint8_t outcome) { hits += outcome; });
  return {outcomes_.size(), hits};
}

RiskController::RiskController(std::uint64_t window_samples, std::uint64_t clamp_threshold,
                               std::uint64_t reject_threshold)
    : clamps_(window_samples),
      rejects_(window_samples),
      clamp_threshold_(clamp_threshold),
      reject_threshold_(reject_threshold),
      critical_rejects_(saturating_triple(reject_threshold)) {}

void RiskController::record(bool was_clamped, bool was_rejected) {
  clamps_.push(was_clamped);
  rejects_.push(was_rejected);
}

std::uint8_t RiskController::grade(std::uint64_t clamps, std::uint64_t rejects) const {
  if (rejects >= critical_rejects_) return kCritical;
  if (rejects >= reject_threshold_ || clamps >= clamp_threshold_) return kElevated;
  return kNormal;
}

std::uint8_t RiskController::risk_level() const {
  if (is_emergency()) return kEmergency;
  const std::uint64_t rejects = rejects_.tally().hits;
  const std::uint64_t clamps = clamps_.tally().hits;
  return grade(clamps, rejects);
}

RiskStats RiskController::stats() const {
  const Window::Tally clamps = clamps_.tally();
  const Window::Tally rejects = rejects_.tally();
  return RiskStats{clamps.size, clamps.hits, rejects.hits, clamp_threshold_, reject_threshold_, risk_level(),
                   is_emergency()};
}

}  // namespace kiv::risk_controller
