// The link over real pseudo-terminals: the writer's bytes and echo lines,
// opening, changing and losing ports, and stopping, with the real threads.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "roster/roster.h"
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

// A joined thread can still be listed for a moment: join returns when the
// thread's id is cleared, before the system has taken its task away.
int threadCountOnceAtMost(int wanted) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  int n = threadCount();
  while (n > wanted && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = threadCount();
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
  EXPECT_EQ(threadCountOnceAtMost(threads - 2), threads - 2);
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

// --- below the system's serial layer: a fake port ---

// The port the fake platform opens as "fake": each read takes the next
// scripted result (bytes, or a failure with a code), and nothing once they
// are used up. The link's functions are plain function pointers, so the
// fake is reached through one global.
struct FakePort {
  struct Read {
    Bytes bytes;
    int failCode = 0;  // nonzero: the read fails with this code
  };
  std::mutex m;
  std::deque<Read> reads;
  bool alwaysReadable = false;  // every wait says input is there
  int clearFailCode = 0;        // nonzero: clearing the error state fails
  int clears = 0;               // clearings right after a failed read
  int readCalls = 0;
  std::vector<std::chrono::steady_clock::time_point> readsWithBytes;
  int pauses = 0;  // the reader's pauses between reads: short waits that do not look at the port
  bool lastReadFailed = false;
  std::vector<int> swallowAtWrite;  // swallowNextAck as each write reached the line
  LinkWords* words = nullptr;
  bool failThreads = false;

  static FakePort* current;
  static SerialPort* open(const char* path, int* rc) {
    if (std::strcmp(path, "fake") == 0) return reinterpret_cast<SerialPort*>(current);
    *rc = ENOENT;
    return nullptr;
  }
  static void close(SerialPort*) {}
  static int read(SerialPort*, std::uint8_t* buf, int size, int* rc) {
    std::lock_guard lock(current->m);
    ++current->readCalls;
    current->lastReadFailed = false;
    if (current->reads.empty()) return 0;
    Read r = current->reads.front();
    current->reads.pop_front();
    current->lastReadFailed = r.failCode != 0;
    if (r.failCode != 0) {
      *rc = r.failCode;
      return -1;
    }
    const int n = std::min(size, static_cast<int>(r.bytes.size()));
    std::memcpy(buf, r.bytes.data(), static_cast<std::size_t>(n));
    if (n > 0) current->readsWithBytes.push_back(std::chrono::steady_clock::now());
    return n;
  }
  static int write(SerialPort*, const std::uint8_t*, int, int*) {
    std::lock_guard lock(current->m);
    current->swallowAtWrite.push_back(current->words->swallowNextAck.load());
    return 0;
  }
  static int clearError(SerialPort*, int* rc) {
    std::lock_guard lock(current->m);
    current->clears += current->lastReadFailed;
    if (current->clearFailCode == 0) return 0;
    *rc = current->clearFailCode;
    return -1;
  }
  // Input is there as soon as a read is scripted (looked at every 2 ms).
  static PortWait wait(SerialPort* port, PortWaker& waker, int ms) {
    // (A wait while a write holds the port is a long one.)
    if (port == nullptr && ms <= Link::kReadEveryMs) {
      std::lock_guard lock(current->m);
      ++current->pauses;
    }
    for (int waited = 0;; waited += 2) {
      if (port != nullptr) {
        std::lock_guard lock(current->m);
        if (current->alwaysReadable || !current->reads.empty()) return PortWait::Readable;
      }
      if (waited >= ms) return PortWait::TimedOut;
      const PortWait woke = serialWait(nullptr, waker, 2);
      if (woke != PortWait::TimedOut) return woke;
    }
  }
  static void startThread(std::thread& thread, void (*body)(Link*), Link* link) {
    if (current->failThreads) throw std::system_error(EAGAIN, std::generic_category());
    LinkPlatform::startSystemThread(thread, body, link);
  }
  // The Windows program's platform, with this port behind it.
  static LinkPlatform platform() {
    LinkPlatform p;
    p.open = open;
    p.close = close;
    p.read = read;
    p.write = write;
    p.clearError = clearError;
    p.wait = wait;
    p.errorMeansGone = win32ErrorMeansGone;
    p.startThread = startThread;
    return p;
  }
};
FakePort* FakePort::current = nullptr;

class FakePortLinkTest : public ::testing::Test {
 protected:
  FakePortLinkTest() {
    FakePort::current = &port;
    port.words = &words;
  }
  ~FakePortLinkTest() override {
    link.stopLink();
    FakePort::current = nullptr;
  }
  void script(FakePort::Read r) {
    std::lock_guard lock(port.m);
    port.reads.push_back(std::move(r));
  }
  static Bytes report(const char* address, int hr) {
    DeviceReport r;
    r.name = "Coros";
    r.address = address;
    r.heartRate = static_cast<std::uint8_t>(hr);
    Bytes b(kDeviceDataSize);
    buildDeviceData(b.data(), r);
    return b;
  }

  FakePort port;
  test::RecordingView view;
  LinkWords words;
  TileBrushCache brushes;
  Roster roster{view, brushes};
  Link link{view, words, roster, FakePort::platform()};
};

TEST_F(FakePortLinkTest, ALineErrorIsClearedAndReadingGoesOnAGoneDeviceIsLost) {
  constexpr int kAborted = 995;     // ERROR_OPERATION_ABORTED: a port that aborts on errors
  constexpr int kNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
  ASSERT_EQ(link.startWriter(), 0);
  script({{}, kAborted});
  script({report("AAAAAAAAAAAA", 70)});
  ASSERT_EQ(link.selectPort("fake"), 0);
  ASSERT_TRUE(view.waitForLog("trust, 70, 0", 2000)) << view.log();
  EXPECT_EQ(link.readErrorsCleared(), 1u);
  EXPECT_EQ(view.log().find("lost"), std::string::npos);

  // Aborted again, and this time the error state cannot be cleared: gone.
  {
    std::lock_guard lock(port.m);
    port.clearFailCode = 22;
  }
  script({{}, kAborted});
  ASSERT_TRUE(view.waitForLog("Port fake lost rc=995\r\n", 2000)) << view.log();

  // A code that says the device is gone needs no clearing.
  ASSERT_EQ(link.selectPort("fake"), 0);
  int clearsBefore = 0;
  {
    std::lock_guard lock(port.m);
    port.clearFailCode = 0;
    clearsBefore = port.clears;
  }
  script({{}, kNotConnected});
  ASSERT_TRUE(view.waitForLog("Port fake lost rc=1167\r\n", 2000)) << view.log();
  std::lock_guard lock(port.m);
  EXPECT_EQ(port.clears, clearsBefore);
}

TEST_F(FakePortLinkTest, APortReadableWithNothingToReadIsGoneNotASpin) {
  {
    std::lock_guard lock(port.m);
    port.alwaysReadable = true;
  }
  ASSERT_EQ(link.startWriter(), 0);
  ASSERT_EQ(link.selectPort("fake"), 0);
  ASSERT_TRUE(view.waitForLog("Port fake lost rc=" + std::to_string(serialGoneCode()) + "\r\n", 2000)) << view.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard lock(port.m);
  EXPECT_LE(port.readCalls, Link::kHollowReadsToGone + 1);
}

TEST_F(FakePortLinkTest, AQuietLineIsWaitedOnWithoutPausesAndInputThatCameEarlyWaitsItsTurn) {
  ASSERT_EQ(link.startWriter(), 0);
  ASSERT_EQ(link.selectPort("fake"), 0);
  const auto shown = [&](int hr) { return view.waitForLog("trust, " + std::to_string(hr) + ", 0", 2000); };
  // The soft reset's write is done (its end wakes the reader, which may
  // then pause before its next read).
  for (int i = 0; i < 2000; ++i) {
    {
      std::lock_guard lock(port.m);
      if (!port.swallowAtWrite.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  script({report("AAAAAAAAAAAA", 60)});
  ASSERT_TRUE(shown(60)) << view.log();
  int pausesBefore = 0;
  {
    std::lock_guard lock(port.m);
    pausesBefore = port.pauses;
  }
  // Reports further apart than the reads' pace: one wait for each, no pause.
  for (int hr = 61; hr <= 64; ++hr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * Link::kReadEveryMs));
    script({report("AAAAAAAAAAAA", hr)});
    ASSERT_TRUE(shown(hr)) << view.log();
  }
  {
    std::lock_guard lock(port.m);
    EXPECT_EQ(port.pauses, pausesBefore);
    port.readsWithBytes.clear();
  }
  // Input that is there at once is still read at most every kReadEveryMs.
  for (int hr = 80; hr <= 84; ++hr) script({report("AAAAAAAAAAAA", hr)});
  ASSERT_TRUE(shown(84)) << view.log();
  std::lock_guard lock(port.m);
  ASSERT_EQ(port.readsWithBytes.size(), 5u);
  for (std::size_t i = 1; i < port.readsWithBytes.size(); ++i)
    EXPECT_GE(port.readsWithBytes[i] - port.readsWithBytes[i - 1], std::chrono::milliseconds(Link::kReadEveryMs - 1));
}

TEST_F(FakePortLinkTest, ThreadsTheSystemCannotStartFailCleanly) {
  port.failThreads = true;
  EXPECT_EQ(link.startWriter(), -1);
  // The port opens but its reader cannot start: said so, and tried again
  // by the next successful open.
  EXPECT_EQ(link.selectPort("fake"), 0);
  EXPECT_FALSE(link.readerStarted());
  EXPECT_NE(view.log().find("Couldn't start the reader for port fake. rc=" + std::to_string(EAGAIN) + "\r\n"),
            std::string::npos)
      << view.log();
  port.failThreads = false;
  EXPECT_EQ(link.startWriter(), 0);
  script({report("AAAAAAAAAAAA", 71)});
  EXPECT_EQ(link.selectPort("fake"), 0);
  EXPECT_TRUE(link.readerStarted());
  EXPECT_TRUE(view.waitForLog("trust, 71, 0", 2000)) << view.log();
}

TEST_F(FakePortLinkTest, TheSoftResetReachesTheLineWithItsAckAlreadyAwaited) {
  ASSERT_EQ(link.startWriter(), 0);
  ASSERT_EQ(link.selectPort("fake"), 0);
  for (int i = 0; i < 200; ++i) {
    words.swallowNextAck = 0;  // as a fast dongle's ack would clear it
    link.softResetDongle();
    for (int j = 0; j < 2000 && link.commandsWritten() < static_cast<std::uint64_t>(i) + 2; ++j)
      std::this_thread::yield();
  }
  std::lock_guard lock(port.m);
  for (std::size_t i = 0; i < port.swallowAtWrite.size(); ++i) ASSERT_EQ(port.swallowAtWrite[i], 1) << "write " << i;
}

}  // namespace
}  // namespace kv
