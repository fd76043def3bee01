// koravel-record: its rows and options, and the program itself against the
// simulated dongle program over a real pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/device_table.h"
#include "console/record/record_options.h"
#include "link/frame.h"
#include "link/serial_port.h"
#include "participants/participants.h"
#include "support/child_program.h"
#include "support/pty.h"
#include "support/recording_check.h"
#include "support/sim_record.h"

namespace kv::record {
namespace {

DeviceReport report(const char* name, const char* address, std::uint8_t hr, std::uint16_t rr, std::uint8_t battery,
                    std::int8_t rssi = -60, std::uint8_t check = kReadingApplied) {
  return DeviceReport{.kind = 1, .name = name, .address = address, .check = check, .rssi = rssi, .heartRate = hr,
                      .rrInterval = rr, .battery = battery};
}

TEST(RecordOptions, ParsesAndRefuses) {
  const auto parse = [](std::vector<const char*> args, RecordOptions* o, std::string* error) {
    args.insert(args.begin(), "koravel-record");
    return parseRecordOptions(static_cast<int>(args.size()), args.data(), o, error);
  };
  RecordOptions o;
  std::string error;
  ASSERT_EQ(parse({"--port", "/dev/ttyUSB0", "--out=-", "--duration", "2.5", "--all"}, &o, &error), RecordParse::Run);
  EXPECT_EQ(o.port, "/dev/ttyUSB0");
  EXPECT_EQ(o.out, "-");
  EXPECT_DOUBLE_EQ(o.durationSeconds, 2.5);
  RecordOptions month;
  ASSERT_EQ(parse({"--port", "x", "--duration", "2592000"}, &month, &error), RecordParse::Run);
  EXPECT_DOUBLE_EQ(month.durationSeconds, 2592000);
  EXPECT_TRUE(o.all);
  EXPECT_EQ(parse({"--list-ports"}, &o, &error), RecordParse::ListPorts);
  EXPECT_EQ(parse({"--port", "x", "--help"}, &o, &error), RecordParse::Help);
  const std::pair<std::vector<const char*>, const char*> bad[] = {
      {{}, "no port given"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "x", "--duration", "0"}, "--duration needs a number of seconds above 0"},
      {{"--port", "x", "--duration", "10s"}, "not '10s'"},
      {{"--port", "x", "--duration", "2592001"}, "at most 2592000 (30 days), not '2592001'"},
      {{"--port", "x", "--duration", "1e10"}, "not '1e10'"},
      {{"--port", "x", "--duration", "1e300"}, "not '1e300'"},
      {{"--port", "x", "--duration", "inf"}, "not 'inf'"},
      {{"--port", "x", "--duration", "nan"}, "not 'nan'"},
      {{"--port", "x", "--duration", "-5"}, "not '-5'"},
      {{"--port", "x", "--out", ""}, "--out needs a file name"},
      {{"--port", "x", "--colour"}, "unknown option --colour"},
      {{"--port", "x", "--all=yes"}, "unknown option --all"},
  };
  for (const auto& [args, message] : bad) {
    RecordOptions fresh;
    EXPECT_EQ(parse(args, &fresh, &error), RecordParse::Error) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  EXPECT_EQ(portPathFor("COM5", true), "\\\\.\\COM5");
  EXPECT_EQ(portPathFor("com12", true), "\\\\.\\COM12");
  EXPECT_EQ(portPathFor("\\\\.\\COM3", true), "\\\\.\\COM3");
  EXPECT_EQ(portPathFor("COMX", true), "COMX");
  EXPECT_EQ(portPathFor("COM5", false), "COM5");
}

TEST(DeviceTable, ByAddressAndBeyondItsRoom) {
  auto table = std::make_unique<DeviceTable>();
  table->heard(report("Mirabeat 1", "000000000001", 70, 850, 90), 100);
  table->heard(report("Renamed", "000000000001", 71, 845, 255), 200);
  table->heard(report("Polar H10", "000000000002", 80, 750, 50), 300);
  auto listed = std::make_unique<HeardDevice[]>(DeviceTable::kMaxListed);
  std::uint64_t unlisted = 1;
  ASSERT_EQ(table->snapshot(listed.get(), &unlisted), 2);
  EXPECT_EQ(unlisted, 0u);
  EXPECT_STREQ(listed[0].name, "Renamed");
  EXPECT_EQ(listed[0].heartRate, 71);
  EXPECT_EQ(listed[0].battery, 255);
  EXPECT_EQ(listed[0].rows, 2u);
  EXPECT_EQ(listed[0].lastHeardMs, 200);
  EXPECT_STREQ(listed[1].address, "000000000002");
  char address[16];
  for (int i = 0; i < DeviceTable::kMaxListed + 5; ++i) {
    std::snprintf(address, sizeof address, "%012d", 1000 + i);
    table->heard(report("x", address, 1, 1, 1), 400);
  }
  EXPECT_EQ(table->devices(&unlisted), DeviceTable::kMaxListed);
  EXPECT_EQ(unlisted, 7u);
}

// --- the program ---

using test::ChildProgram;
using test::SimRecordLine;

test::ChildOptions terminalOf(const std::string& path) {
  test::ChildOptions o;
  o.terminal = path;
  return o;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

std::vector<test::CsvRow> csvRows(const std::string& csv) {
  std::string problem;
  auto rows = test::readCsvRows(csv, &problem);
  EXPECT_EQ(problem, "");
  return rows;
}

// Only the readings' rows.
std::vector<test::CsvRow> readingRows(const std::string& csv) {
  std::vector<test::CsvRow> rows;
  for (auto& r : csvRows(csv))
    if (r.marker.empty() && r.brand != "dongle") rows.push_back(r);
  return rows;
}

class RecordProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kv-record-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    port_ = dir_ + "/dongle";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::unique_ptr<ChildProgram> sim(std::vector<std::string> args) {
    args.insert(args.begin(), {KV_DONGLE_SIM_PROGRAM, "--link", port_, "--quiet"});
    auto p = std::make_unique<ChildProgram>(args);
    EXPECT_NE(p->firstLine(5000), "") << "the simulator did not start";
    return p;
  }
  std::unique_ptr<ChildProgram> recorder(std::vector<std::string> args, bool withInput = false, int stderrTo = -1) {
    args.insert(args.begin(), KV_RECORD_PROGRAM);
    test::ChildOptions options;
    options.withInput = withInput;
    options.stderrTo = stderrTo;
    return std::make_unique<ChildProgram>(args, options);
  }
  static std::size_t received(const std::string& record, const char* kind) {
    std::size_t n = 0;
    test::forEachSimRecordLine(record, [&](const SimRecordLine& l) { n += !l.tx && !l.isEvent && l.kind == kind; });
    return n;
  }
  // Every intact report sent well before the recording ended is one row.
  static test::RecordingCheck expectOneRowPerReport(const std::string& record, const std::string& csv, bool all) {
    const test::RecordingCheck check = test::checkRecording(record, csv, all);
    EXPECT_EQ(check.problem, "");
    return check;
  }

  std::string dir_;
  std::string port_;
};

TEST_F(RecordProgram, EveryIntactReadingOfSixtyDevicesIsOneRowDespiteFaults) {
  const std::string record = dir_ + "/sim.rec";
  const std::string out = dir_ + "/class.csv";
  auto dongle = sim({"--devices", "60", "--rate", "2", "--seed", "11", "--record", record, "--fault-bad-seal", "0.03",
                     "--fault-split", "0.05", "--fault-garbage", "0.03", "--fault-unknown", "0.02",
                     "--fault-drop-byte", "0.02", "--duration", "60"});
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "20"});
  ASSERT_EQ(rec->wait(40000), 0) << rec->readAll(true);
  const std::string err = rec->readAll(true);
  ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
  ASSERT_EQ(dongle->wait(5000), 0);

