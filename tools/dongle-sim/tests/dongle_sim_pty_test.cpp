// The simulator over a real pseudo-terminal, seen from the console's side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "link/frame.h"
#include "sim_test_support.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace kv::sim {
namespace {

using test::Bytes;
using test::ConsoleEnd;

std::string text(const Bytes& frame, std::size_t offset, std::size_t width) {
  return std::string(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                     frame.begin() + static_cast<std::ptrdiff_t>(offset + width));
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SimOverPty : public ::testing::Test {
 protected:
  SimOptions quick(int devices = 5, double rate = 10) {
    SimOptions o;
    o.devices = devices;
    o.rateHz = rate;
    o.seed = 1234;
    return o;
  }
  void open(const SimOptions& o) {
    sim_ = std::make_unique<DongleSim>(o);
    std::string error;
    ASSERT_TRUE(sim_->openPty(&path_, &error)) << error;
    console_ = std::make_unique<ConsoleEnd>(path_);
    ASSERT_TRUE(console_->ok());
  }
  void TearDown() override {
    if (sim_) sim_->stop();
    console_.reset();
    sim_.reset();
    test::removeTree(dir_);
  }
  const std::string& dir() {
    if (dir_.empty()) dir_ = test::makeTempDir();
    return dir_;
  }

  std::unique_ptr<DongleSim> sim_;
  std::unique_ptr<ConsoleEnd> console_;
  std::string path_;
  std::string dir_;
};

TEST_F(SimOverPty, ConfigRequestIsAnsweredWithTheDonglesSettings) {
  SimOptions o = quick();
  o.dongleName = "Bench";
  o.dongleAddress = "0A1B2C3D4E5F";
  o.versionMajor = 0x3;
  o.versionMinor = 0x1A;
  open(o);
  // Driven step by step from this thread.
  console_->send(test::configRequestFrame());
  for (int i = 0; i < 200 && sim_->counters().configsSent == 0; ++i) ASSERT_TRUE(sim_->step(10));
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return b.size() >= kConfigDataSize; }, 2000));
  const Bytes frame = console_->received();
  ASSERT_EQ(frame.size(), kConfigDataSize);
  EXPECT_EQ(test::residualOf(frame), 0);
  EXPECT_EQ(frame[off::kClass], 1);
  EXPECT_EQ(frame[off::kOpcode], 2);
  // Text fields are padded with NULs, as radios fill unused name bytes.
  EXPECT_EQ(text(frame, off::kDongleName, kDongleNameWidth), std::string("Bench\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(frame[off::kDongleNameSep], kFieldSeparator);
  EXPECT_EQ(text(frame, off::kDongleAddress, kAddressWidth), "0A1B2C3D4E5F");
  EXPECT_EQ(frame[off::kDongleAddressSep], kFieldSeparator);
  EXPECT_EQ(frame[off::kVersionMajor], 0x3);
  EXPECT_EQ(frame[off::kVersionMinor], 0x1A);

  // Line noise first and the request in two writes: still answered.
  console_->received().clear();
  const Bytes request = test::configRequestFrame();
  console_->send({0x00, 0x13, 0x37});
  console_->send(Bytes(request.begin(), request.begin() + 4));
  for (int i = 0; i < 3; ++i) sim_->step(10);
  console_->send(Bytes(request.begin() + 4, request.end()));
  for (int i = 0; i < 200 && sim_->counters().configsSent < 2; ++i) sim_->step(10);
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return b.size() >= kConfigDataSize; }, 2000));
  EXPECT_EQ(console_->received(), frame);
  const SimCounters c = sim_->counters();
  EXPECT_EQ(c.configRequestReceived, 2u);
  EXPECT_EQ(c.garbageBytesReceived, 3u);
  EXPECT_EQ(c.acksSent, 0u) << "a configuration request is not acked";
}

