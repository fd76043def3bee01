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
#include <fstream>

#include "support/hand_clock.h"
#include "support/recording_check.h"
#include "support/pty.h"
#include "support/recording_view.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
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

TEST(Status, ARecordingIsSaidUnlessSomethingIsWrong) {
  StatusFacts f;
  std::snprintf(f.port.name, sizeof f.port.name, "/dev/ttyUSB0");
  f.port.open = true;
  f.scanning = true;
  f.recording.running = true;
  f.recording.name = "class.csv";
  f.recording.rows = 1234;
  char text[kStatusTextSize];
  const auto line = [&] {
    formatStatus(f, text);
    return std::string(text);
  };
  EXPECT_EQ(line(), "Recording to class.csv: 1234 rows");
  f.recording.mark = 3;
  EXPECT_EQ(line(), "Mark 3");
  f.recording.lost = 17;
  EXPECT_EQ(line(), "Recording to class.csv: 1234 rows, 17 rows LOST: the disk cannot keep up");
  f.recording.lost = 0;
  f.recording.remade = true;
  EXPECT_EQ(line(), "Recording to class.csv: 1234 rows; the file was deleted and made again");
  // The link's troubles come first.
  f.noAnswer = true;
  EXPECT_EQ(line(), "Port /dev/ttyUSB0: no answer from the dongle");
  f.noAnswer = false;
  f.port.open = false;
  f.recording = RecordingFacts{.running = true, .name = "class.csv", .rows = 7};
  EXPECT_EQ(line(), "Recording to class.csv: 7 rows; no port open");
  // A recording stopped by a fault is said until the next one; only the
  // port's own troubles come before it.
  f.port.open = true;
  f.recording = RecordingFacts{.running = false, .name = "class.csv", .rows = 99, .fault = "disk full"};
  EXPECT_EQ(line(), "Recording stopped: disk full (99 rows kept in class.csv)");
  f.port.lost = true;
  EXPECT_EQ(line(), "Port /dev/ttyUSB0 lost");
  // After the operator's stop, a note for a while; then the port as before.
  f.port.lost = false;
  f.recording = RecordingFacts{.name = "class.csv", .note = "Recording saved: 99 rows in /tmp/class.csv"};
  EXPECT_EQ(line(), "Recording saved: 99 rows in /tmp/class.csv");
  f.recording.note = "";
  EXPECT_EQ(line(), "Port /dev/ttyUSB0 open, scanning");
  // A participants file with a fault is said above the recording's figures,
  // but the operator's mark and a note (a report made while recording) are
  // still answered.
  f.participants = "Participants: class.csv line 7: no name for 0A:1B:2C:3D:4E:5F";
  f.recording = RecordingFacts{.running = true, .name = "class.csv", .rows = 12};
  EXPECT_EQ(line(), f.participants);
  f.recording.mark = 2;
  EXPECT_EQ(line(), "Mark 2");
  f.recording.mark = 0;
  f.recording.note = "Session report: /tmp/old.html";
  EXPECT_EQ(line(), "Session report: /tmp/old.html");
}

