// The operator command handler: Start and Stop with the dongle's acks, the
// log button and the log trim, the port pick, the tiles, About and Exit.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "console/class_display.h"
#include "console/console.h"
#include "console/layout.h"
#include "support/hand_clock.h"
#include "support/pty.h"
#include "support/recording_view.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(startConsole(core));
    ASSERT_TRUE(pty.ok());
  }
  void TearDown() override { core.link.stopLink(); }

  // Picks the pty from the port list as the operator would.
  void pickPort() {
    view.setSelectedPort(0, pty.slavePath());
    handleCommand(core, id::kPortList, kCbnSelChange);
    pty.receive(23, 2000);  // soft reset and configuration request
  }
  // The dongle acks; returns once the ack's line is in the log and `done`
  // (what the test goes on to check) holds: the parser logs the ack before
  // it acts on it.
  bool sendAck(const std::function<bool()>& done = [] { return true; }) {
    std::uint8_t ack[kAckSize];
    buildDongleAck(ack);
    const auto acks = ackCount();
    pty.send(Bytes(ack, ack + kAckSize));
    for (int i = 0; i < 2000 && (ackCount() == acks || !done()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ackCount() > acks && done();
  }
  std::size_t ackCount() const {
    const std::string log = view.log();
    std::size_t n = 0;
    for (auto p = log.find(">> got dongle ack"); p != std::string::npos; p = log.find(">> got dongle ack", p + 1)) ++n;
    return n;
  }
  void report(const char* name, const char* address) {
    std::uint8_t frame[kDeviceDataSize];
    DeviceReport r;
    r.name = name;
    r.address = address;
    r.heartRate = 80;
    r.rrInterval = 750;
    r.battery = 70;
    buildDeviceData(frame, r);
    pty.send(Bytes(frame, frame + kDeviceDataSize));
    view.waitForLog("trust, 80, 70", 2000);
  }

  test::RecordingView view;
  test::HandClock clock;
  ConsoleCore core{view, LinkPlatform{}, clock};
  test::Pty pty;
};

TEST_F(ConsoleTest, StartAndStopFollowTheDonglesAcks) {
  pickPort();
  EXPECT_EQ(view.waits(), std::vector<int>{150});
  // Answers the soft reset of the port pick: it only ends the swallowing.
  ASSERT_TRUE(sendAck([&] { return core.words.swallowNextAck == 0; }));
  EXPECT_EQ(view.startLabel(), "Start ...");
  EXPECT_EQ(core.words.scanning, 0);
  EXPECT_EQ(core.words.swallowNextAck, 0);

  handleCommand(core, id::kStart, kBnClicked);
  EXPECT_EQ(core.words.pendingCommand, 0);
  EXPECT_EQ(view.startLabel(), "scanning");
  EXPECT_EQ(pty.receive(12, 2000)[10], 1) << "start ADV";
  // A second press before the ack sends start ADV again.
  handleCommand(core, id::kStart, 7);
  EXPECT_EQ(pty.receive(12, 2000)[10], 1);
  ASSERT_TRUE(sendAck([&] { return view.startLabel() == "Stop !!!"; }));
  EXPECT_EQ(core.words.scanning, 1);
  EXPECT_EQ(core.words.pendingCommand, 1);
  sendAck();  // the second press's ack changes nothing
  EXPECT_EQ(core.words.scanning, 1);
  EXPECT_EQ(view.startLabel(), "Stop !!!");

  report("Mirabeat One", "0A1B2C3D4E5F");
  handleCommand(core, 400, kBnClicked);
  EXPECT_EQ(view.linkedCount(), "1");

  handleCommand(core, id::kStart, kBnClicked);
  EXPECT_EQ(view.startLabel(), "Start scan / Link");
  EXPECT_EQ(pty.receive(12, 2000)[10], 0) << "soft reset";
  EXPECT_EQ(core.words.scanning, 1) << "only the ack stops the scan";
  ASSERT_TRUE(sendAck([&] { return view.startLabel() == "Start ..."; }));
  EXPECT_EQ(core.words.scanning, 0);
  EXPECT_EQ(view.tileText(0), "empty");
  EXPECT_EQ(view.linkedCount(), "");
  EXPECT_FALSE(core.roster.table().isSlotInUse(0));
}

TEST_F(ConsoleTest, TheStatusLineTellsOfAnUnansweredStartAQuietDongleAndALostPort) {
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), "No port open: pick the dongle's port in the list");
  pickPort();
  const std::string port = "Port " + pty.slavePath();
  EXPECT_EQ(view.statusLine(), port + " open");
  ASSERT_TRUE(sendAck([&] { return core.words.swallowNextAck == 0; }));

  // Start, and no ack within 2 s: said so, and the button reads as before.
  handleCommand(core, id::kStart, kBnClicked);
  clock.advance(1999);
  watchConsole(core);
  EXPECT_EQ(view.startLabel(), "scanning");
  clock.advance(1);
  watchConsole(core);
  EXPECT_EQ(view.startLabel(), "Start ...");
  EXPECT_EQ(view.statusLine(), port + ": no answer from the dongle");
  // Given up: a later ack is not taken for the Start's.
  ASSERT_TRUE(sendAck());
  watchConsole(core);
  EXPECT_EQ(core.words.scanning, 0);
  EXPECT_EQ(view.startLabel(), "Start ...");
  // Pressed again and answered.
  handleCommand(core, id::kStart, kBnClicked);
  ASSERT_TRUE(sendAck([&] { return view.startLabel() == "Stop !!!"; }));
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), port + " open, scanning");

  // Nothing from the dongle for 5 s while scanning.
  clock.advance(4999);
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), port + " open, scanning");
  clock.advance(1);
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), port + ": no data from the dongle for 5 s");
  pty.closeMaster();
  ASSERT_TRUE(view.waitForLog(" lost rc=", 2000));
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), port + " lost");
  // Stop on the lost port: no answer, but the loss is what the line says.
  handleCommand(core, id::kStart, kBnClicked);
  clock.advance(2000);
  watchConsole(core);
  EXPECT_EQ(view.startLabel(), "Stop !!!");
  EXPECT_EQ(view.statusLine(), port + " lost");
  // A pick that fails: why, and no "no answer" from the old port.
  view.setSelectedPort(0, "/dev/koravel-no-such-port");
  handleCommand(core, id::kPortList, kCbnSelChange);
  EXPECT_EQ(view.statusLine(), "Port /dev/koravel-no-such-port: not found");
  // The terminal the console runs in is no port for it.
  view.setSelectedPort(0, "/dev/tty");
  handleCommand(core, id::kPortList, kCbnSelChange);
  EXPECT_EQ(view.statusLine(), "Port /dev/tty: it is this program's own terminal");
}

