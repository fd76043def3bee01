// A histogram of durations, for the time from a read that brought readings
// to their tiles' texts being shown: fixed buckets, no allocation, written
// by one thread and read by any (relaxed counts: a reading taken while it
// is written may be a few samples behind).
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

class LatencyHistogram {
 public:
  static constexpr int kBucketUs = 50;
  static constexpr int kBuckets = 4000;  // 0 to 200 ms; longer ones go in the last bucket

  void add(std::int64_t us) {
    if (us < 0) us = 0;
    std::int64_t b = us / kBucketUs;
    if (b >= kBuckets) b = kBuckets - 1;
    counts_[b].fetch_add(1, std::memory_order_relaxed);
    total_.fetch_add(1, std::memory_order_relaxed);
    std::int64_t seen = max_.load(std::memory_order_relaxed);
    while (us > seen && !max_.compare_exchange_weak(seen, us, std::memory_order_relaxed)) {
    }
  }

  std::uint64_t count() const { return total_.load(std::memory_order_relaxed); }
  std::int64_t maxUs() const { return max_.load(std::memory_order_relaxed); }

  // The upper edge of the bucket that holds the share `q` (0 to 1) of the
  // samples, in microseconds; 0 without samples.
  std::int64_t quantileUs(double q) const {
    const std::uint64_t n = count();
    if (n == 0) return 0;
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(n));
    if (rank >= n) rank = n - 1;
    std::uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
      seen += counts_[b].load(std::memory_order_relaxed);
      if (seen > rank) return static_cast<std::int64_t>(b + 1) * kBucketUs;
    }
    return static_cast<std::int64_t>(kBuckets) * kBucketUs;
  }

 private:
  std::atomic<std::uint32_t> counts_[kBuckets] = {};
  std::atomic<std::uint64_t> total_{0};
  std::atomic<std::int64_t> max_{0};
};

}  // namespace kv
