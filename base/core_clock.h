// The steady time the core reckons with: when a device was last heard, how
// long the dongle has said nothing, how long a Start has gone unanswered.
// The core is given a clock so that tests can move time by hand.
#pragma once

#include <chrono>
#include <cstdint>

namespace kv {

class CoreClock {
 public:
  virtual ~CoreClock() = default;
  // Milliseconds since some fixed moment; never goes back. Any thread.
  virtual std::int64_t nowMs() const = 0;
};

// The system's steady clock.
class SteadyCoreClock final : public CoreClock {
 public:
  std::int64_t nowMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

inline const CoreClock& systemClock() {
  static const SteadyCoreClock clock;
  return clock;
}

}  // namespace kv
