// Receive parser throughput: valid dongle traffic, the same traffic with
// 5% of its frames damaged, and frameChecksum alone over the same bytes for
// comparison. The view does nothing (no locks, no UI thread), so what is
// measured is the parser and the roster work it triggers.
//
//   parser_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "console/null_view.h"
#include "link/frame.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTrafficSize = 1 << 20;
constexpr std::size_t kReadSize = 298;  // what one port read brings at most

// Device reports from 30 straps (90%), acks (5%) and dongle config (5%);
// `damagedPercent` of the frames get one byte flipped, which breaks the seal.
Bytes makeTraffic(int damagedPercent) {
  std::mt19937 rng(20240611);
  Bytes out;
  out.reserve(kTrafficSize + kMaxReceivedFrame);
  std::uint8_t f[kMaxReceivedFrame];
  char address[13];
  while (out.size() < kTrafficSize) {
    const unsigned pick = rng() % 100;
    std::size_t n;
    if (pick < 5) {
      n = buildDongleAck(f);
    } else if (pick < 10) {
      n = buildDongleConfigData(f, {"Koravel-Dng1", "A1B2C3D4E5F6", 2, 7});
    } else {
      std::snprintf(address, sizeof address, "C0FFEE0000%02u", static_cast<unsigned>(rng() % 30));
      DeviceReport r;
      r.name = "Mirabeat strap";
      r.address = address;
      r.heartRate = static_cast<std::uint8_t>(50 + rng() % 120);
      r.rrInterval = static_cast<std::uint16_t>(400 + rng() % 800);
      r.battery = static_cast<std::uint8_t>(rng() % 101);
      n = buildDeviceData(f, r);
    }
    if (static_cast<int>(rng() % 100) < damagedPercent) f[3 + rng() % (n - 3)] ^= 0x01;
    out.insert(out.end(), f, f + n);
  }
  return out;
}

void feedTraffic(benchmark::State& state, int damagedPercent) {
  const Bytes traffic = makeTraffic(damagedPercent);
  NullView view;
  TileBrushCache brushes;
  Roster roster(view, brushes);
  LinkWords words;
  ReceiveParser parser;
  parserInit(parser);
  const ParserContext context{&view, &words, &roster};
  for (auto _ : state) {
    for (std::size_t at = 0; at < traffic.size(); at += kReadSize) {
      parserFeed(parser, context, traffic.data() + at, std::min(kReadSize, traffic.size() - at));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
  const ReceiveCounters& c = parser.counters;
  const double runs = static_cast<double>(state.iterations());
  state.counters["reports"] = static_cast<double>(c.reports) / runs;
  state.counters["badSeals"] = static_cast<double>(c.badSeals) / runs;
}

void BM_ParserValidTraffic(benchmark::State& state) { feedTraffic(state, 0); }
void BM_ParserTraffic5PercentDamaged(benchmark::State& state) { feedTraffic(state, 5); }

void BM_FrameChecksumAlone(benchmark::State& state) {
  const Bytes traffic = makeTraffic(0);
  for (auto _ : state) {
    std::uint8_t sum = 0;
    for (std::size_t at = 0; at < traffic.size(); at += kReadSize) {
      sum ^= frameChecksum(traffic.data() + at, std::min(kReadSize, traffic.size() - at));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
}

BENCHMARK(BM_ParserValidTraffic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParserTraffic5PercentDamaged)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameChecksumAlone)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

BENCHMARK_MAIN();
