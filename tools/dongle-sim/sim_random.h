// The one seeded engine behind every random choice of the simulator. The
// distributions are written out here rather than taken from <random>, whose
// distributions differ between standard libraries: a seed gives the same run
// everywhere.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace kv::sim {

class SimRandom {
 public:
  explicit SimRandom(std::uint64_t seed) : engine_(seed) {}

  std::uint64_t bits() { return engine_(); }

  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

  // Uniform whole number in [lo, hi], without modulo bias.
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    const std::uint64_t span = static_cast<std::uint64_t>(hi - lo) + 1;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t limit = max - max % span;
    std::uint64_t v = engine_();
    while (v >= limit) v = engine_();
    return lo + static_cast<std::int64_t>(v % span);
  }

  // True with probability p. Rates of 0 and 1 draw nothing.
  bool chance(double p) {
    if (p <= 0) return false;
    if (p >= 1) return true;
    return uniform() < p;
  }

  // Standard normal (Box-Muller).
  double gaussian() {
    const double u1 = 1.0 - uniform();  // (0, 1]
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace kv::sim
