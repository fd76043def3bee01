// A clock the test moves by hand (the core reads it from any thread).
#pragma once

#include <atomic>
#include <cstdint>

#include "base/core_clock.h"

namespace kv::test {

struct HandClock : CoreClock {
  std::atomic<std::int64_t> now{1000000};
  std::int64_t nowMs() const override { return now.load(); }
  void advance(std::int64_t ms) { now += ms; }
};

}  // namespace kv::test
