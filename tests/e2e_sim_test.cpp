// The console against the simulated dongle, end to end: a real
// pseudo-terminal, the real link threads, the operator's commands through
// handleCommand and the recording view. The simulator runs in a thread of
// this process and records every frame it sends and receives; the tests
// compare that record with what the console shows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/console.h"
#include "link/frame.h"
#include "link/serial_port.h"
#include "support/pty.h"
#include "support/recording_view.h"
#include "support/sim_record.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;
using sim::DongleSim;
using sim::SimOptions;
using test::SimRecordLine;

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// The (heart rate, battery) of every "trust" line of the log, in order.
std::vector<std::pair<int, int>> trustLines(const std::string& log) {
  std::vector<std::pair<int, int>> out;
  static const std::string kTrust = "\r\ntrust, ";
  for (auto p = log.find(kTrust); p != std::string::npos; p = log.find(kTrust, p + 1)) {
    int hr = -1;
    int bat = -1;
    char end[3] = {};
    if (std::sscanf(log.c_str() + p + kTrust.size(), "%d, %d%2c", &hr, &bat, end) == 3 && end[0] == '\r' &&
        end[1] == '\n')
      out.emplace_back(hr, bat);
  }
  return out;
}

// A tile's first line without the padding of the name field.
std::string tileName(const std::string& text) {
  std::string name = text.substr(0, text.find('\n'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// The text of a linked tile after this report.
std::string linkedTileText(const test::ReportFields& r) {
  std::string text = r.nameField + "\nHR: " + std::to_string(r.heartRate);
  if (r.rrInterval != 0) text += " , RR: " + std::to_string(r.rrInterval);
  return text + "\nBat: " + std::to_string(r.battery) + "%";
}

bool isPolar(const std::string& name) { return name.rfind("Polar", 0) == 0; }

class E2eSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(startConsole(core));
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests
    dir_ = std::filesystem::temp_directory_path() / ("koravel-e2e-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_EQ(core.link.stopLink(), 0) << "both link threads ended in time";
    for (auto& s : sims_) s->stop();
    sims_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  static SimOptions options(int devices, double rateHz, std::uint64_t seed) {
    SimOptions o;
    o.devices = devices;
    o.rateHz = rateHz;
    o.seed = seed;
    o.dongleName = "KoravelSim01";
    o.dongleAddress = "0A1B2C3D4E5F";
    o.versionMajor = 0x3;
    o.versionMinor = 0x0A;
    return o;
  }

  // Starts a simulated dongle on a fresh pty, recording into the test's
  // directory; returns it (also kept in sim()).
  DongleSim& startSim(SimOptions o) {
    o.recordPath = (dir_ / ("sim" + std::to_string(sims_.size()) + ".rec")).string();
    recordPaths_.push_back(o.recordPath);
    sims_.push_back(std::make_unique<DongleSim>(o));
    std::string path;
    std::string error;
    EXPECT_TRUE(sims_.back()->openPty(&path, &error)) << error;
    slaves_.push_back(path);
    sims_.back()->start();
    return *sims_.back();
  }
  DongleSim& sim(std::size_t i = 0) { return *sims_.at(i); }
  const std::string& slave(std::size_t i = 0) { return slaves_.at(i); }
  std::vector<SimRecordLine> record(std::size_t i = 0) { return test::readSimRecord(recordPaths_.at(i)); }

  // The operator picks `path` from the port list.
  void pickPort(const std::string& path) {
    view.setSelectedPort(0, path);
    handleCommand(core, id::kPortList, kCbnSelChange);
  }
  // Picks the dongle's port and waits for its information line.
  void pickAndConfigure(std::size_t i = 0) {
    pickPort(slave(i));
    ASSERT_TRUE(waitUntil([&] { return sim(i).counters().configsSent == 1 && !view.dongleLine().empty(); }))
        << view.log();
  }
  // Commands of the window run as the UI thread would run them.
  void command(int commandId, int code = kBnClicked) {
    view.onUi([&] { handleCommand(core, commandId, code); });
  }
  void startScan(std::size_t i = 0) {
    const auto before = sim(i).counters().startAdvReceived;
    command(id::kStart);
    ASSERT_TRUE(waitUntil([&] { return sim(i).counters().startAdvReceived == before + 1; }));
    ASSERT_TRUE(waitUntil([&] { return view.startLabel() == "Stop !!!"; })) << view.log();
    EXPECT_EQ(core.words.scanning, 1);
  }
  // Runs the watch once a second, as the programs do, until `done` holds;
  // the milliseconds that took, or -1 when not within `ms`.
  long watch(const std::function<bool()>& done, int ms) {
    const auto start = Clock::now();
    for (;;) {
      view.onUi([&] { watchConsole(core); });
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (done()) return static_cast<long>(took);
      if (took > ms) return -1;
      std::this_thread::sleep_until(start + std::chrono::milliseconds((took / 1000 + 1) * 1000));
    }
  }
  int occupiedTiles() {
    int n = 0;
    for (int i = 0; i < kTileCount; ++i) n += view.tileText(i) != "empty";
    return n;
  }
  std::vector<std::string> tileNames() {
    std::vector<std::string> names;
    for (int i = 0; i < kTileCount; ++i) names.push_back(tileName(view.tileText(i)));
    return names;
  }

  test::RecordingView view;
  ConsoleCore core{view};

 private:
  std::filesystem::path dir_;
  std::vector<std::unique_ptr<DongleSim>> sims_;
  std::vector<std::string> slaves_;
  std::vector<std::string> recordPaths_;
};

TEST_F(E2eSimTest, APickedPortGetsTheSoftResetThenTheConfigurationRequest) {
  startSim(options(4, 1.0, 11));
  // During the UI thread's 150 ms pause the dongle already has the reset and
  // no request yet.
  bool resetFirst = false;
  view.onWait = [&](int ms) {
    const auto start = Clock::now();
    resetFirst = waitUntil([&] { return sim().counters().softResetReceived == 1; }, 3000) &&
                 sim().counters().configRequestReceived == 0;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
  };
  pickPort(slave());
  EXPECT_TRUE(resetFirst);
  EXPECT_EQ(view.waits(), std::vector<int>{kConfigRequestDelayMs});

  ASSERT_TRUE(waitUntil([&] { return !view.dongleLine().empty(); })) << view.log();
  EXPECT_EQ(view.dongleLine(), "KoravelSim01 @0A:1B:2C:3D:4E:5F  Ver. 3.0a");
  const sim::SimCounters c = sim().counters();
  EXPECT_EQ(c.softResetReceived, 1u);
  EXPECT_EQ(c.configRequestReceived, 1u);
  EXPECT_EQ(c.startAdvReceived, 0u);
  EXPECT_EQ(c.badSealReceived + c.unknownReceived + c.garbageBytesReceived + c.otherControlReceived, 0u)
      << "the console sends only its own well-sealed commands";

  // The reset's ack was taken as the reset's (swallowed) and changed nothing
  // else; the log tells the story in order.
  EXPECT_EQ(core.words.swallowNextAck, 0);
  EXPECT_EQ(core.words.scanning, 0);
  EXPECT_EQ(view.startLabel(), "Start ...");
  const std::string log = view.log();
  const auto opened = log.find("Port " + slave() + " opened\r\n");
  const auto ack = log.find("\r\n>> got dongle ack\r\n");
  const auto config = log.find("\r\n>> got dongle config data\r\n");
  EXPECT_EQ(opened, 0u) << log;
  EXPECT_LT(opened, ack);
  EXPECT_LT(ack, config);
  EXPECT_EQ(occurrences(log, "bad chksum"), 0u);

  std::vector<std::string> received;
  for (const auto& l : record())
    if (!l.isEvent && !l.tx) received.push_back(l.kind);
  EXPECT_EQ(received, (std::vector<std::string>{"soft-reset", "config-request"}));
}

TEST_F(E2eSimTest, StartShowsTheDevicesLinkedReadingsAndTooltipsAndStopEmptiesTheRoster) {
  SimOptions o = options(6, 10.0, 22);
  o.polarShare = 0;
  o.unappliedRate = 0;
  startSim(o);
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  ASSERT_NO_FATAL_FAILURE(startScan());

  // Every device gets a tile, idle: its name and two empty lines.
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == 6; })) << view.log();
  std::map<std::string, std::string> addressOf;
  for (const auto& d : sim().deviceList()) addressOf[d.name] = d.address;
  std::set<std::string> shown;
  for (int i = 0; i < 6; ++i) {
    const std::string text = view.tileText(i);
    shown.insert(tileName(text));
    EXPECT_EQ(text.substr(text.find('\n')), "\n\n") << "tile " << i << " is idle";
  }
  std::set<std::string> names;
  for (const auto& [name, address] : addressOf) names.insert(name);
  EXPECT_EQ(shown, names);
  for (int i = 6; i < kTileCount; ++i) EXPECT_EQ(view.tileText(i), "empty");

  // A linked tile shows the readings of the device's next report.
  const int slot = 2;
  const std::string linkedName = tileName(view.tileText(slot));
  command(id::kFirstTile + slot);
  EXPECT_EQ(view.linkedCount(), "1");
  ASSERT_TRUE(waitUntil([&] { return view.tileText(slot).find("\nHR: ") != std::string::npos; }, 3000));
  const std::string linkedText = view.tileText(slot);
  // (The dongle records a frame just after writing it: look a little while.)
  EXPECT_TRUE(waitUntil(
      [&] {
        for (const auto& l : record()) {
          if (!test::reportIsApplied(l)) continue;
          const test::ReportFields r = test::reportFields(l.bytes);
          if (r.name == linkedName && linkedTileText(r) == linkedText) return true;
        }
        return false;
      },
      2000))
      << "the tile shows one of the device's reports as sent: " << linkedText;

  // Each reading gives its tile the device's address with colons as hover
  // text, with the reading (no request goes through the command handler).
  EXPECT_TRUE(view.tooltipRequests().empty());
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(view.tooltip(i), test::colonAddress(addressOf[tileName(view.tileText(i))])) << "tile " << i;

  // Stop: the soft reset reaches the dongle, its ack empties the roster.
  command(id::kStart);
  ASSERT_TRUE(waitUntil([&] { return sim().counters().softResetReceived == 2; }));
  ASSERT_TRUE(waitUntil([&] { return view.startLabel() == "Start ..."; })) << view.log();
  EXPECT_EQ(core.words.scanning, 0);
  EXPECT_FALSE(sim().scanning());
  for (int i = 0; i < kTileCount; ++i) EXPECT_EQ(view.tileText(i), "empty") << "tile " << i;
  EXPECT_EQ(view.linkedCount(), "");
  // The dongle has stopped reporting: nothing comes back.
  sleepMs(300);
  EXPECT_EQ(occupiedTiles(), 0);
  for (int i = 0; i < kTileCount; ++i) EXPECT_FALSE(core.roster.table().isSlotInUse(i));
}

