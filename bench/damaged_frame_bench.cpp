// What the receive parser makes of damaged frames, in figures: the simulated
// dongle leaves one byte out of a share of its reports (the frame then
// swallows the first byte of the next one), and the recorded stream is fed
// to the parser. Counted: the reports sent whole with a good seal that the
// console must apply, how many of them it did apply, and readings it applied
// that were not such a report (a damaged frame the 8-bit seal let through,
// or a frame found inside another frame's bytes).
//
//   damaged_frame_bench record SECONDS FILE [drop-rate] [seed]
//       runs the simulator (40 devices, the line saturated) for SECONDS and
//       keeps its record in FILE; real time.
//   damaged_frame_bench replay FILE
//       feeds FILE's stream to a parser and prints the counts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console/null_view.h"
#include "link/frame.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "link/serial_port.h"
#include "roster/roster.h"
#include "support/sim_record.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

int record(double seconds, const std::string& path, double dropRate, std::uint64_t seed) {
  kv::sim::SimOptions o;
  o.devices = 40;
  o.rateHz = 5.5;  // more than the line carries: the simulator paces to it
  o.seed = seed;
  o.recordPath = path;
  o.quiet = true;
  o.faults.dropByte = dropRate;
  kv::sim::DongleSim sim(o);
  std::string slave;
  std::string error;
  if (!sim.openPty(&slave, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  sim.start();
  int rc = 0;
  kv::SerialPort* port = kv::serialOpen(slave.c_str(), &rc);
  if (port == nullptr) {
    std::fprintf(stderr, "cannot open %s: rc=%d\n", slave.c_str(), rc);
    return 1;
  }
  std::uint8_t start[kv::kMaxCommandSize];
  std::uint8_t length = 0;
  kv::buildControlCommand(start, 0, 1, &length);
  kv::serialWrite(port, start, length, &rc);
  // Read everything, so that the simulator's host buffer never overruns.
  kv::PortWaker waker;
  std::uint8_t buf[4096];
  std::uint64_t bytes = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const int n = kv::serialRead(port, buf, sizeof buf, &rc);
    if (n < 0) break;
    if (n == 0) kv::serialWait(port, waker, 50);
    bytes += static_cast<std::uint64_t>(n > 0 ? n : 0);
  }
  sim.stop();
  kv::serialClose(port);
  sim.closePty();
  std::printf("recorded %.0f s, %llu bytes, into %s\n", seconds, static_cast<unsigned long long>(bytes),
              path.c_str());
  return 0;
}

// Keeps the "trust" lines (heart rate, battery) the parser writes.
class TrustView : public kv::NullView {
 public:
  void appendLog(const char* text) override {
    int hr = 0;
    int bat = 0;
    if (std::sscanf(text, "\r\ntrust, %d, %d", &hr, &bat) == 2) trust.push_back({hr, bat});
  }
  struct Reading {
    int hr, bat;
  };
  std::vector<Reading> trust;
};

int replay(const std::string& path) {
  TrustView view;
  kv::LinkWords words;
  kv::TileBrushCache brushes;
  kv::Roster roster(view, brushes);
  static kv::ReceiveParser parser;
  kv::parserInit(parser);
  const kv::ParserContext context{&view, &words, &roster};

  std::uint64_t toApply = 0, applied = 0, other = 0, dropped = 0, dropFollowers = 0, dropFollowersApplied = 0;
  bool afterDrop = false;
  const bool read = kv::test::forEachSimRecordLine(path, [&](const kv::test::SimRecordLine& line) {
    if (line.isEvent || !line.tx) return;
    const std::size_t before = view.trust.size();
    kv::parserFeed(parser, context, line.bytes.data(), line.bytes.size());
    std::size_t fresh = view.trust.size() - before;
    const bool must = kv::test::reportIsApplied(line);
    if (must) {
      ++toApply;
      const kv::test::ReportFields r = kv::test::reportFields(line.bytes);
      bool found = false;
      for (std::size_t i = before; i < view.trust.size() && !found; ++i)
        found = view.trust[i].hr == r.heartRate && view.trust[i].bat == r.battery;
      if (found) {
        ++applied;
        --fresh;
      }
      if (afterDrop) {
        ++dropFollowers;
        dropFollowersApplied += found;
      }
    }
    other += fresh;
    dropped += line.hasFault("drop-byte");
    afterDrop = line.hasFault("drop-byte");
  });
  if (!read) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  const kv::ReceiveCounters& c = parser.counters;
  std::printf("frames with a byte left out: %llu\n", static_cast<unsigned long long>(dropped));
  std::printf("reports to apply (whole, good seal, check 0x80, not Polar): %llu\n",
              static_cast<unsigned long long>(toApply));
  std::printf("  applied: %llu, lost: %llu\n", static_cast<unsigned long long>(applied),
              static_cast<unsigned long long>(toApply - applied));
  std::printf("  of them right behind a frame with a byte left out: %llu, applied %llu\n",
              static_cast<unsigned long long>(dropFollowers), static_cast<unsigned long long>(dropFollowersApplied));
  std::printf("readings applied that were no such report: %llu\n", static_cast<unsigned long long>(other));
  std::printf("parser: %u reports, %u readings applied, %u bad seals, %u given up, %llu bytes in\n", c.reports,
              c.readingsApplied, c.badSeals, c.rejected, static_cast<unsigned long long>(c.bytesIn));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "record") == 0) {
    const double rate = argc > 4 ? std::atof(argv[4]) : 0.05;
    const std::uint64_t seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 20261209;
    return record(std::atof(argv[2]), argv[3], rate, seed);
  }
  if (argc == 3 && std::strcmp(argv[1], "replay") == 0) return replay(argv[2]);
  std::fprintf(stderr,
               "usage: %s record SECONDS FILE [drop-rate, default 0.05] [seed]\n"
               "       %s replay FILE\n",
               argv[0], argv[0]);
  return 2;
}