TEST_F(ConsoleTest, OpeningThePortListListsPortsThatCameSinceAndKeepsThePick) {
  namespace fs = std::filesystem;
  const fs::path runtime = fs::temp_directory_path() / ("kv-runtime-" + std::to_string(::getpid()));
  const fs::path folder = runtime / "koravel";
  fs::create_directories(folder);
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  test::Pty other;
  fs::create_symlink(pty.slavePath(), folder / "sim-b");
  const std::string b = (folder / "sim-b").string();
  const std::string a = (folder / "sim-a").string();

  auto listed = [&](const std::string& path) {
    const auto ports = view.ports();
    return std::find(ports.begin(), ports.end(), path) - ports.begin();
  };
  // A folder others may use is not listed from, and the operator is told.
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  refreshPortList(core);
  EXPECT_EQ(listed(b), static_cast<long>(view.ports().size()));
  EXPECT_EQ(view.statusLine(), "Port folder " + folder.string() + " not used: others may use it (mode 0750; it must be 0700)");
  fs::permissions(folder, fs::perms::owner_all);
  refreshPortList(core);
  EXPECT_EQ(view.statusLine(), "No port open: pick the dongle's port in the list");
  ASSERT_LT(listed(b), static_cast<long>(view.ports().size()));
  // Picked: the port the console holds is listed still, though a probe
  // would find it taken.
  view.selectPortItem(static_cast<int>(listed(b)));
  handleCommand(core, id::kPortList, kCbnSelChange);
  ASSERT_TRUE(core.link.portState().open);
  refreshPortList(core);
  EXPECT_EQ(view.selectedPort(), listed(b));
  // A dongle plugged in since is listed, the pick stays where it is.
  fs::create_symlink(other.slavePath(), a);
  refreshPortList(core);
  ASSERT_LT(listed(a), listed(b));
  EXPECT_EQ(view.selectedPort(), listed(b));
  // Once it has gone, nothing is selected.
  fs::remove(b);
  refreshPortList(core);
  EXPECT_EQ(listed(b), static_cast<long>(view.ports().size()));
  EXPECT_EQ(view.selectedPort(), -1);

  // A port another program holds is listed as held; picking it names the
  // port and says so.
  test::Pty taken;
  struct Holder {
    SerialPort* port;
    ~Holder() { serialClose(port); }
  } holder{serialOpen(taken.slavePath().c_str(), nullptr)};
  ASSERT_NE(holder.port, nullptr);
  const std::string c = (folder / "sim-c").string();
  fs::create_symlink(taken.slavePath(), c);
  refreshPortList(core);
  EXPECT_EQ(listed(c), static_cast<long>(view.ports().size())) << "not listed as a free port";
  const long heldAt = listed(c + " (held by another program)");
  ASSERT_LT(heldAt, static_cast<long>(view.ports().size()));
  view.selectPortItem(static_cast<int>(heldAt));
  handleCommand(core, id::kPortList, kCbnSelChange);
  EXPECT_EQ(core.link.portState().name, c);
  EXPECT_EQ(view.statusLine(), "Port " + c + ": held by another program");

  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  fs::remove_all(runtime);
}