TEST_F(SimOverPty, StartAdvIsAckedThenEveryDeviceReports) {
  open(quick(6, 10));
  sim_->start();
  console_->send(test::startAdvFrame());
  std::set<std::string> seen;
  ASSERT_TRUE(console_->readUntil(
      [&](const Bytes& b) {
        seen.clear();
        for (const auto& r : test::reportsIn(b)) seen.insert(text(r, off::kDeviceAddress, kAddressWidth));
        return seen.size() == 6;
      },
      3000))
      << seen.size() << " devices heard";
  EXPECT_TRUE(sim_->scanning());

  std::size_t consumed = 0;
  const auto frames = test::splitDongleFrames(console_->received(), &consumed);
  ASSERT_GE(frames.size(), 7u);
  EXPECT_EQ(frames[0], test::ackFrame()) << "the ack comes before any report";
  std::map<std::string, DeviceIdentity> byAddress;
  for (const auto& d : sim_->deviceList()) byAddress[d.address] = d;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const Bytes& r = frames[i];
    ASSERT_EQ(r.size(), kDeviceDataSize);
    EXPECT_EQ(test::residualOf(r), 0);
    EXPECT_EQ(r[off::kClass], 0);
    EXPECT_EQ(r[off::kOpcode], 4);
    EXPECT_EQ(r[off::kCodeHigh], 0);
    EXPECT_GE(r[off::kCodeLow], 1);
    EXPECT_LE(r[off::kCodeLow], 3);
    EXPECT_EQ(r[off::kDeviceNameSep], kFieldSeparator);
    EXPECT_EQ(r[off::kDeviceAddressSep], kFieldSeparator);
    EXPECT_GE(r[off::kHeartRate], 60);
    EXPECT_LE(r[off::kHeartRate], 180);
    EXPECT_LT(static_cast<std::int8_t>(r[off::kRssi]), 0);
    const auto it = byAddress.find(text(r, off::kDeviceAddress, kAddressWidth));
    ASSERT_NE(it, byAddress.end());
    std::string name = it->second.name;
    name.resize(kDeviceNameWidth, '\0');
    EXPECT_EQ(text(r, off::kDeviceName, kDeviceNameWidth), name);
    EXPECT_EQ(r[off::kCodeLow], it->second.kind);
  }
  sim_->stop();  // a frame can be read before the simulator has counted it
  const SimCounters c = sim_->counters();
  EXPECT_EQ(c.startAdvReceived, 1u);
  EXPECT_EQ(c.acksSent, 1u);
  EXPECT_GE(c.reportsSent, frames.size() - 1);
  EXPECT_EQ(c.reportsIntact, c.reportsSent);
}

TEST_F(SimOverPty, SoftResetIsAckedAndTheReportsStop) {
  open(quick(5, 20));
  sim_->start();
  console_->send(test::startAdvFrame());
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return test::reportsIn(b).size() >= 5; }, 3000));
  console_->send(test::softResetFrame());
  ASSERT_TRUE(waitFor([&] { return sim_->counters().acksSent == 2; }, 2000));
  EXPECT_FALSE(sim_->scanning());
  console_->readFor(100);
  const std::size_t settled = console_->received().size();
  std::size_t consumed = 0;
  const auto frames = test::splitDongleFrames(console_->received(), &consumed);
  EXPECT_EQ(consumed, settled) << "nothing but whole frames";
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), test::ackFrame()) << "no report after the soft reset's ack";
  EXPECT_EQ(console_->readFor(400), 0u) << "the reports have stopped";
  EXPECT_EQ(sim_->counters().softResetReceived, 1u);

  // And start again.
  console_->send(test::startAdvFrame());
  EXPECT_TRUE(console_->readUntil([&](const Bytes& b) { return test::reportsIn(b).size() > frames.size() + 2; }, 3000));
}

TEST_F(SimOverPty, SilencedDevicesAreNotHeardAndAHungDongleSendsAndAnswersNothing) {
  SimOptions o = quick(4, 20);
  o.silenceDevice = 1;
  o.silenceAfterSeconds = 0.3;
  o.silenceForSeconds = 0.6;
  o.recordPath = dir() + "/sim.rec";
  open(o);
  sim_->start();
  const std::string silent = sim_->deviceList()[1].address;
  auto heard = [&](std::size_t from) {
    std::set<std::string> seen;
    std::size_t consumed = 0;
    const auto frames = test::splitDongleFrames(console_->received(), &consumed);
    for (std::size_t i = from; i < frames.size(); ++i)
      if (frames[i].size() == kDeviceDataSize) seen.insert(text(frames[i], off::kDeviceAddress, kAddressWidth));
    return std::make_pair(seen, frames.size());
  };
  console_->send(test::startAdvFrame());
  console_->readFor(250);
  EXPECT_EQ(heard(0).first.count(silent), 1u) << "heard before its silence";
  const std::size_t before = heard(0).second;
  console_->readFor(150);  // the silence begins
  const std::size_t during = heard(0).second;
  console_->readFor(350);
  const auto [quiet, untilBack] = heard(during);
  EXPECT_EQ(quiet.count(silent), 0u) << "not heard while silent";
  EXPECT_EQ(quiet.size(), 3u) << "the others go on";
  console_->readFor(600);
  EXPECT_EQ(heard(untilBack).first.count(silent), 1u) << "heard again";
  EXPECT_GT(during, before);

  // Hung: nothing goes out, commands are not answered; then it carries on.
  sim_->setStalled(true);
  console_->readFor(100);
  console_->received().clear();
  console_->send(test::configRequestFrame());
  EXPECT_EQ(console_->readFor(400), 0u);
  sim_->setStalled(false);
  EXPECT_TRUE(console_->readUntil([](const Bytes& b) { return test::reportsIn(b).size() >= 4; }, 2000))
      << "reporting again, still scanning";
  sim_->stop();
  EXPECT_GT(sim_->counters().reportsSilenced, 0u);
  EXPECT_EQ(sim_->counters().configsSent, 0u);
  std::vector<std::string> comments;
  test::readRecord(o.recordPath, &comments);
  std::string events;
  for (const auto& c : comments)
    for (const char* e : {"event=silence dev=1", "event=heard dev=1", "event=stall", "event=recover"})
      if (c.find(e) != std::string::npos) events += std::string(e) + ";";
  EXPECT_EQ(events, "event=silence dev=1;event=heard dev=1;event=stall;event=recover;");
}