TEST_F(ConsoleTest, ARecordingGoesOnAcrossStopStartAndPortsWithItsMarks) {
  const std::string dir = ::testing::TempDir() + "kv-console-rec-" + std::to_string(::getpid());
  fs::create_directories(dir);
  const std::string path = dir + "/class.csv";
  fs::remove(path);
  EXPECT_EQ(view.recordMenu(), kRecordMenuText);
  EXPECT_EQ(markRecording(core), 0u);  // nothing to mark yet
  // Begun before a port is picked.
  ASSERT_TRUE(startRecording(core, path.c_str(), false));
  EXPECT_EQ(view.recordMenu(), kStopRecordingMenuText);
  EXPECT_TRUE(view.markable());
  EXPECT_EQ(view.statusLine(), "Recording to class.csv: 0 rows; no port open");
  pickPort();
  report("Coros Pulse", "A1A2A3A4A5A6");
  handleCommand(core, id::kMark, 0);
  EXPECT_EQ(view.statusLine(), "Mark 1");
  // Start and Stop, then the same port picked again: the same file.
  handleCommand(core, id::kStart, 0);
  ASSERT_TRUE(sendAck());
  handleCommand(core, id::kStart, 0);
  ASSERT_TRUE(sendAck());
  pickPort();
  report("Polar H10 77", "B1B2B3B4B5B6");  // no tile, but recorded
  clock.advance(kMarkShownMs);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (core.recording.stats().rows < 2 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  watchConsole(core);
  EXPECT_EQ(view.statusLine(), "Recording to class.csv: 2 rows");
  handleCommand(core, id::kRecord, 0);
  EXPECT_EQ(view.recordMenu(), kRecordMenuText);
  EXPECT_FALSE(view.markable());
  EXPECT_EQ(view.statusLine(), "Recording saved: 2 rows in " + path + "; File > Session report makes its report");
  clock.advance(kRecordingNoteMs);
  watchConsole(core);
  EXPECT_EQ(view.statusLine().find("Recording"), std::string::npos);
  std::string problem;
  std::ifstream in(path, std::ios::binary);
  const auto rows = test::readCsvRows(std::string(std::istreambuf_iterator<char>(in), {}), &problem);
  EXPECT_EQ(problem, "");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "Coros Pulse");
  EXPECT_EQ(rows[1].marker, "1");
  EXPECT_EQ(rows[2].name, "Polar H10 77");
  // A file that is there is never replaced unless the operator said so.
  EXPECT_FALSE(startRecording(core, path.c_str(), false));
  EXPECT_EQ(view.statusLine(), "Cannot record to " + path + ": it exists");
  EXPECT_EQ(view.recordMenu(), kRecordMenuText);
  char told[256];
  finishRecording(core, told, sizeof told);
  EXPECT_STREQ(told, "");
  fs::remove_all(dir);
}