  const auto all = csvRows(readFile(out));
  const auto rows = readingRows(readFile(out));
  // The dongle's row first: who it was.
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().brand, "dongle");
  EXPECT_EQ(all.front().name, "MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");
  // 60 devices at 2 Hz for 20 s, less the faults and the unapplied.
  EXPECT_GT(expectOneRowPerReport(record, readFile(out), false).expected, 1800u);
  // Polar devices are recorded too.
  EXPECT_NE(readFile(out).find(",Polar,"), std::string::npos);
  // The summary counts what was written, and the damage seen.
  EXPECT_NE(err.find("60 devices, " + std::to_string(rows.size()) + " rows, "), std::string::npos) << err;
  EXPECT_EQ(err.find(" 0 bad seals"), std::string::npos) << err;
  EXPECT_NE(err.find("dongle MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07"), std::string::npos) << err;
  // The recording ends at --duration; rows still come while the dongle is reset.
  EXPECT_LT(rows.back().seconds, 22.0);
}

TEST_F(RecordProgram, AllReportsToStandardOutput) {
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "8", "--rate", "5", "--seed", "3", "--record", record, "--unapplied-rate", "0.3",
                     "--duration", "60"});
  auto rec = recorder({"--port", port_, "--out", "-", "--all", "--duration", "4"});
  const std::string csv = rec->readAll(false);
  ASSERT_EQ(rec->wait(10000), 0) << rec->readAll(true);
  ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
  ASSERT_EQ(dongle->wait(5000), 0);
  expectOneRowPerReport(record, csv, true);
  EXPECT_NE(csv.find(",0x00,,,,,\r\n"), std::string::npos);
}

