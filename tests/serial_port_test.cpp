// The serial port over real pseudo-terminals: line settings, raw reads and
// writes, the exclusive open, what is no serial port or is this program's own
// terminal, waiting, an unplugged device, which ports the enumeration lists
// in which order and how, and when it lists the user's port folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "support/pty.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::Pty;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct PortCloser {
  void operator()(SerialPort* port) const { serialClose(port); }
};
using PortPtr = std::unique_ptr<SerialPort, PortCloser>;

PortPtr openPort(const std::string& path) {
  int rc = 0;
  PortPtr port(serialOpen(path.c_str(), &rc));
  EXPECT_NE(port, nullptr) << path << " rc=" << rc;
  return port;
}

// Makes an empty regular file.
bool touch(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  return f != nullptr && std::fclose(f) == 0;
}

std::vector<std::uint8_t> allByteValues() {
  std::vector<std::uint8_t> v(256);
  for (int i = 0; i < 256; ++i) v[i] = static_cast<std::uint8_t>(i);
  return v;
}

// Reads in chunks of at most `chunk` bytes until `count` have come, waiting
// on the port in between.
std::vector<std::uint8_t> readFromPort(SerialPort* port, std::size_t count, int chunk, int timeoutMs = 2000) {
  PortWaker waker;
  std::vector<std::uint8_t> got;
  const auto start = Clock::now();
  while (got.size() < count && msSince(start) < timeoutMs) {
    std::uint8_t buf[300];
    int rc = 0;
    const int n = serialRead(port, buf, chunk, &rc);
    if (n < 0) break;
    EXPECT_LE(n, chunk);
    if (n > 0) {
      got.insert(got.end(), buf, buf + n);
    } else {
      serialWait(port, waker, 50);
    }
  }
  return got;
}

TEST(SerialPort, OpenTurnsACookedSlowLineInto115200RawEightNOne) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slaveFd(), &tio), 0);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cflag = (tio.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | CSTOPB;
  tio.c_lflag |= ICANON | ECHO | ISIG;
  tio.c_iflag |= ICRNL | IXON | ISTRIP;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &tio), 0);

  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(tcgetattr(pty.slaveFd(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B115200);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SerialPort, ReadsReturnAtOnceAndCarryEveryByteValueUnchanged) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);

  std::uint8_t buf[300];
  int rc = 0;
  const auto start = Clock::now();
  EXPECT_EQ(serialRead(port.get(), buf, sizeof buf, &rc), 0);
  EXPECT_LT(msSince(start), 100) << "an empty read must not wait";

  // Control characters, CR/LF, XON/XOFF and 0xFF would all be eaten or
  // changed by a line that is not raw. Small reads must not lose the rest.
  const auto sent = allByteValues();
  ASSERT_TRUE(pty.send(sent));
  EXPECT_EQ(readFromPort(port.get(), sent.size(), 7), sent);
  EXPECT_EQ(serialRead(port.get(), buf, sizeof buf, &rc), 0);
}

TEST(SerialPort, WritesReachTheDeviceUnchanged) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);

  const auto sent = allByteValues();
  int rc = 0;
  ASSERT_EQ(serialWrite(port.get(), sent.data(), static_cast<int>(sent.size()), &rc), 0) << rc;
  EXPECT_EQ(pty.receive(sent.size(), 1000), sent) << "nothing lost, nothing changed (no LF to CRLF)";
  EXPECT_TRUE(pty.receive(1, 30).empty()) << "nothing added";
}

TEST(SerialPort, WriteToAStalledLineGivesUpAfterItsTimeOut) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);

  // Nobody reads the device side, so the line fills up (a pseudo-terminal
  // takes a few kilobytes).
  std::vector<std::uint8_t> block(4096, 0x55);
  long longest = 0;
  for (int i = 0; i < 16; ++i) {
    int rc = 0;
    const auto start = Clock::now();
    ASSERT_EQ(serialWrite(port.get(), block.data(), static_cast<int>(block.size()), &rc), 0) << rc;
    longest = std::max(longest, msSince(start));
  }
  EXPECT_GE(longest, kWriteTimeoutMs - 1) << "the line never filled up; the test proves nothing";
  EXPECT_LT(longest, 250);
}