TEST_F(E2eSimTest, ASilentDeviceAndAHungDongleAreShownAndTheDeviceIsLiveAgainWithItsNextReport) {
  SimOptions o = options(4, 5.0, 44);
  o.polarShare = 0;
  o.unappliedRate = 0;
  startSim(o);
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == 4; })) << view.log();
  for (int i = 0; i < 4; ++i) command(id::kFirstTile + i);
  ASSERT_TRUE(waitUntil([&] {
    for (int i = 0; i < 4; ++i)
      if (view.tileText(i).find("\nHR: ") == std::string::npos) return false;
    return true;
  }));
  const std::string name0 = tileName(view.tileText(0));
  std::size_t silenced = 0;
  const auto devices = sim().deviceList();
  while (devices[silenced].name.substr(0, name0.size()) != name0) ++silenced;

  // Silent: shown within 6 s; the others stay live.
  sim().setDeviceSilent(silenced, true);
  const long shown = watch([&] { return view.tileText(0).find("HR: -- (") != std::string::npos; }, 8000);
  // 5 s after its last report, at the next tick: within 6 s (the 500 ms
  // over that are for a loaded machine's late tick).
  EXPECT_GE(shown, 4000);
  EXPECT_LE(shown, 6500) << view.tileText(0);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(view.tileText(i).find("HR: --"), std::string::npos) << i;
  std::uint8_t fill = 0;
  EXPECT_TRUE(core.roster.linkedBrand(0, &fill));
  EXPECT_EQ(fill, kFillSilent);
  // Back: live with its first report (5 a second).
  sim().setDeviceSilent(silenced, false);
  EXPECT_TRUE(waitUntil([&] { return view.tileText(0).find("HR: --") == std::string::npos; }, 1000));
  EXPECT_TRUE(core.roster.linkedBrand(0, &fill));
  EXPECT_NE(fill, kFillSilent);

  // The dongle hangs: said within 6 s, every tile silent soon after.
  sim().setStalled(true);
  const long stalled = watch([&] { return view.statusLine().find(": no data from the dongle for ") != std::string::npos; },
                             8000);
  EXPECT_GE(stalled, 4000);
  EXPECT_LE(stalled, 6500) << view.statusLine();
  sim().setStalled(false);
  EXPECT_GE(watch([&] { return view.statusLine() == "Port " + slave() + " open, scanning"; }, 3000), 0)
      << view.statusLine();
}