TEST_F(RecordProgram, PulledAndPluggedBackGoesOnInTheSameFile) {
  const std::string out = dir_ + "/replug.csv";
  auto first = sim({"--devices", "5", "--rate", "4", "--unplug-after", "3", "--duration", "60"});
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "10"});
  ASSERT_EQ(first->wait(8000), 0);
  sleepMs(2500);  // the recorder tries the vanished port meanwhile
  auto second = sim({"--devices", "5", "--rate", "4", "--duration", "60"});
  ASSERT_EQ(rec->wait(15000), 0);
  const std::string err = rec->readAll(true);
  EXPECT_EQ(occurrences(err, "lost " + port_), 1u) << err;
  EXPECT_EQ(occurrences(err, port_ + " is back: the recording goes on in " + out), 1u) << err;
  const std::string csv = readFile(out);
  EXPECT_EQ(occurrences(csv, "time,seconds"), 1u);
  const auto rows = readingRows(csv);
  ASSERT_FALSE(rows.empty());
  EXPECT_LT(rows.front().seconds, 3.0);
  EXPECT_GT(rows.back().seconds, 6.0);
  bool gap = false;
  for (std::size_t i = 1; i < rows.size(); ++i) gap = gap || rows[i].seconds - rows[i - 1].seconds > 2.0;
  EXPECT_TRUE(gap) << "no rows missing while the port was away?";
}

TEST_F(RecordProgram, CtrlCResetsTheDongleAndEndsOnAWholeRow) {
  const std::string record = dir_ + "/sim.rec";
  const std::string out = dir_ + "/stopped.csv";
  auto dongle = sim({"--devices", "20", "--rate", "5", "--record", record, "--duration", "60"});
  auto rec = recorder({"--port", port_, "--out", out});
  sleepMs(2500);
  ASSERT_EQ(::kill(rec->pid(), SIGINT), 0);
  ASSERT_EQ(rec->wait(5000), 0);
  ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
  ASSERT_EQ(dongle->wait(5000), 0);
  int resets = 0;
  bool scanStarted = false, resetAfterScan = false;
  test::forEachSimRecordLine(record, [&](const SimRecordLine& l) {
    if (l.tx || l.isEvent) return;
    scanStarted = scanStarted || l.kind == "start-adv";
    if (l.kind == "soft-reset") {
      ++resets;
      resetAfterScan = resetAfterScan || scanStarted;
    }
  });
  EXPECT_EQ(resets, 2);  // at the open and on the way out
  EXPECT_TRUE(resetAfterScan);
  const std::string csv = readFile(out);
  ASSERT_GT(csv.size(), 100u);
  EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n");
  EXPECT_GT(csvRows(csv).size(), 100u);
}