TEST(SerialPort, APortIsHeldExclusivelyUntilClosed) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const fs::path link = fs::temp_directory_path() / ("kv-serial-link-" + std::to_string(getpid()));
  fs::remove(link);
  fs::create_symlink(pty.slavePath(), link);

  PortPtr holder = openPort(pty.slavePath());
  ASSERT_NE(holder, nullptr);
  // flock shuts out root as well; TIOCEXCL answers EBUSY to anybody else.
  const bool root = geteuid() == 0;
  for (const std::string& path : {pty.slavePath(), link.string()}) {
    int rc = 0;
    EXPECT_EQ(serialOpen(path.c_str(), &rc), nullptr) << path;
    if (root) {
      EXPECT_TRUE(rc == EWOULDBLOCK || rc == EAGAIN) << path << " rc=" << rc;
    } else {
      EXPECT_TRUE(rc == EWOULDBLOCK || rc == EAGAIN || rc == EBUSY) << path << " rc=" << rc;
    }
  }

  holder.reset();
  EXPECT_NE(openPort(link.string()), nullptr) << "closing the port releases it";
  fs::remove(link);
}

TEST(SerialPort, FailuresCarryTheSystemCode) {
  int rc = 0;
  EXPECT_EQ(serialOpen("/dev/kv-no-such-port", &rc), nullptr);
  EXPECT_EQ(rc, ENOENT);
  // What is not a terminal is no serial port: nothing is read from it and
  // no command is written into it.
  const fs::path file = fs::temp_directory_path() / ("kv-not-a-port-" + std::to_string(::getpid()));
  ASSERT_TRUE(touch(file.string()));
  for (const std::string& path : {std::string("/dev/null"), file.string()}) {
    rc = 0;
    EXPECT_EQ(serialOpen(path.c_str(), &rc), nullptr) << path;
    EXPECT_EQ(rc, ENOTTY) << path;
  }
  EXPECT_EQ(fs::file_size(file), 0u);
  fs::remove(file);

  std::uint8_t buf[4] = {1, 2, 3, 4};
  rc = 0;
  EXPECT_EQ(serialRead(nullptr, buf, 4, &rc), -1);
  EXPECT_EQ(rc, EBADF);
  rc = 0;
  EXPECT_EQ(serialWrite(nullptr, buf, 4, &rc), -1);
  EXPECT_EQ(rc, EBADF);
  rc = 0;
  EXPECT_EQ(serialClearError(nullptr, &rc), -1);
  EXPECT_EQ(rc, EBADF);
  EXPECT_EQ(serialRead(nullptr, buf, 4, nullptr), -1) << "the code is optional";
  serialClose(nullptr);
}

TEST(SerialPort, WhatIsNoTerminalIsNotOpenedAndItsOwnTerminalIsLeftAlone) {
  // A FIFO with nobody at its other end, and a directory: refused at once.
  const fs::path fifo = fs::temp_directory_path() / ("kv-fifo-" + std::to_string(::getpid()));
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo.string(), fs::temp_directory_path().string()}) {
    int rc = 0;
    const auto start = Clock::now();
    EXPECT_EQ(serialOpen(path.c_str(), &rc), nullptr) << path;
    EXPECT_EQ(rc, ENOTTY) << path;
    EXPECT_LT(msSince(start), 1000) << path;
  }
  fs::remove(fifo);

  // The terminal standard input is on, by its name and through a link, and
  // /dev/tty: refused, their settings as they were, nothing locked.
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const std::string before = pty.lineSettings();
  const fs::path link = fs::temp_directory_path() / ("kv-own-terminal-" + std::to_string(::getpid()));
  fs::remove(link);
  fs::create_symlink(pty.slavePath(), link);
  const int savedStdin = ::dup(0);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(::dup2(pty.slaveFd(), 0), 0);
  for (const std::string& path : {pty.slavePath(), link.string(), std::string("/dev/tty")}) {
    int rc = 0;
    EXPECT_EQ(serialOpen(path.c_str(), &rc), nullptr) << path;
    EXPECT_EQ(rc, kOwnTerminalRc) << path;
  }
  ::dup2(savedStdin, 0);
  ::close(savedStdin);
  EXPECT_EQ(pty.lineSettings(), before);
  EXPECT_NE(openPort(link.string()), nullptr) << "no standard stream's any more: an ordinary port";
  fs::remove(link);
}

