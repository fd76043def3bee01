// Finding the console's commands in the byte stream: reassembly, and
// resynchronising on the next magic after garbage, bad seals and cut frames.
#include <gtest/gtest.h>

#include "sim_test_support.h"
#include "tools/dongle-sim/command_scanner.h"

namespace kv::sim {
namespace {

using test::Bytes;
using Kind = ScannedBytes::Kind;
using Clock = CommandScanner::Clock;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<ScannedBytes> feedAll(CommandScanner& scanner, const Bytes& bytes, Clock::time_point now = Clock::now()) {
  std::vector<ScannedBytes> out;
  scanner.feed(bytes.data(), bytes.size(), now, &out);
  return out;
}

TEST(CommandScanner, ReassemblesFramesFromPiecesAndSplitsJoinedOnes) {
  CommandScanner scanner;
  const Bytes start = test::startAdvFrame();
  std::vector<ScannedBytes> out;
  for (std::size_t i = 0; i < start.size(); ++i) {
    scanner.feed(&start[i], 1, Clock::now(), &out);
    EXPECT_EQ(out.size(), i + 1 == start.size() ? 1u : 0u) << "byte " << i;
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, Kind::Frame);
  EXPECT_EQ(out[0].bytes, start);
  EXPECT_EQ(scanner.held(), 0u);

  const Bytes config = test::configRequestFrame();
  const Bytes reset = test::softResetFrame();
  out = feedAll(scanner, concat({config, reset, start}));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].bytes, config);
  EXPECT_EQ(out[1].bytes, reset);
  EXPECT_EQ(out[2].bytes, start);
}

TEST(CommandScanner, SetsGarbageApartAndResyncsOnTheNextMagic) {
  CommandScanner scanner;
  const Bytes start = test::startAdvFrame();
  // Stray bytes, a lone B, and "MB" that never becomes a magic.
  auto out = feedAll(scanner, concat({{0x00, 0xFF, 0x42}, start, {0x42}, {0x4D, 0x42, 0x00}, start}));
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].kind, Kind::Garbage);
  EXPECT_EQ(out[0].bytes, (Bytes{0x00, 0xFF, 0x42}));
  EXPECT_EQ(out[1].kind, Kind::Frame);
  EXPECT_EQ(out[2].kind, Kind::Garbage);
  EXPECT_EQ(out[2].bytes, (Bytes{0x42, 0x4D, 0x42, 0x00}));
  EXPECT_EQ(out[3].kind, Kind::Frame);
  EXPECT_EQ(out[3].bytes, start);

  // A possible magic at the very end is held, not thrown away.
  out = feedAll(scanner, {0x11, 0x4D});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(scanner.held(), 1u);
  out = feedAll(scanner, Bytes(start.begin() + 1, start.end()));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, start);
}

TEST(CommandScanner, BadSealsAndCutFramesDoNotHideTheNextFrame) {
  CommandScanner scanner;
  const Bytes reset = test::softResetFrame();
  Bytes bad = reset;
  bad.back() ^= 0x01;
  auto out = feedAll(scanner, concat({bad, reset}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].kind, Kind::BadSeal);
  EXPECT_EQ(out[0].bytes, bad);
  EXPECT_EQ(out[1].kind, Kind::Frame);

  // A frame cut after 6 bytes, then a whole one: its length field would be
  // read from the next frame's magic; the whole frame is still found.
  const Bytes cut(reset.begin(), reset.begin() + 6);
  out = feedAll(scanner, concat({cut, reset}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_NE(out[0].kind, Kind::Frame);
  EXPECT_EQ(out[0].bytes, cut);
  EXPECT_EQ(out[1].kind, Kind::Frame);
  EXPECT_EQ(out[1].bytes, reset);

  // Cut after 10 bytes: the candidate reaches into the next frame, fails its
  // seal and ends where that frame's magic begins.
  const Bytes longCut(reset.begin(), reset.begin() + 10);
  out = feedAll(scanner, concat({longCut, reset}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].kind, Kind::BadSeal);
  EXPECT_EQ(out[0].bytes, longCut);
  EXPECT_EQ(out[1].bytes, reset);
}

TEST(CommandScanner, GivesUpOnAStalePartialFrame) {
  CommandScanner scanner;
  const Bytes config = test::configRequestFrame();
  const auto t0 = Clock::now();
  auto out = feedAll(scanner, Bytes(config.begin(), config.begin() + 5), t0);
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(scanner.deadline().has_value());
  EXPECT_EQ(*scanner.deadline(), t0 + CommandScanner::kPartialTimeout);
  scanner.expire(t0 + CommandScanner::kPartialTimeout / 2, &out);
  EXPECT_TRUE(out.empty());
  scanner.expire(t0 + CommandScanner::kPartialTimeout, &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, Kind::Garbage);
  EXPECT_EQ(scanner.held(), 0u);
  EXPECT_FALSE(scanner.deadline().has_value());

  out = feedAll(scanner, config, t0 + std::chrono::seconds(1));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, Kind::Frame);
}

}  // namespace
}  // namespace kv::sim
