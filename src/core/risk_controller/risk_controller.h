// Grades the recent clamp and reject outcomes of the control loop into a
// risk level. The most recent outcomes sit in two sliding windows (one byte
// each); counts are taken afresh from them whenever a level is asked for.
// An emergency latch, set and cleared only explicitly, overrides the grade.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/ring.h"

namespace kiv::risk_controller {

enum RiskLevel : std::uint8_t { kNormal = 0, kElevated = 1, kCritical = 2, kEmergency = 3 };

struct RiskStats {
  std::uint64_t window_size;  // outcomes held now, not the configured length
  std::uint64_t clamp_count;
  std::uint64_t reject_count;
  std::uint64_t clamp_threshold;
  std::uint64_t reject_threshold;
  std::uint8_t risk_level;
  bool is_emergency;
};

class RiskController {
 public:
  // Both windows are reserved up front for `window_samples` outcomes (at
  // least one: a length of 0 judges the latest outcome alone). Throws
  // std::runtime_error("capacity overflow") from 2^63 on, and std::bad_alloc
  // when a smaller length cannot be reserved.
  RiskController(std::uint64_t window_samples, std::uint64_t clamp_threshold, std::uint64_t reject_threshold);

  void record(bool was_clamped, bool was_rejected);
  std::uint8_t risk_level() const;
  bool is_emergency() const { return emergency_.load(std::memory_order_acquire); }
  void trigger_emergency() { emergency_.store(true, std::memory_order_release); }
  void clear_emergency() { emergency_.store(false, std::memory_order_release); }
  RiskStats stats() const;

 private:
  // The most recent outcomes of one kind, oldest first, behind a lock of
  // their own (the two windows' locks are never held together).
  class Window {
   public:
    explicit Window(std::uint64_t window_samples);
    void push(bool outcome);
    struct Tally {
      std::uint64_t size;
      std::uint64_t hits;  // true entries
    };
    Tally tally() const;

   private:
    mutable std::mutex mutex_;
    common::Ring<std::uint8_t> outcomes_;  // guarded by mutex_
  };

  std::uint8_t grade(std::uint64_t clamps, std::uint64_t rejects) const;

  std::atomic<bool> emergency_{false};
  Window clamps_;
  Window rejects_;
  std::uint64_t clamp_threshold_;
  std::uint64_t reject_threshold_;
  std::uint64_t critical_rejects_;  // 3 × reject_threshold, saturated
};

}  // namespace kiv::risk_controller