TEST(Status, APickThatFailsSaysWhy) {
  StatusFacts f;
  std::snprintf(f.port.name, sizeof f.port.name, "/dev/koravel-no-such-port");
  f.port.failed = true;
  char text[kStatusTextSize];
  const std::pair<int, const char*> reasons[] = {
      {EACCES, "Port /dev/koravel-no-such-port: permission denied"},
      {EWOULDBLOCK, "Port /dev/koravel-no-such-port: held by another program"},
      {ENOENT, "Port /dev/koravel-no-such-port: not found"},
      {ENOTTY, "Port /dev/koravel-no-such-port: not a serial port"},
      {kOwnTerminalRc, "Port /dev/koravel-no-such-port: it is this program's own terminal"},
      {EIO, "Port /dev/koravel-no-such-port: Input/output error"},
  };
  for (const auto& [rc, line] : reasons) {
    f.port.failRc = rc;
    formatStatus(f, text);
    EXPECT_STREQ(text, line);
  }

  // Denied: the group to join is named only when its members may read and
  // write the device.
  namespace fs = std::filesystem;
  const fs::path device = fs::temp_directory_path() / ("kv-device-" + std::to_string(::getpid()));
  std::FILE* made = std::fopen(device.c_str(), "w");
  ASSERT_NE(made, nullptr);
  std::fclose(made);
  struct stat st {};
  ASSERT_EQ(::stat(device.c_str(), &st), 0);
  const group* owner = ::getgrgid(st.st_gid);
  ASSERT_NE(owner, nullptr);
  std::snprintf(f.port.name, sizeof f.port.name, "%s", device.c_str());
  f.port.failRc = EACCES;
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  formatStatus(f, text);
  EXPECT_EQ(std::string(text), "Port " + device.string() + ": permission denied: add your user to the " +
                                   owner->gr_name + " group (then log in again)");
  ASSERT_EQ(::chmod(device.c_str(), 0640), 0);
  formatStatus(f, text);
  EXPECT_EQ(std::string(text), "Port " + device.string() + ": permission denied");
  fs::remove(device);

  EXPECT_STREQ(win32OpenFailure(5), "held by another program");
  EXPECT_STREQ(win32OpenFailure(2), "not found");
  EXPECT_EQ(win32OpenFailure(995), nullptr);
}

TEST_F(ConsoleTest, TilesAndTooltipRequestsPassThroughTheRoster) {
  pickPort();
  report("Coros Pulse", "A1A2A3A4A5A6");
  view.deliverTooltipRequests([&](int cmd) { handleCommand(core, cmd, 0); });
  EXPECT_EQ(view.tooltip(0), "A1:A2:A3:A4:A5:A6");
  handleCommand(core, 400, 0);
  EXPECT_EQ(view.linkedCount(), "1");
  // A free tile and the linked-count field do nothing.
  view.clearCalls();
  handleCommand(core, 401, 0);
  handleCommand(core, id::kLinkedCount, 0x100);
  handleCommand(core, id::kDongleLine, 0);
  EXPECT_TRUE(view.calls().empty());
  handleCommand(core, id::kClearUseless, 3);
  EXPECT_TRUE(core.roster.table().isSlotInUse(0));
  EXPECT_FALSE(view.tooltipActive(0));
}