TEST_F(E2eSimTest, APulledPortIsSaidWithinASecondAndStartWithoutADongleGivesTheButtonBack) {
  startSim(options(3, 2.0, 45));
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  const auto start = Clock::now();
  sim().unplug();
  ASSERT_TRUE(waitUntil([&] { return view.statusChecksPosted() > 0; }, 1000));
  view.onUi([&] { showStatus(core); });  // what the posted check does
  EXPECT_EQ(view.statusLine(), "Port " + slave() + " lost");
  EXPECT_LE(Clock::now() - start, std::chrono::milliseconds(1000));

  // A port with no dongle behind it.
  test::Pty nobody;
  pickPort(nobody.slavePath());
  command(id::kStart);
  EXPECT_EQ(view.startLabel(), "scanning");
  const long answered = watch([&] { return view.startLabel() == "Start ..."; }, 4000);
  EXPECT_GE(answered, 1000);
  EXPECT_LE(answered, 3000);
  EXPECT_EQ(view.statusLine(), "Port " + nobody.slavePath() + ": no answer from the dongle");
  command(id::kStart);
  EXPECT_EQ(view.startLabel(), "scanning") << "the button works again";
}

TEST_F(E2eSimTest, FortyFiveDevicesFillFortySlotsAndTheRestWaitForClearUseless) {
  // 45 devices at 1 Hz: 3 "Polar", 42 others for 40 slots.
  SimOptions o = options(45, 1.0, 33);
  o.polarShare = 3.0 / 45.0;
  o.unappliedRate = 0;
  startSim(o);
  std::set<std::string> polar;
  std::set<std::string> others;
  for (const auto& d : sim().deviceList()) (isPolar(d.name) ? polar : others).insert(d.name);
  ASSERT_EQ(polar.size(), 3u);
  ASSERT_EQ(others.size(), 42u);

  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == kTileCount; }, 5000)) << occupiedTiles();
  const std::vector<std::string> full = tileNames();
  const std::set<std::string> inRoster(full.begin(), full.end());
  EXPECT_EQ(inRoster.size(), 40u) << "forty different devices";
  std::vector<std::string> refused;
  for (const auto& name : others)
    if (!inRoster.count(name)) refused.push_back(name);
  ASSERT_EQ(refused.size(), 2u);
  for (const auto& name : full) EXPECT_FALSE(isPolar(name)) << name;

  // Every device left out, Polar or not, reports again: still no slot.
  const std::size_t reportsWhenFull = record().size();
  ASSERT_TRUE(waitUntil(
      [&] {
        std::set<std::string> heard;
        const auto lines = record();
        for (std::size_t k = reportsWhenFull; k < lines.size(); ++k)
          if (lines[k].tx && lines[k].kind == "report" && lines[k].intact)
            heard.insert(test::reportFields(lines[k].bytes).name);
        for (const auto& name : refused)
          if (!heard.count(name)) return false;
        for (const auto& name : polar)
          if (!heard.count(name)) return false;
        return true;
      },
      4000));
  EXPECT_EQ(tileNames(), full);
  for (int i = 0; i < kTileCount; ++i) EXPECT_FALSE(isPolar(core.roster.table().slot(i).name)) << i;

  // Link three tiles, then press "Clear Useless" half a round of reports
  // before the refused devices' turn: right after the report of the device
  // in tile 20 (slots were taken in the order of the round).
  const int linkedSlots[] = {4, 13, 27};
  for (int s : linkedSlots) command(id::kFirstTile + s);
  EXPECT_EQ(view.linkedCount(), "3");
  const int tile20Readings = view.tooltipSets(20);
  ASSERT_TRUE(waitUntil([&] { return view.tooltipSets(20) > tile20Readings; }, 3000));
  command(id::kClearUseless);

  // The linked devices are packed into the first tiles in their order; the
  // other tiles fill again with the first devices to report, the refused
  // ones among them.
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(tileName(view.tileText(k)), full[static_cast<std::size_t>(linkedSlots[k])]);
    EXPECT_EQ(core.roster.table().slot(k).linkState, kLinked);
  }
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == kTileCount; }, 4000)) << occupiedTiles();
  const std::vector<std::string> after = tileNames();
  const std::set<std::string> afterSet(after.begin(), after.end());
  EXPECT_EQ(afterSet.size(), 40u);
  for (const auto& name : refused) EXPECT_TRUE(afterSet.count(name)) << name << " took a freed slot";
  for (const auto& name : after) {
    EXPECT_FALSE(isPolar(name)) << name;
    EXPECT_TRUE(others.count(name)) << name;
  }
}