TEST_F(RecordProgram, BadPortsFilesAndOptions) {
  // A port that is not a serial device (a FIFO nobody writes to must not
  // hold it up), one that is not there: one line in words, exit 1, no file
  // left behind.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> ports[] = {{"/dev/null", "cannot open /dev/null: not a serial port"},
                                                       {fifo, "cannot open " + fifo + ": not a serial port"},
                                                       {dir_ + "/none", "cannot open " + dir_ + "/none: not found"}};
  for (const auto& [port, message] : ports) {
    auto rec = recorder({"--port", port, "--out", dir_ + "/x.csv"});
    EXPECT_EQ(rec->wait(5000), 1);
    EXPECT_EQ(rec->readAll(true), "koravel-record: " + message + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.csv"));
  }
  // A file that cannot be written, or one that exists: nothing reaches the
  // dongle.
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "2", "--record", record, "--duration", "60"});
  std::ofstream(dir_ + "/taken.csv") << "an earlier recording\n";
  const std::pair<std::string, std::string> outs[] = {
      {dir_ + "/no/such/dir.csv", "cannot write " + dir_ + "/no/such/dir.csv: No such file or directory"},
      {dir_ + "/taken.csv", "cannot write " + dir_ + "/taken.csv: it exists"}};
  for (const auto& [path, message] : outs) {
    auto rec = recorder({"--port", port_, "--out", path});
    EXPECT_EQ(rec->wait(5000), 1);
    const std::string err = rec->readAll(true);
    EXPECT_EQ(err.find("koravel-record: " + message), 0u) << err;
    EXPECT_EQ(occurrences(err, "\n"), 1u) << err;
  }
  EXPECT_EQ(readFile(dir_ + "/taken.csv"), "an earlier recording\n");
  ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
  ASSERT_EQ(dongle->wait(5000), 0);
  int received = 0;
  test::forEachSimRecordLine(record, [&](const SimRecordLine& l) { received += !l.tx && !l.isEvent; });
  EXPECT_EQ(received, 0);

  auto unknown = recorder({"--port", port_, "--fast"});
  EXPECT_EQ(unknown->wait(5000), 2);
  EXPECT_NE(unknown->readAll(true).find("unknown option --fast\nUsage: koravel-record"), std::string::npos);
}

TEST_F(RecordProgram, LinesOnItsInputAreMarkersInPlace) {
  auto dongle = sim({"--devices", "10", "--rate", "4", "--duration", "60"});
  const std::string out = dir_ + "/marked.csv";
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "5"}, true);
  sleepMs(1500);
  ASSERT_TRUE(rec->writeInput("warm-up done\n"));
  sleepMs(1500);
  ASSERT_TRUE(rec->writeInput("=sprint, \"1\"\x1b[2J\r\n"));
  rec->closeInput();
  ASSERT_EQ(rec->wait(10000), 0) << rec->readAll(true);
  const std::string err = rec->readAll(true);
  EXPECT_NE(err.find("marker 1: warm-up done\n"), std::string::npos) << err;
  EXPECT_NE(err.find("2 markers"), std::string::npos) << err;
  const auto rows = csvRows(readFile(out));
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (!rows[i].marker.empty()) at.push_back(i);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_EQ(rows[at[0]].marker, "warm-up done");
  EXPECT_EQ(rows[at[1]].marker, "'=sprint, \"1\"?[2J");  // never a formula, never a control
  // In place: readings before and after each, in time order.
  EXPECT_GT(at[0], 10u);
  EXPECT_LT(at[1], rows.size() - 10);
  EXPECT_NEAR(rows[at[0]].seconds, 1.5, 0.6);
  EXPECT_NEAR(rows[at[1]].seconds, 3.0, 0.6);
  for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_LE(rows[i - 1].seconds, rows[i].seconds);
}