TEST(SerialWait, ReportsDataTimeOutAndWakeUp) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);
  PortWaker waker;
  ASSERT_TRUE(waker.valid());

  auto start = Clock::now();
  EXPECT_EQ(serialWait(port.get(), waker, 60), PortWait::TimedOut);
  EXPECT_GE(msSince(start), 55);
  EXPECT_LT(msSince(start), 1000);

  // Data arriving ends a long wait early.
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.send({0x4D});
  });
  start = Clock::now();
  EXPECT_EQ(serialWait(port.get(), waker, 5000), PortWait::Readable);
  EXPECT_LT(msSince(start), 2000);
  device.join();
  std::uint8_t buf[8];
  int rc = 0;
  EXPECT_EQ(serialRead(port.get(), buf, sizeof buf, &rc), 1);
  EXPECT_EQ(serialWait(port.get(), waker, 20), PortWait::TimedOut) << "read data no longer counts";

  // So does a wake-up from another thread.
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    waker.wake();
  });
  start = Clock::now();
  EXPECT_EQ(serialWait(port.get(), waker, 5000), PortWait::Woken);
  EXPECT_LT(msSince(start), 2000);
  other.join();
  EXPECT_EQ(serialWait(port.get(), waker, 20), PortWait::TimedOut) << "the wake-up was cleared";
}

TEST(SerialWait, AWakeUpBeforeTheWaitIsKeptOnceAndWorksWithoutAPort) {
  PortWaker waker;
  ASSERT_TRUE(waker.valid());
  waker.wake();
  waker.wake();
  auto start = Clock::now();
  EXPECT_EQ(serialWait(nullptr, waker, 5000), PortWait::Woken);
  EXPECT_LT(msSince(start), 1000);
  start = Clock::now();
  EXPECT_EQ(serialWait(nullptr, waker, 40), PortWait::TimedOut);
  EXPECT_GE(msSince(start), 35) << "no port: the wait still sleeps, it must not spin";
}

TEST(SerialWait, AnUnpluggedDeviceIsGoneAndEveryOperationFails) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  PortPtr port = openPort(pty.slavePath());
  ASSERT_NE(port, nullptr);
  int rc = 0;
  EXPECT_EQ(serialClearError(port.get(), &rc), 0) << rc;

  pty.closeMaster();
  PortWaker waker;
  const auto start = Clock::now();
  EXPECT_EQ(serialWait(port.get(), waker, 5000), PortWait::Gone);
  EXPECT_LT(msSince(start), 1000);

  std::uint8_t buf[8] = {};
  rc = 0;
  EXPECT_EQ(serialRead(port.get(), buf, sizeof buf, &rc), -1) << "not an empty read";
  EXPECT_EQ(rc, EIO);
  rc = 0;
  EXPECT_EQ(serialWrite(port.get(), buf, 4, &rc), -1);
  EXPECT_EQ(rc, EIO);
  rc = 0;
  EXPECT_EQ(serialClearError(port.get(), &rc), -1);
  EXPECT_EQ(rc, EIO);
}

// ---- enumeration ----

class Enumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "kv-serial-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  void link(const std::string& name, const std::string& target) const { fs::create_symlink(target, dir_ / name); }

  // Lists the given families; the list's entries are given back relative to
  // the directory.
  std::vector<std::string> list(std::vector<std::string> families, int* result = nullptr,
                                int acceptCount = 1000) const {
    struct Ctx {
      std::vector<std::string> names;
      std::size_t cut;
      int accept;
    } ctx{{}, dir_.string().size() + 1, acceptCount};
    std::vector<const char*> raw;
    for (auto& f : families) {
      f = at(f);
      raw.push_back(f.c_str());
    }
    const int r = enumerateSerialPortsIn(
        raw.data(), static_cast<int>(raw.size()),
        [](void* c, const char* path, PortFind find) {
          auto& x = *static_cast<Ctx*>(c);
          char entry[kPortEntrySize];
          listEntryOfPort(path, find, entry);
          x.names.push_back(std::string(entry).substr(x.cut));
          return static_cast<int>(x.names.size()) < x.accept;
        },
        &ctx);
    if (result != nullptr) *result = r;
    return ctx.names;
  }

  fs::path dir_;
};