TEST_F(E2eSimTest, WithFaultsOnFivePercentOfFramesEveryGoodReportIsApplied) {
  // 40 devices (4 "Polar") at 3 Hz: about 60 % of the line. Each kind of
  // fault hits 1 % of the reports, about 5 % of them in all.
  SimOptions o = options(40, 3.0, 44);
  o.faults.badSeal = 0.01;
  o.faults.split = 0.01;
  o.faults.garbage = 0.01;
  o.faults.unknown = 0.01;
  o.faults.dropByte = 0.01;
  startSim(o);
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  ASSERT_NO_FATAL_FAILURE(startScan());

  // Link every tile once the 36 accepted devices have theirs.
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == 36; }, 5000)) << occupiedTiles();
  for (int i = 0; i < 36; ++i) command(id::kFirstTile + i);
  EXPECT_EQ(view.linkedCount(), "36");

  ASSERT_TRUE(waitUntil([&] { return sim().counters().reportsSent >= 900; }, 20000));
  sim().stop();
  const sim::SimCounters c = sim().counters();
  ASSERT_TRUE(waitUntil([&] { return core.link.bytesRead() == c.bytesWritten; }, 5000))
      << core.link.bytesRead() << " of " << c.bytesWritten << " bytes read";

  const auto lines = record();
  std::vector<std::pair<int, int>> expected;
  std::map<std::string, test::ReportFields> lastApplied;  // by address
  std::size_t badSeals = 0;
  std::size_t dropped = 0;
  std::map<std::string, std::size_t> faults;
  std::uint64_t intact = 0;
  for (const auto& l : lines) {
    if (l.isEvent || !l.tx) continue;
    for (const char* f : {"bad-seal", "split", "drop-byte"})
      if (l.hasFault(f)) ++faults[f];
    if (l.kind == "unknown" || l.kind == "garbage") ++faults[l.kind];
    if (l.kind != "report") continue;
    intact += l.intact;
    badSeals += l.hasFault("bad-seal") && !l.hasFault("drop-byte");
    dropped += l.hasFault("drop-byte");
    if (!test::reportIsApplied(l)) continue;
    const test::ReportFields r = test::reportFields(l.bytes);
    expected.emplace_back(r.heartRate, r.battery);
    lastApplied[r.address] = r;
  }
  EXPECT_EQ(intact, c.reportsIntact);
  for (const char* f : {"bad-seal", "split", "drop-byte", "unknown", "garbage"})
    EXPECT_GT(faults[f], 0u) << "the run had no " << f;

  // Every intact 0x80 report of an accepted device gave its "trust" line, in
  // order, and nothing else did.
  ASSERT_TRUE(waitUntil([&] { return trustLines(view.log()).size() >= expected.size(); }, 5000));
  sleepMs(50);
  const std::string log = view.log();
  const auto got = trustLines(log);
  EXPECT_EQ(got.size(), expected.size());
  const auto diverge = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  EXPECT_TRUE(diverge.first == got.end() && diverge.second == expected.end())
      << "first difference at trust line " << (diverge.first - got.begin()) << " of " << expected.size();

  // Each report with a bad seal was dumped and reported exactly once; a
  // dropped byte makes at most one more such line.
  for (const auto& l : lines) {
    if (l.isEvent || !l.tx || l.kind != "report" || !l.hasFault("bad-seal") || l.hasFault("drop-byte")) continue;
    EXPECT_EQ(occurrences(log, test::lowerHex(l.bytes) + "\r\n>> MBD reg cmd bad chksum "), 1u)
        << "bad seal at t_ms=" << l.tMs;
  }
  const std::size_t badLines = occurrences(log, " bad chksum ");
  EXPECT_GE(badLines, badSeals);
  EXPECT_LE(badLines, badSeals + dropped);

  // Every linked tile shows the last reading its device sent.
  for (int i = 0; i < 36; ++i) {
    const DeviceSlot s = core.roster.table().slot(i);
    ASSERT_TRUE(lastApplied.count(s.address)) << s.address;
    EXPECT_EQ(view.tileText(i), linkedTileText(lastApplied[s.address])) << "tile " << i;
  }
  for (int i = 36; i < kTileCount; ++i) EXPECT_EQ(view.tileText(i), "empty");
  EXPECT_EQ(view.dongleLine(), "KoravelSim01 @0A:1B:2C:3D:4E:5F  Ver. 3.0a");
  EXPECT_EQ(occurrences(log, " lost rc="), 0u);
}