TEST_F(RecordProgram, NamesFromTheAirReachNeitherTheTerminalNorASpreadsheetRaw) {
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "4", "--rate", "4", "--polar-share", "0", "--unapplied-rate", "0", "--record", record,
                     "--device-name", "0=\x1b]0;owned\x07\x1b[2J=1+2", "--device-name", "1=Zo\xeb Lat",
                     "--device-name", "2=Zo\xc3\xab \xc2\x9b" "c", "--device-address", "3=@SUM(1+1)*2",
                     "--duration", "60"});
  // The live table on a terminal, the rows on standard output.
  test::Pty terminal;
  ASSERT_TRUE(terminal.ok());
  setenv("TERM", "xterm", 1);
  auto rec = recorder({"--port", port_, "--out", "-", "--duration", "3"}, false, terminal.slaveFd());
  const std::string csv = rec->readAll(false);
  ASSERT_EQ(rec->wait(10000), 0);
  std::string screen;
  for (auto b = terminal.receive(1 << 20, 300); !b.empty(); b = terminal.receive(1 << 20, 300))
    screen.append(b.begin(), b.end());
  ASSERT_NE(screen.find("Zo\xc3\xab Lat"), std::string::npos) << screen;
  // What the program draws itself is cursor movement and erasing; nothing
  // from a device: no OSC, no bell, no clearing of the screen, no C1.
  EXPECT_EQ(screen.find("\x1b]"), std::string::npos);
  EXPECT_EQ(screen.find('\x07'), std::string::npos);
  EXPECT_EQ(screen.find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(screen.find("\xc2\x9b"), std::string::npos);
  for (const char c : csv) EXPECT_TRUE(c == '\r' || c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  const auto rows = csvRows(csv);
  std::set<std::string> names;
  for (const auto& r : rows) names.insert(r.name);
  EXPECT_TRUE(names.count("?]0;owned??[2J=1+2")) << csv.substr(0, 400);
  EXPECT_TRUE(names.count("Zo\xc3\xab Lat"));
  EXPECT_TRUE(names.count("Zo\xc3\xab ?c"));
  // The address as written: a spreadsheet takes it as text.
  EXPECT_NE(csv.find(",'@SUM(1+1)*2,"), std::string::npos);
  expectOneRowPerReport(record, csv, false);
}

TEST_F(RecordProgram, ADongleThatDoesNotAnswerIsAskedAgainAndSaidSo) {
  // Hung from its first byte for 7 s, then well: asked again every 2 s,
  // said once after 5 s, and recorded once it answers.
  {
    const std::string record = dir_ + "/late.rec";
    auto dongle = sim({"--devices", "4", "--rate", "4", "--record", record, "--stall-after", "0", "--stall-for", "7",
                       "--duration", "60"});
    const std::string out = dir_ + "/late.csv";
    auto rec = recorder({"--port", port_, "--out", out, "--duration", "11"});
    ASSERT_EQ(rec->wait(20000), 0) << rec->readAll(true);
    const std::string err = rec->readAll(true);
    EXPECT_EQ(occurrences(err, "no answer from the dongle on " + port_), 1u) << err;
    EXPECT_EQ(occurrences(err, "the dongle on " + port_ + " answers now"), 1u) << err;
    EXPECT_EQ(err.find("never answered"), std::string::npos) << err;
    EXPECT_GT(csvRows(readFile(out)).size(), 20u);
    ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
    ASSERT_EQ(dongle->wait(5000), 0);
    EXPECT_GE(received(record, "config-request"), 4u);
    EXPECT_GE(received(record, "start-adv"), 4u);
  }
  // Never answers: nothing recorded, and the end says so with status 1.
  auto dongle = sim({"--devices", "4", "--stall-after", "0", "--duration", "60"});
  const std::string out = dir_ + "/never.csv";
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "6"});
  EXPECT_EQ(rec->wait(15000), 1);
  const std::string err = rec->readAll(true);
  EXPECT_NE(err.find("no answer from the dongle on " + port_), std::string::npos) << err;
  EXPECT_NE(err.find("0 rows"), std::string::npos) << err;
  EXPECT_NE(err.find("the dongle on " + port_ + " never answered"), std::string::npos) << err;
}

TEST_F(RecordProgram, AFileDeletedWithItsFolderIsMadeAgainWithEverythingInIt) {
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "10", "--rate", "4", "--seed", "5", "--record", record, "--duration", "60"});
  const std::string folder = dir_ + "/class";
  std::filesystem::create_directory(folder);
  const std::string out = folder + "/monday.csv";
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "7"});
  sleepMs(3000);
  std::filesystem::remove_all(folder);
  sleepMs(2000);
  EXPECT_NE(rec->stderrSoFar().find(out + " was deleted while recording: made again"), std::string::npos)
      << rec->stderrSoFar();
  ASSERT_EQ(rec->wait(10000), 1);
  EXPECT_NE(rec->readAll(true).find("the file was deleted while recording and made again"), std::string::npos);
  ASSERT_EQ(::kill(dongle->pid(), SIGTERM), 0);
  ASSERT_EQ(dongle->wait(5000), 0);
  const std::string csv = readFile(out);
  EXPECT_EQ(occurrences(csv, "time,seconds"), 1u);
  EXPECT_LT(csvRows(csv).front().seconds, 1.5);
  expectOneRowPerReport(record, csv, false);
}