TEST_F(SimOverPty, RecordListsEveryByteSentAndReceivedWithItsFaults) {
  SimOptions o = quick(10, 10);
  o.recordPath = dir() + "/run.rec";
  o.faults = {0.3, 0.3, 0.3, 0.3, 0.3};
  open(o);
  sim_->start();
  console_->send(test::startAdvFrame());
  console_->readFor(1500);
  console_->send(test::softResetFrame());
  ASSERT_TRUE(waitFor([&] { return sim_->counters().acksSent == 2; }, 2000));
  console_->readFor(100);
  sim_->stop();

  std::vector<std::string> comments;
  const auto lines = test::readRecord(o.recordPath, &comments);
  Bytes sent;
  std::map<std::string, int> kinds;
  std::set<std::string> faults;
  for (const auto& line : lines) {
    EXPECT_EQ(std::stoul(line["len"]), line.bytes.size());
    EXPECT_FALSE(line["t_ms"].empty());
    if (line["dir"] == "rx") {
      ++kinds["rx " + line["kind"]];
      continue;
    }
    ASSERT_EQ(line["dir"], "tx");
    sent.insert(sent.end(), line.bytes.begin(), line.bytes.end());
    ++kinds[line["kind"]];
    const std::string& fault = line["fault"];
    faults.insert(fault);
    const bool intact = line["intact"] == "1";
    if (line["kind"] == "garbage") {
      EXPECT_EQ(fault, "injected");
      EXPECT_FALSE(intact);
      EXPECT_EQ(std::count(line.bytes.begin(), line.bytes.end(), kMagic0), 0) << "garbage never opens a frame";
      continue;
    }
    if (line["kind"] == "unknown") {
      EXPECT_EQ(test::residualOf(line.bytes), 0);
      EXPECT_TRUE(intact);
      const bool known = line.bytes[3] == 1 ? line.bytes[4] == 2 : line.bytes[4] == 0 || line.bytes[4] == 1 || line.bytes[4] == 4;
      EXPECT_FALSE(known) << line["hex"];
      continue;
    }
    if (line["kind"] == "ack") {
      EXPECT_EQ(line.bytes, test::ackFrame());
      continue;
    }
    ASSERT_EQ(line["kind"], "report");
    EXPECT_FALSE(line["dev"].empty());
    const bool dropped = fault.find("drop-byte") != std::string::npos;
    const bool badSeal = fault.find("bad-seal") != std::string::npos;
    EXPECT_EQ(line.bytes.size(), dropped ? kDeviceDataSize - 1 : kDeviceDataSize) << fault;
    EXPECT_EQ(intact, !dropped && !badSeal) << fault;
    if (intact) {
      EXPECT_EQ(test::residualOf(line.bytes), 0);
    }
    if (badSeal && !dropped) {
      EXPECT_NE(test::residualOf(line.bytes), 0);
    }
  }
  EXPECT_EQ(sent, console_->received()) << "the record holds exactly the bytes that crossed the line, in order";
  EXPECT_EQ(kinds["rx start-adv"], 1);
  EXPECT_EQ(kinds["rx soft-reset"], 1);
  EXPECT_EQ(kinds["ack"], 2);
  EXPECT_GE(kinds["report"], 50);
  EXPECT_GT(kinds["garbage"], 0);
  EXPECT_GT(kinds["unknown"], 0);
  EXPECT_TRUE(faults.count("none") && faults.count("split") && faults.count("bad-seal") && faults.count("drop-byte"));
  const SimCounters c = sim_->counters();
  EXPECT_EQ(c.reportsSent, static_cast<std::uint64_t>(kinds["report"]));
  EXPECT_EQ(c.bytesWritten, sent.size());

  // The settings and the devices head the record.
  ASSERT_GE(comments.size(), 3u + 10u);
  EXPECT_NE(comments[1].find("seed=1234"), std::string::npos);
  EXPECT_NE(comments[3].find("device=0 "), std::string::npos);
}