TEST_F(E2eSimTest, AnUnpluggedDongleIsReportedOnceAndANewOneCanBePicked) {
  SimOptions first = options(5, 5.0, 55);
  startSim(first);
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure(0));
  sleepMs(100);  // the reset's ack and the configuration are all in

  sim(0).unplug();
  const std::string lost = "Port " + slave(0) + " lost rc=" + std::to_string(EIO) + "\r\n";
  ASSERT_TRUE(view.waitForLog(lost, 3000)) << view.log();
  const auto waits = core.link.emptyWaits();
  sleepMs(1000);
  EXPECT_LT(core.link.emptyWaits() - waits, 20u) << "the reader rests while the port is gone";
  EXPECT_EQ(occurrences(view.log(), " lost rc="), 1u);

  // A new dongle on another port: opened, reset, asked for its configuration.
  SimOptions second = options(4, 10.0, 56);
  second.dongleName = "KoravelSim02";
  second.dongleAddress = "A1B2C3D4E5F6";
  second.versionMajor = 0x12;
  second.versionMinor = 0x34;
  second.polarShare = 0;
  second.unappliedRate = 0;
  startSim(second);
  pickPort(slave(1));
  EXPECT_NE(view.log().find("Port " + slave(1) + " opened\r\n"), std::string::npos);
  ASSERT_TRUE(waitUntil([&] { return view.dongleLine() == "KoravelSim02 @A1:B2:C3:D4:E5:F6  Ver. 12.34"; }))
      << view.dongleLine() << "\n" << view.log();
  EXPECT_EQ(sim(1).counters().softResetReceived, 1u);
  EXPECT_EQ(sim(1).counters().configRequestReceived, 1u);
  EXPECT_EQ(core.words.swallowNextAck, 0);

  // And its reports make tiles.
  ASSERT_NO_FATAL_FAILURE(startScan(1));
  ASSERT_TRUE(waitUntil([&] { return occupiedTiles() == 4; })) << view.log();
  EXPECT_EQ(occurrences(view.log(), " lost rc="), 1u);
}