TEST_F(RecordProgram, ASlowReaderLosesNothingABlockedOneDoesNotHoldCtrlCAndAClosedOneEndsQuietly) {
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "40", "--rate", "5", "--seed", "7", "--record", record, "--duration", "90"});
  {
    // Nobody reads for 6 s (the pipe holds a few rows); then everything comes.
    test::ChildOptions small;
    small.stdoutPipeBytes = 4096;
    auto rec = std::make_unique<ChildProgram>(
        std::vector<std::string>{KV_RECORD_PROGRAM, "--port", port_, "--out", "-", "--duration", "8"}, small);
    sleepMs(6000);
    const std::string csv = rec->readAll(false);
    ASSERT_EQ(rec->wait(10000), 0) << rec->readAll(true);
    const auto check = expectOneRowPerReport(record, csv, false);
    EXPECT_GT(check.rows, 1000u);
  }
  {
    // Blocked for good (a pipe of a page that nobody reads): SIGTERM ends it
    // within 2 s, saying what was not written.
    test::ChildOptions small;
    small.stdoutPipeBytes = 4096;
    auto rec = std::make_unique<ChildProgram>(std::vector<std::string>{KV_RECORD_PROGRAM, "--port", port_, "--out", "-"},
                                              small);
    sleepMs(4000);
    ASSERT_EQ(::kill(rec->pid(), SIGTERM), 0);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(rec->wait(5000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(2000));
    const std::string err = rec->readAll(true);
    EXPECT_NE(err.find(" rows could not be written"), std::string::npos) << err;
  }
  {
    // `| head`: the reader goes away; the recording ends as with Ctrl-C.
    auto rec = recorder({"--port", port_, "--out", "-"});
    EXPECT_NE(rec->firstLine(5000), "");
    rec->closeOutput();
    EXPECT_EQ(rec->wait(5000), 0);
    const std::string err = rec->readAll(true);
    EXPECT_EQ(err.find("cannot write"), std::string::npos) << err;
    EXPECT_EQ(err.find("could not be written"), std::string::npos) << err;
  }
}

TEST_F(RecordProgram, AFullDiskIsSaidAndTheFileEndsOnAWholeRow) {
  auto dongle = sim({"--devices", "20", "--rate", "5", "--duration", "60"});
  // A file that may grow no more than 20,000 bytes fails as a full disk does:
  // the recorder is started under that limit.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 20000;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string out = dir_ + "/full.csv";
  auto rec = recorder({"--port", port_, "--out", out, "--duration", "30"});
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(rec->wait(20000), 1);
  const std::string err = rec->readAll(true);
  EXPECT_NE(err.find("cannot write " + out + ": disk full; the recording stops ("), std::string::npos) << err;
  EXPECT_NE(err.find("the recording stopped: disk full"), std::string::npos) << err;
  const std::string csv = readFile(out);
  EXPECT_GT(csv.size(), 19000u);
  EXPECT_LE(csv.size(), 20000u);
  EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n");
  const auto rows = readingRows(csv);
  EXPECT_NE(err.find("devices, " + std::to_string(rows.size()) + " rows"), std::string::npos) << err;
}