TEST_F(SimOverPty, BadSealsAtFullRateSpoilEveryReportAndAreRecorded) {
  SimOptions o = quick(4, 10);
  o.recordPath = dir() + "/bad.rec";
  o.faults.badSeal = 1.0;
  open(o);
  sim_->start();
  console_->send(test::startAdvFrame());
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return test::reportsIn(b).size() >= 8; }, 3000));
  sim_->stop();
  const auto frames = test::splitDongleFrames(console_->received());
  ASSERT_GE(frames.size(), 9u);
  EXPECT_EQ(frames[0], test::ackFrame()) << "replies keep their seal unless asked";
  for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_NE(test::residualOf(frames[i]), 0);
  int reports = 0;
  for (const auto& line : test::readRecord(o.recordPath)) {
    if (line["kind"] != "report") continue;
    ++reports;
    EXPECT_EQ(line["fault"], "bad-seal");
    EXPECT_EQ(line["intact"], "0");
  }
  EXPECT_GE(reports, 8);
  EXPECT_EQ(sim_->counters().reportsIntact, 0u);
}

TEST_F(SimOverPty, SplitReportsArriveInPiecesButWhole) {
  SimOptions o = quick(2, 10);
  o.faults.split = 1.0;
  open(o);
  sim_->start();
  console_->send(test::startAdvFrame());
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return test::reportsIn(b).size() >= 10; }, 4000));
  const auto reports = test::reportsIn(console_->received());
  for (const auto& r : reports) EXPECT_EQ(test::residualOf(r), 0);
  // Pieces come a millisecond or more apart, so most are read one by one.
  EXPECT_GT(console_->reads(), static_cast<int>(reports.size()) * 3 / 2);
  EXPECT_EQ(sim_->counters().reportsIntact, sim_->counters().reportsSent);
}

TEST_F(SimOverPty, ReplyFaultsOnlyWhenAskedFor) {
  SimOptions o = quick(0);
  o.faults.badSeal = 1.0;
  o.faultReplies = true;
  open(o);
  sim_->start();
  console_->send(test::configRequestFrame());
  ASSERT_TRUE(console_->readUntil([](const Bytes& b) { return b.size() >= kConfigDataSize; }, 2000));
  EXPECT_NE(test::residualOf(console_->received()), 0);
}

TEST_F(SimOverPty, UnplugClosesTheMasterAndRemovesTheLink) {
  SimOptions o = quick();
  o.linkPath = dir() + "/com5";
  ASSERT_EQ(::symlink("/nonexistent/old-port", o.linkPath.c_str()), 0);
  o.unplugAfterSeconds = 0.3;
  open(o);
  EXPECT_EQ(std::filesystem::read_symlink(o.linkPath).string(), path_) << "an old link is replaced";
  sim_->start();
  console_->send(test::startAdvFrame());
  EXPECT_TRUE(console_->waitHangup(3000));
  ASSERT_TRUE(waitFor([&] { return sim_->endReason() != EndReason::Running; }, 2000));
  EXPECT_EQ(sim_->endReason(), EndReason::Unplugged);
  EXPECT_FALSE(std::filesystem::is_symlink(o.linkPath));
}

TEST_F(SimOverPty, LinkDoesNotReplaceAFile) {
  SimOptions o = quick();
  o.linkPath = dir() + "/com6";
  std::ofstream(o.linkPath) << "keep me";
  DongleSim sim(o);
  std::string path;
  std::string error;
  EXPECT_FALSE(sim.openPty(&path, &error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
  EXPECT_TRUE(std::filesystem::is_regular_file(o.linkPath));
}

TEST_F(SimOverPty, WritesNeverOutrunTheLine) {
  // 60 devices at 5 Hz want 300 reports a second; the line carries 209.
  open(quick(60, 5));
  sim_->start();
  console_->send(test::startAdvFrame());
  console_->readFor(300);
  const std::size_t before = console_->received().size();
  const auto t0 = std::chrono::steady_clock::now();
  console_->readFor(2000);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double bytes = static_cast<double>(console_->received().size() - before);
  EXPECT_LE(bytes, seconds * 11520 + 2 * kDeviceDataSize + 120) << bytes / seconds << " bytes/s";
  EXPECT_GE(bytes, seconds * 11520 * 0.5) << "a saturated line stays busy";
  EXPECT_GT(sim_->counters().reportsSkipped, 0u);
}

}  // namespace
}  // namespace kv::sim