// A dongle pulled out in the middle of a frame leaves the start of that
// frame held by the parser. The next dongle's answers must still be taken.
// Bytes left of the old port's frame would otherwise join the new dongle's
// ack and configuration, fail the seal and, searched again, yield an ack
// that flushes the configuration behind it.
TEST_F(E2eSimTest, AFrameCutOffByTheUnplugDoesNotHideTheNextDonglesAnswers) {
  test::Pty first;
  ASSERT_TRUE(first.ok());
  pickPort(first.slavePath());
  ASSERT_EQ(first.receive(kControlCommandSize + kConfigRequestSize, 2000).size(),
            kControlCommandSize + kConfigRequestSize);
  std::uint8_t ack[kAckSize];
  buildDongleAck(ack);
  first.send(std::vector<std::uint8_t>(ack, ack + kAckSize));
  ASSERT_TRUE(view.waitForLog(">> got dongle ack", 2000));
  std::uint8_t report[kDeviceDataSize];
  DeviceReport r;
  r.name = "Mirabeat Cut 01";
  r.address = "D0C5F3000001";
  r.heartRate = 70;
  buildDeviceData(report, r);
  first.send(std::vector<std::uint8_t>(report, report + 30));
  sleepMs(100);
  first.closeMaster();
  ASSERT_TRUE(view.waitForLog(" lost rc=", 3000)) << view.log();

  SimOptions o = options(4, 10.0, 77);
  o.dongleName = "KoravelSim02";
  startSim(o);
  pickPort(slave());
  EXPECT_TRUE(waitUntil([&] { return view.dongleLine().rfind("KoravelSim02 @", 0) == 0; }, 3000))
      << view.log();
}