TEST_F(ConsoleTest, ParticipantsAreReadAgainWhenTheFileChangesAndTheHeardDevicesSaved) {
  const std::string dir = ::testing::TempDir() + "kv-console-people-" + std::to_string(::getpid());
  fs::create_directories(dir);
  const std::string path = dir + "/class.csv";
  auto write = [&](const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
  write("address,name,max_hr\nA1A2A3A4A5A6,Anna,190\nB1B2B3B4B5B6,Ben,abc\n");
  ASSERT_TRUE(loadParticipants(core, path.c_str()));
  ASSERT_NE(core.participants, nullptr);
  EXPECT_EQ(core.participants->count(), 1);
  EXPECT_EQ(view.statusLine(), "Participants: class.csv line 3: max_hr 'abc' is not a number from 100 to 230");
  // The coach mends the line: read again within the look's interval.
  write("address,name,max_hr\nA1A2A3A4A5A6,Anna,190\nB1B2B3B4B5B6,Ben,180\n");
  clock.advance(kParticipantsLookEveryMs);
  watchConsole(core);
  EXPECT_EQ(core.participants->count(), 2);
  EXPECT_EQ(view.statusLine(), "No port open: pick the dongle's port in the list");
  // A reading that is refused keeps the table that was, and says why.
  write("nothing,useful\n");
  clock.advance(kParticipantsLookEveryMs);
  watchConsole(core);
  EXPECT_EQ(core.participants->count(), 2);
  EXPECT_EQ(view.statusLine(), "Participants: class.csv line 1: no 'address' or 'name' column in the header");

  // Heard since the start: saved with the participants' values kept, the
  // unheard kept too; a name that would be a formula is not one.
  pickPort();
  report("Coros Pulse", "A1A2A3A4A5A6");
  report("=cmd|' /C calc'!A0", "C1C2C3C4C5C6");
  std::uint64_t unlisted = 0;
  for (int i = 0; i < 2000 && core.heard.devices(&unlisted) < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  char error[200] = "";
  const std::string saved = dir + "/heard.csv";
  ASSERT_TRUE(saveHeardAsParticipants(core, saved.c_str(), error, sizeof error)) << error;
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "\xEF\xBB\xBF" "address,device,name,max_hr,age\r\n"
            "A1:A2:A3:A4:A5:A6,Coros Pulse,Anna,190,\r\n"
            "C1:C2:C3:C4:C5:C6,'=cmd|' /C calc'!A0,,,\r\n"
            "B1:B2:B3:B4:B5:B6,,Ben,180,\r\n");
  // What it writes reads back: a file ready to fill.
  ParticipantTable back;
  const ParticipantsRead read = readParticipantsFile(saved, &back);
  EXPECT_FALSE(read.refused);
  EXPECT_EQ(back.count(), 2);  // the one without a name is said, not used
  EXPECT_EQ(read.problems, std::vector<std::string>{saved + " line 3: no name for C1:C2:C3:C4:C5:C6"});
  // A file that cannot be written says why.
  EXPECT_FALSE(saveHeardAsParticipants(core, (dir + "/no/such/x.csv").c_str(), error, sizeof error));
  EXPECT_STREQ(error, "No such file or directory");

  handleCommand(core, id::kNoParticipants, 0);
  EXPECT_EQ(core.participants, nullptr);
  EXPECT_EQ(view.statusLine().find("Participants"), std::string::npos);
  fs::remove_all(dir);
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
  // Every zone's colour, and they are six different ones.
  for (int zone = 0; zone <= 5; ++zone) {
    const Rgb c = zoneColour(zone);
    EXPECT_GE(contrastRatio(c, textColourOn(c)), 4.5) << zone;
    for (int other = 0; other < zone; ++other) EXPECT_FALSE(zoneColour(other) == c);
  }
}

TEST(ClassCells, AParticipantShowsTheirNameAndWithAKnownMaximumTheirZone) {
  test::RecordingView view;
  test::HandClock clock;
  TileBrushCache brushes;
  Roster roster(view, brushes, clock);
  const char* addresses[] = {"D8A01D5C3E71", "D8A01D5C3E72", "D8A01D5C3E73", "D8A01D5C3E74"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(roster.registerDevice("Mirabeat 7", addresses[i]), i);
    roster.toggleLink(id::kFirstTile + i);
  }
  ParticipantTable people;
  people.put(Participant{"D8A01D5C3E71", "Anna-Lena Maximiliane Sch\xc3\xb6nberg", 200});
  people.put(Participant{"D8A01D5C3E72", "Ben", 0});  // maximum not known
  people.put(Participant{"D8A01D5C3E74", "Dee", 180});
  roster.applyReading(0, addresses[0], 139, 850, 80);  // 69 %: zone 2
  roster.applyReading(1, addresses[1], 150, 800, 80);
  roster.applyReading(2, addresses[2], 150, 800, 80);
  roster.applyReading(3, addresses[3], 80, 800, 9);    // 44 %: rest, and a low battery
  ClassCell cells[kTileCount];
  ASSERT_EQ(classCells(roster, clock.nowMs(), cells, &people), 4);
  EXPECT_STREQ(cells[0].name, "Anna-Lena Maximiliane Sc");  // the first 24 characters
  EXPECT_STREQ(cells[0].heartRate, "139");
  EXPECT_STREQ(cells[0].detail, "ZONE 2   69 %");
  EXPECT_EQ(cells[0].zone, 2);
  EXPECT_EQ(cells[0].fill, zoneColour(2));
  EXPECT_STREQ(cells[1].name, "Ben");  // as today but for the name
  EXPECT_EQ(cells[1].zone, -1);
  EXPECT_EQ(cells[1].fill, tileColour(kBrandMirabeat, false));
  EXPECT_STREQ(cells[2].name, "Mirabeat 7");  // nobody wears it
  EXPECT_STREQ(cells[2].detail, "RR 800 ms   battery 80 %");
  EXPECT_STREQ(cells[3].detail, "REST   44 %   LOW BATTERY");
  EXPECT_TRUE(cells[3].lowBattery);
  EXPECT_EQ(cells[3].fill, zoneColour(0));
  // A heart rate across a boundary moves the cell to the next zone.
  roster.applyReading(0, addresses[0], 140, 850, 80);
  classCells(roster, clock.nowMs(), cells, &people);
  EXPECT_STREQ(cells[0].detail, "ZONE 3   70 %");
  EXPECT_EQ(cells[0].fill, zoneColour(3));
  // A silent participant is grey and says so, as any silent device.
  clock.advance(kLinkedSilentAfterMs + 1000);
  roster.checkSilence();
  classCells(roster, clock.nowMs(), cells, &people);
  EXPECT_STREQ(cells[0].heartRate, "silent");
  EXPECT_EQ(cells[0].zone, -1);
  EXPECT_EQ(cells[0].fill, tileColour(kFillSilent, false));
}

}  // namespace
}  // namespace kv
