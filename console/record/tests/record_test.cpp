// koravel-record: its rows and options, and the program itself against the
// simulated dongle program over a real pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/record/csv_row.h"
#include "console/record/device_table.h"
#include "console/record/record_options.h"
#include "link/frame.h"
#include "link/serial_port.h"
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

std::string row(const DeviceReport& r, std::int64_t unixMs = 0, std::int64_t sinceMs = 0) {
  char out[kMaxRowSize];
  const std::size_t n = formatCsvRow(out, unixMs, sinceMs, r);
  EXPECT_EQ(n, std::strlen(out));
  return std::string(out, n);
}

TEST(CsvRow, FieldsEmptyCellsAndQuoting) {
  EXPECT_EQ(row(report("Mirabeat 0007", "D8A01D5C3E71", 72, 833, 95), 1796830459123, 12345),
            "2026-12-09T15:34:19.123Z,12.345,D8A01D5C3E71,Mirabeat 0007,Mirabeat,72,833,95,-60,0x80\r\n");
  // No value is an empty cell; padding is not part of the name.
  EXPECT_EQ(row(report("Polar H10 1       ", "AABBCCDDEEFF", 255, 65535, 255, 4, 0x00)),
            "1970-01-01T00:00:00.000Z,0.000,AABBCCDDEEFF,Polar H10 1,Polar,,,,4,0x00\r\n");
  // RFC 4180: a name with a comma, a quote or a line break is quoted, its
  // quotes doubled.
  EXPECT_EQ(row(report("Team \"A\", lane 3", "0A0B0C0D0E0F", 0, 0, 0, -128)),
            "1970-01-01T00:00:00.000Z,0.000,0A0B0C0D0E0F,\"Team \"\"A\"\", lane 3\",other,0,0,0,-128,0x80\r\n");
  EXPECT_EQ(row(report("a\r\nb", "0A0B0C0D0E0F", 1, 2, 3)).substr(44, 7), "\"a\r\nb\",");
  // The widest row fits.
  const std::string widest = row(report("\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"", "\"\"\"\"\"\"\"\"\"\"\"\"",
                                        254, 65534, 254, -127, 0xFF),
                                 INT64_C(253402300799999), INT64_C(4000000000000));
  EXPECT_LT(widest.size(), kMaxRowSize);
  EXPECT_EQ(widest.substr(0, 25), "9999-12-31T23:59:59.999Z,");
}

TEST(CsvRow, IsoTimesAcrossDatesAndBeforeTheEpoch) {
  char out[32];
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},     // a leap day of a century year
      {1709251199999, "2024-02-29T23:59:59.999Z"},
      {4107542400000, "2100-03-01T00:00:00.000Z"},     // 2100 is no leap year
      {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (const auto& [ms, text] : cases) {
    EXPECT_EQ(formatIsoUtc(out, ms), std::strlen(text));
    EXPECT_STREQ(out, text);
  }
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
  EXPECT_TRUE(o.all);
  EXPECT_EQ(parse({"--list-ports"}, &o, &error), RecordParse::ListPorts);
  EXPECT_EQ(parse({"--port", "x", "--help"}, &o, &error), RecordParse::Help);
  const std::pair<std::vector<const char*>, const char*> bad[] = {
      {{}, "no port given"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "x", "--duration", "0"}, "--duration needs a number of seconds above 0"},
      {{"--port", "x", "--duration", "10s"}, "not '10s'"},
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
  std::unique_ptr<ChildProgram> recorder(std::vector<std::string> args) {
    args.insert(args.begin(), KV_RECORD_PROGRAM);
    return std::make_unique<ChildProgram>(args);
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

  const auto rows = csvRows(readFile(out));
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
  EXPECT_NE(csv.find(",0x00\r\n"), std::string::npos);
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
  const auto rows = csvRows(csv);
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
    ChildProgram rec({KV_RECORD_PROGRAM, "--port", port, "--out", dir_ + "/x.csv", "--duration", "1"}, false,
                     terminal.slavePath());
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