// The reset sent at shutdown reaches the dongle (and stops its scan) before
// the port is closed: after the UI's pause before quitting, and without the
// pause while the writer is still busy with an earlier command, so that only
// stopLink can see the reset written.
class E2eSimShutdown : public E2eSimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(E2eSimShutdown, TheShutdownResetReachesTheDongleBeforeThePortCloses) {
  const bool busyWriter = GetParam();
  startSim(options(5, 5.0, 66));
  ASSERT_NO_FATAL_FAILURE(pickAndConfigure());
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(sim().scanning());

  if (busyWriter) {
    view.onWait = [](int) {};
    view.onUi([&] {
      // The writer takes this request and then waits for the UI to echo it;
      // the window goes meanwhile.
      core.link.requestDongleConfig();
      sleepMs(50);
      shutdownWindow(core);
    });
  } else {
    shutdownWindow(core);
  }
  EXPECT_EQ(core.link.stopLink(), 0);
  EXPECT_FALSE(core.link.portOpen());
  ASSERT_TRUE(waitUntil([&] { return sim().counters().softResetReceived == 2; }, 2000))
      << sim().counters().softResetReceived << " soft resets received";
  EXPECT_FALSE(sim().scanning());
  std::vector<std::string> received;
  for (const auto& l : record())
    if (!l.isEvent && !l.tx) received.push_back(l.kind);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), "soft-reset") << "the last command written";
  EXPECT_EQ(received.size(), busyWriter ? 5u : 4u);
  // The port is free again.
  SerialPort* again = serialOpen(slave().c_str(), nullptr);
  EXPECT_NE(again, nullptr);
  serialClose(again);
}

INSTANTIATE_TEST_SUITE_P(PauseOrNot, E2eSimShutdown, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BusyWriterNoPause" : "AfterThePause"; });

}  // namespace
}  // namespace kv
