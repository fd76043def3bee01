// The link over real pseudo-terminals: the writer's bytes and echo lines,
// opening, changing and losing ports, and stopping, with the real threads.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "support/pty.h"
#include "support/recording_view.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSoftReset = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0xB5};
const Bytes kStartAdv = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x96};
const Bytes kConfigRequest = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x80, 0x00, 0x01, 0x00, 0xF9};

int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(link.startWriter(), 0);
  }
  void TearDown() override { link.stopLink(); }

  void startAdv() {
    buildControlCommand(link.commandFrame, 0, 1, &link.commandLength);
    link.submitCommand(link.commandFrame, link.commandLength);
  }
  // Waits until the writer has written `n` commands in all.
  bool waitWritten(std::uint64_t n) {
    for (int i = 0; i < 2000 && link.commandsWritten() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return link.commandsWritten() >= n;
  }

  test::RecordingView view;
  LinkWords words;
  TileBrushCache brushes;
  Roster roster{view, brushes};
  Link link{view, words, roster};
  test::Pty pty;
};

TEST_F(LinkTest, OpeningAPortLogsItAndSendsTheSoftReset) {
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_TRUE(link.portOpen());
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  EXPECT_EQ(words.swallowNextAck, 1);
  ASSERT_TRUE(view.waitForLog("SoftReset Dongle\r\n", 2000));
  EXPECT_EQ(view.log(), "Port " + pty.slavePath() + " opened\r\n" +
                            "\r\n>MBD0104000000020000B5\r\nSoftReset Dongle\r\n");

  link.requestDongleConfig();
  EXPECT_EQ(pty.receive(11, 2000), kConfigRequest);
  startAdv();
  EXPECT_EQ(pty.receive(12, 2000), kStartAdv);
  ASSERT_TRUE(view.waitForLog("sent start ADV\r\n", 2000));
  EXPECT_NE(view.log().find("\r\n>MBD01040080000100F9\r\nask Dongle Config data\r\n"), std::string::npos);
  EXPECT_NE(view.log().find("\r\n>MBD010400000002000196\r\nsent start ADV\r\n"), std::string::npos);
}

TEST_F(LinkTest, APausedLogStillWritesTheCommand) {
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  ASSERT_TRUE(waitWritten(1));
  words.logPaused = 1;
  const std::string before = view.log();
  startAdv();
  EXPECT_EQ(pty.receive(12, 2000), kStartAdv);
  ASSERT_TRUE(waitWritten(2));
  EXPECT_EQ(view.log(), before);
}

TEST_F(LinkTest, SubmissionsBeforeTheWriterWakesGiveOneWriteOfTheLast) {
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  ASSERT_TRUE(waitWritten(1));
  // Hold the UI thread: the writer takes the start command and then waits
  // in its echo, while two more commands are submitted behind it.
  std::vector<std::uint8_t> got;
  view.onUi([&] {
    startAdv();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    link.requestDongleConfig();
    link.softResetDongle();
  });
  got = pty.receive(24, 2000);
  Bytes expected = kStartAdv;
  expected.insert(expected.end(), kSoftReset.begin(), kSoftReset.end());
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(pty.receive(1, 200).empty()) << "the configuration request was replaced";
  // The echo always names what was written.
  ASSERT_TRUE(waitWritten(3));
  const std::string log = view.log();
  EXPECT_EQ(log.find("ask Dongle Config data"), std::string::npos);
}

TEST_F(LinkTest, PortsThatCannotBeOpenedAndWritesWithoutAPort) {
  SerialPort* held = serialOpen(pty.slavePath().c_str(), nullptr);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(link.selectPort(pty.slavePath().c_str()), -1);
  EXPECT_EQ(view.log(), "Couldn't open port " + pty.slavePath() + ". rc=" + std::to_string(EWOULDBLOCK) + "\r\n");
  serialClose(held);

  EXPECT_EQ(link.selectPort("/dev/koravel-no-such-port"), -1);
  EXPECT_NE(view.log().find("Couldn't open port /dev/koravel-no-such-port. rc=" + std::to_string(ENOENT) + "\r\n"),
            std::string::npos);
  EXPECT_FALSE(link.readerStarted());

  // The configuration request after a failed open fails to be written.
  link.requestDongleConfig();
  ASSERT_TRUE(view.waitForLog("ClearCommError failed", 2000));
  const std::string tail = "\r\n>MBD01040080000100F9\r\nask Dongle Config data\r\nSend failed rc=" +
                           std::to_string(EBADF) + "\r\nClearCommError failed rc=" + std::to_string(EBADF) + "\r\n";
  EXPECT_EQ(view.log().substr(view.log().size() - tail.size()), tail);
  // softResetDongle marks the next ack for swallowing even without a port.
  words.swallowNextAck = 0;
  link.softResetDongle();
  EXPECT_EQ(words.swallowNextAck, 1);
}