TEST_F(RecordProgram, ParticipantsNameThePeopleTheirPercentAndZone) {
  const std::string record = dir_ + "/sim.rec";
  auto dongle = sim({"--devices", "3", "--rate", "4", "--polar-share", "0", "--record", record, "--device-address",
                     "0=D8A01D5C3E01", "--device-address", "1=D8A01D5C3E02", "--duration", "60"});
  // A file that cannot be one: said, status 2, nothing sent to the dongle.
  std::ofstream(dir_ + "/bad.csv") << "name,max_hr\nAnna,190\n";
  auto refused = recorder({"--port", port_, "--participants", dir_ + "/bad.csv"});
  EXPECT_EQ(refused->wait(5000), 2);
  EXPECT_EQ(refused->readAll(true), "koravel-record: " + dir_ + "/bad.csv line 1: no 'address' column in the header\n");
  EXPECT_EQ(received(record, "soft-reset"), 0u);

  std::ofstream(dir_ + "/class.csv") << "address;name;max_hr;age\r\n"
                                        "d8:a0:1d:5c:3e:01;Anna;150;\r\n"
                                        "D8A01D5C3E02;Ben;;40\r\n"
                                        "D8A01D5C3E03;Cleo;abc;\r\n";
  const std::string out = dir_ + "/out.csv";
  auto rec = recorder({"--port", port_, "--participants", dir_ + "/class.csv", "--out", out, "--duration", "3"});
  ASSERT_EQ(rec->wait(10000), 0) << rec->readAll(true);
  const std::string err = rec->readAll(true);
  EXPECT_NE(err.find("koravel-record: " + dir_ + "/class.csv line 4: max_hr 'abc' is not a number from 100 to 230\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("2 participants from " + dir_ + "/class.csv"), std::string::npos) << err;
  std::size_t anna = 0, ben = 0, nobody = 0;
  for (const auto& row : readingRows(readFile(out))) {
    const int hr = std::stoi(row.key.substr(row.key.find('|', row.key.find('|') + 1) + 1));
    if (row.address == "D8A01D5C3E01") {
      ++anna;
      EXPECT_EQ(row.person, "Anna");
      EXPECT_EQ(row.maxHr, "150");
      EXPECT_EQ(row.pctMax, std::to_string(hr * 100 / 150));
      EXPECT_EQ(row.zone, std::to_string(zoneOf(hr, 150)));
    } else if (row.address == "D8A01D5C3E02") {
      ++ben;
      EXPECT_EQ(row.person, "Ben");
      EXPECT_EQ(row.maxHr, "180");
    } else {
      ++nobody;
      EXPECT_EQ(row.person + row.maxHr + row.pctMax + row.zone, "");
    }
  }
  EXPECT_GT(anna, 3u);
  EXPECT_GT(ben, 3u);
  EXPECT_GT(nobody, 3u);
}

TEST_F(RecordProgram, ItsOwnTerminalIsRefusedAndLeftAsItWas) {
  // The terminal it was started from (its controlling terminal, though no
  // standard stream is on it), by name, through /dev/tty and through a link.
  test::Pty terminal;
  ASSERT_TRUE(terminal.ok());
  const std::string before = terminal.lineSettings();
  const std::string link = dir_ + "/com-link";
  std::filesystem::create_symlink(terminal.slavePath(), link);
  for (const std::string& port : {terminal.slavePath(), std::string("/dev/tty"), link}) {
    // Should it take the terminal after all, it ends soon.
    ChildProgram rec({KV_RECORD_PROGRAM, "--port", port, "--out", dir_ + "/x.csv", "--duration", "1"},
                     terminalOf(terminal.slavePath()));
    EXPECT_EQ(rec.wait(5000), 1) << port;
    EXPECT_EQ(rec.readAll(true), "koravel-record: cannot open " + port + ": it is this program's own terminal\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.csv"));
  }
  EXPECT_EQ(terminal.lineSettings(), before);
}

TEST_F(RecordProgram, ListsWhatTheConsoleWouldList) {
  // Without --link the simulator's port is in the user's own port folder,
  // which the console lists.
  auto dongle = std::make_unique<ChildProgram>(std::vector<std::string>{KV_DONGLE_SIM_PROGRAM, "--quiet", "--duration", "60"});
  ASSERT_NE(dongle->firstLine(5000), "");
  auto list = recorder({"--list-ports"});
  EXPECT_EQ(list->wait(10000), 0);
  EXPECT_NE(list->readAll(false).find("dongle-sim-" + std::to_string(dongle->pid()) + "\n"), std::string::npos);

  // A port another program holds is listed as held; a folder others may use
  // is not listed from, and that is said.
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  const std::string folder = dir_ + "/koravel";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  test::Pty taken;
  SerialPort* holder = serialOpen(taken.slavePath().c_str(), nullptr);
  ASSERT_NE(holder, nullptr);
  std::filesystem::create_symlink(taken.slavePath(), folder + "/adapter");
  list = recorder({"--list-ports"});
  EXPECT_EQ(list->wait(10000), 0);
  EXPECT_NE(list->readAll(false).find(folder + "/adapter (held by another program)\n"), std::string::npos);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  list = recorder({"--list-ports"});
  EXPECT_EQ(list->wait(10000), 0);
  EXPECT_EQ(list->readAll(false).find(folder), std::string::npos);
  EXPECT_NE(list->readAll(true).find("koravel-record: Port folder " + folder +
                                     " not used: others may use it (mode 0777; it must be 0700)\n"),
            std::string::npos);
  serialClose(holder);
  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace kv::record