TEST_F(Enumeration, ProbesInNumericOrderFamilyByFamilyAndMarksPortsInUse) {
  Pty a, b, c, held;
  ASSERT_TRUE(a.ok() && b.ok() && c.ok() && held.ok());
  link("ttyX10", c.slavePath());
  link("ttyX2", b.slavePath());
  link("ttyX0", a.slavePath());
  link("ttyX1", held.slavePath());
  link("ttyX3", at("nowhere"));
  link("ttyX4", "/dev/null");
  ASSERT_TRUE(touch(at("plain")));
  link("ttyX5", at("plain"));
  link("ttyY0", a.slavePath());

  termios tio{};
  ASSERT_EQ(tcgetattr(a.slaveFd(), &tio), 0);
  cfsetospeed(&tio, B9600);
  ASSERT_EQ(tcsetattr(a.slaveFd(), TCSANOW, &tio), 0);
  PortPtr holder = openPort(held.slavePath());
  ASSERT_NE(holder, nullptr);

  int result = 1;
  EXPECT_EQ(list({"ttyX", "ttyY"}, &result),
            (std::vector<std::string>{"ttyX0", std::string("ttyX1") + kHeldPortSuffix, "ttyX2", "ttyX10", "ttyY0"}));
  EXPECT_EQ(result, 0);
  ASSERT_EQ(tcgetattr(a.slaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B9600) << "probing must leave a port's settings alone";
  int rc = 0;
  EXPECT_EQ(serialOpen(held.slavePath().c_str(), &rc), nullptr) << "the holder still holds its port";
}

TEST_F(Enumeration, StopsWhenRefusedAndAfterSixtyFourPorts) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  for (int n = 0; n < 70; ++n) link("ttyZ" + std::to_string(n), pty.slavePath());

  int result = 0;
  EXPECT_EQ(list({"ttyZ"}, &result, 2), (std::vector<std::string>{"ttyZ0", "ttyZ1"}));
  EXPECT_EQ(result, -1);

  const auto all = list({"ttyZ", "ttyZ"}, &result);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kMaxListedPorts));
  EXPECT_EQ(all.back(), "ttyZ63");
  EXPECT_EQ(result, 0);
}

TEST_F(Enumeration, ADirectoryFamilyListsMatchingNamesInNameOrder) {
  Pty a, b, held;
  ASSERT_TRUE(a.ok() && b.ok() && held.ok());
  link("cu.usbmodem2", a.slavePath());
  link("cu.usbmodem10", b.slavePath());
  link("cu.busy", held.slavePath());
  link("tty.usbmodem2", a.slavePath());
  PortPtr holder = openPort(held.slavePath());
  ASSERT_NE(holder, nullptr);

  EXPECT_EQ(list({"cu.*"}), (std::vector<std::string>{std::string("cu.busy") + kHeldPortSuffix, "cu.usbmodem10",
                                                      "cu.usbmodem2"}));
}

TEST_F(Enumeration, AFolderListsTerminalsOnlyAndNoLinkASimulatorLeftBehind) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const std::string alive = kSimulatorLinkPrefix + std::to_string(::getpid());
  link(kSimulatorLinkPrefix + std::to_string(gone), pty.slavePath());
  link(alive, pty.slavePath());
  link(kSimulatorLinkPrefix + std::string("x7"), pty.slavePath());  // not a process id: not one of those
  link("adapter", pty.slavePath());
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  link("to-fifo", at("fifo"));
  fs::create_directory(at("folder"));
  link("to-folder", at("folder"));
  ASSERT_TRUE(touch(at("plain")));
  link("to-plain", at("plain"));

  EXPECT_EQ(list({"*"}), (std::vector<std::string>{"adapter", alive, kSimulatorLinkPrefix + std::string("x7")}));
}

TEST_F(Enumeration, APortFolderIsUsedOnlyWhenItIsThisUsersOwnAndClosedToOthers) {
  const std::string folder = at("koravel");
  const std::string notUsed = "Port folder " + folder + " not used: ";
  char why[kPortTextSize];
  EXPECT_FALSE(checkPortFolder(folder.c_str(), why));
  EXPECT_STREQ(why, "") << "not there: nothing to say";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  EXPECT_TRUE(checkPortFolder(folder.c_str(), why)) << why;
  ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
  EXPECT_FALSE(checkPortFolder(folder.c_str(), why));
  EXPECT_EQ(why, notUsed + "others may use it (mode 0750; it must be 0700)");
  // A link to a folder of our own is still a link: whoever made it chose
  // where it leads.
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  fs::rename(folder, at("elsewhere"));
  fs::create_directory_symlink(at("elsewhere"), folder);
  EXPECT_FALSE(checkPortFolder(folder.c_str(), why));
  EXPECT_EQ(why, notUsed + "it is a symbolic link, not a folder of this user's own");
  if (::geteuid() == 0) {
    fs::remove(folder);
    fs::rename(at("elsewhere"), folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(checkPortFolder(folder.c_str(), why));
    EXPECT_EQ(why, notUsed + "it belongs to another user");
  }
}

}  // namespace
}  // namespace kv