TEST_F(LinkTest, ChangingPortsClosesTheOldOneAndKeepsOneReader) {
  test::Pty other;
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  const int threads = threadCount();

  ASSERT_EQ(link.selectPort(other.slavePath().c_str()), 0);
  EXPECT_EQ(other.receive(12, 2000), kSoftReset);
  link.requestDongleConfig();
  EXPECT_EQ(other.receive(11, 2000), kConfigRequest);
  EXPECT_TRUE(pty.receive(1, 100).empty()) << "nothing more reaches the old port";
  EXPECT_EQ(threadCount(), threads) << "no second reader";
  // The old port is free again.
  SerialPort* old = serialOpen(pty.slavePath().c_str(), nullptr);
  EXPECT_NE(old, nullptr);
  serialClose(old);

  // The new port's traffic is parsed.
  std::uint8_t frame[kConfigDataSize];
  buildDongleConfigData(frame, {"KV-Dongle-01", "A1B2C3D4E5F6", 0x2, 0x05});
  other.send(Bytes(frame, frame + sizeof frame));
  for (int i = 0; i < 2000 && view.dongleLine().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(view.dongleLine(), "KV-Dongle-01 @A1:B2:C3:D4:E5:F6  Ver. 2.05");

  // A failed open after a good one leaves no port open.
  EXPECT_EQ(link.selectPort("/dev/koravel-no-such-port"), -1);
  EXPECT_FALSE(link.portOpen());
  SerialPort* again = serialOpen(other.slavePath().c_str(), nullptr);
  EXPECT_NE(again, nullptr);
  serialClose(again);
}

TEST_F(LinkTest, AVanishedPortIsReportedOnceWithoutSpinningAndCanBeReplaced) {
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto idleBefore = link.emptyWaits();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(link.emptyWaits() - idleBefore, 10u) << "an idle reader waits for input";

  pty.closeMaster();
  const std::string lost = "Port " + pty.slavePath() + " lost rc=" + std::to_string(EIO) + "\r\n";
  ASSERT_TRUE(view.waitForLog(lost, 2000)) << view.log();
  const auto waitsAfterLoss = link.emptyWaits();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(link.emptyWaits() - waitsAfterLoss, 10u) << "a lost port does not make the reader spin";
  const std::string log = view.log();
  EXPECT_EQ(log.find("lost"), log.rfind("lost")) << "one line per loss";

  test::Pty replacement;
  ASSERT_EQ(link.selectPort(replacement.slavePath().c_str()), 0);
  EXPECT_EQ(replacement.receive(12, 2000), kSoftReset);
  std::uint8_t ack[kAckSize];
  buildDongleAck(ack);
  replacement.send(Bytes(ack, ack + kAckSize));
  ASSERT_TRUE(view.waitForLog(">> got dongle ack", 2000));
}

TEST_F(LinkTest, StoppingWritesTheLastCommandFirstAndEndsTheThreads) {
  ASSERT_EQ(link.selectPort(pty.slavePath().c_str()), 0);
  EXPECT_EQ(pty.receive(12, 2000), kSoftReset);
  const int threads = threadCount();
  link.softResetDongle();
  EXPECT_EQ(link.stopLink(), 0);
  EXPECT_EQ(pty.receive(12, 500), kSoftReset) << "the shutdown reset is written before the port closes";
  EXPECT_EQ(threadCount(), threads - 2);
  EXPECT_EQ(words.linkRunning, 0);
  EXPECT_FALSE(link.portOpen());
  EXPECT_EQ(link.stopLink(), 0) << "a second stop does nothing";
}

TEST(LinkWithoutPorts, StopsCleanlyWhenNoPortWasEverOpened) {
  test::RecordingView view;
  LinkWords words;
  TileBrushCache brushes;
  Roster roster(view, brushes);
  Link link(view, words, roster);
  ASSERT_EQ(link.startWriter(), 0);
  link.softResetDongle();
  ASSERT_TRUE(view.waitForLog("Send failed", 2000));
  EXPECT_EQ(link.stopLink(), 0);
}

}  // namespace
}  // namespace kv