TEST_F(ConsoleTest, LogButtonClearLogAboutAndExit) {
  handleCommand(core, id::kLogButton, 1);  // not a click
  EXPECT_EQ(core.words.logPaused, 0);
  handleCommand(core, id::kLogButton, kBnClicked);
  EXPECT_EQ(core.words.logPaused, 1);
  EXPECT_EQ(view.logButtonLabel(), "Start Log");
  handleCommand(core, id::kLogButton, kBnClicked);
  EXPECT_EQ(core.words.logPaused, 0);
  EXPECT_EQ(view.logButtonLabel(), "Stop Log");

  view.appendLog("some lines\r\n");
  handleCommand(core, id::kClearLog, 9);
  EXPECT_EQ(view.log(), "");
  handleCommand(core, id::kAbout, 1);
  EXPECT_EQ(view.aboutShown(), 1);
  handleCommand(core, id::kExit, 0);
  EXPECT_EQ(view.destroyed(), 1);
}

TEST_F(ConsoleTest, TheLogIsTrimmedPastLine800AndPauseIsKept) {
  std::string lines;
  for (int i = 0; i < 800; ++i) lines += "line of the traffic log\r\n";  // 25 characters
  view.appendLog(lines.c_str());
  ASSERT_EQ(view.logCaretLine(), 800u);
  handleCommand(core, id::kTrafficLog, kEnChange);
  EXPECT_EQ(view.log().size(), lines.size()) << "at line 800 nothing is removed";

  view.appendLog("one more\r\n");
  core.words.logPaused = 1;
  handleCommand(core, id::kTrafficLog, kEnChange);
  EXPECT_EQ(view.log().size(), lines.size() + 10 - 4000);
  EXPECT_EQ(core.words.logPaused, 1);
  core.words.logPaused = 0;
  view.appendLog(lines.c_str());
  handleCommand(core, id::kTrafficLog, kEnChange);
  EXPECT_LE(view.logCaretLine(), 800u);
  EXPECT_EQ(core.words.logPaused, 0);

  // One enormous line cannot be trimmed below the limit by lines: no hang.
  view.clearLog();
  view.appendLog(std::string(900, '\n').c_str());
  view.appendLog(std::string(10000, 'x').c_str());
  handleCommand(core, id::kTrafficLog, kEnChange);
  EXPECT_LE(view.logCaretLine(), 800u);
}

TEST_F(ConsoleTest, AFullLogTellsTheOperatorAndShutsDown) {
  handleCommand(core, id::kTrafficLog, kEnMaxText);
  EXPECT_EQ(view.errorBoxes(), std::vector<std::string>{"Stridon: info. out of space."});
  EXPECT_EQ(view.shutdownsPosted(), 1);
  // Told once: the lines the shutdown writes meet the same full log.
  handleCommand(core, id::kTrafficLog, kEnErrSpace);
  handleCommand(core, id::kTrafficLog, kEnMaxText);
  EXPECT_EQ(view.errorBoxes().size(), 1u);
  EXPECT_EQ(view.shutdownsPosted(), 1);
}

TEST_F(ConsoleTest, PortListNotificationsAndAFailedPick) {
  handleCommand(core, id::kPortList, 3);  // not a selection change
  view.setSelectedPort(-1, "");
  handleCommand(core, id::kPortList, kCbnSelChange);
  EXPECT_TRUE(view.waits().empty());

  // A port that cannot be opened: the configuration request still follows
  // 150 ms later and fails to be written.
  view.setSelectedPort(0, "/dev/koravel-no-such-port");
  handleCommand(core, id::kPortList, kCbnSelChange);
  EXPECT_EQ(view.waits(), std::vector<int>{150});
  ASSERT_TRUE(view.waitForLog("Send failed", 2000));
  EXPECT_EQ(view.log().find("Couldn't open port /dev/koravel-no-such-port. rc="), 0u);
}

TEST_F(ConsoleTest, ShutdownSendsTheSoftResetAndWaits) {
  pickPort();
  int waitsBefore = static_cast<int>(view.waits().size());
  shutdownWindow(core);
  EXPECT_EQ(view.waits().back(), 300);
  EXPECT_EQ(static_cast<int>(view.waits().size()), waitsBefore + 1);
  EXPECT_EQ(pty.receive(12, 2000)[10], 0);
  EXPECT_EQ(core.words.swallowNextAck, 1);
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST(Layout, TilesFillTheGridByColumns) {
  const std::pair<int, ControlPlace> expected[] = {
      {0, {400, 10, 76, 246, 58}}, {9, {409, 10, 643, 246, 58}}, {10, {410, 256, 76, 246, 58}}, {39, {439, 748, 643, 246, 58}}};
  for (const auto& [slot, place] : expected) {
    const ControlPlace p = tilePlace(slot);
    EXPECT_EQ(p.id, place.id);
    EXPECT_EQ(p.x, place.x);
    EXPECT_EQ(p.y, place.y);
    EXPECT_EQ(p.width, place.width);
    EXPECT_EQ(p.height, place.height);
  }
}

// The class display's cells fill the window without overlapping, and the
// heart rate is the biggest thing in each: at least a fifth of the cell's
// height, three digits within its width.
TEST(ClassDisplayLayout, CellsFitTheWindowAndTheirHeartRate) {
  for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{1024, 768}, std::pair{1366, 768}}) {
    for (int count : {1, 2, 4, 12, 40}) {
      SCOPED_TRACE(std::to_string(count) + " cells at " + std::to_string(w) + "x" + std::to_string(h));
      const CellGrid grid = cellGrid(count, w, h);
      ASSERT_GE(grid.columns * grid.rows, count);
      EXPECT_LT(grid.columns * grid.rows - count, std::min(grid.columns, grid.rows));  // no empty row or column
      std::vector<CellRect> cells;
      for (int i = 0; i < count; ++i) {
        const CellRect c = cellRect(grid, i, w, h);
        EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.x + c.width <= w && c.y + c.height <= h);
        for (const CellRect& o : cells)
          EXPECT_TRUE(c.x >= o.x + o.width || o.x >= c.x + c.width || c.y >= o.y + o.height || o.y >= c.y + c.height);
        const CellLayout l = cellLayout(c);
        EXPECT_GE(l.heartRatePx * 5, c.height);
        EXPECT_LE(3 * kDigitWidthPerPx * l.heartRatePx, l.heartRate.width);
        EXPECT_LE(l.heartRatePx, l.heartRate.height);
        EXPECT_GT(l.heartRatePx, l.namePx);
        EXPECT_GT(l.namePx, l.detailPx);
        EXPECT_LE(l.detail.y + l.detail.height, c.y + c.height);
        cells.push_back(c);
      }
      // Most of the window is cells.
      long long area = 0;
      for (const CellRect& c : cells) area += 1LL * c.width * c.height;
      EXPECT_GT(area * 2, 1LL * w * h * count / (grid.columns * grid.rows));
    }
  }
  EXPECT_EQ(cellRect(cellGrid(1, 1920, 1080), 0, 1920, 1080), (CellRect{8, 8, 1904, 1064}));
  const CellGrid forty = cellGrid(40, 1920, 1080);
  EXPECT_EQ(forty.columns * forty.rows, 40);
}

// Every pair of colours the class display draws reads at 4.5:1 or better;
// black on the darker hover fills would not.
TEST(ClassDisplayLayout, EveryColourPairHasContrast) {
  for (std::uint8_t fill : {kBrandMirabeat, kBrandOther, kFillSilent}) {
    const Rgb c = tileColour(fill, false);
    EXPECT_GE(contrastRatio(c, textColourOn(c)), 4.5) << int(fill);
  }
  EXPECT_GE(contrastRatio(kClassDisplayBackground, kClassDisplayMessageColour), 4.5);
  EXPECT_LT(contrastRatio(kMirabeatHotColour, Rgb{0, 0, 0}), 4.5);
  EXPECT_NEAR(contrastRatio(Rgb{0, 0, 0}, Rgb{255, 255, 255}), 21.0, 1e-9);
  EXPECT_NEAR(contrastRatio(kMirabeatColour, Rgb{0, 0, 0}), 5.53, 0.01);
}

}  // namespace
}  // namespace kv
