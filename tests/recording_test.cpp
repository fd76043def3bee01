// Recording: the rows as written, and the engine under what goes wrong: a
// full disk, a file deleted while it is written, more devices than a class.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "recording/csv.h"
#include "recording/recording.h"
#include "support/recording_check.h"

namespace kv {
namespace {

DeviceReport report(const char* name, const char* address, std::uint8_t hr, std::uint16_t rr = 800,
                    std::uint8_t battery = 90, std::int8_t rssi = -60, std::uint8_t check = kReadingApplied) {
  return DeviceReport{.kind = 1, .name = name, .address = address, .check = check, .rssi = rssi, .heartRate = hr,
                      .rrInterval = rr, .battery = battery};
}

std::string row(const DeviceReport& r, std::int64_t unixMs = 0, std::int64_t sinceMs = 0) {
  char out[kMaxRowSize];
  const std::size_t n = formatReadingRow(out, unixMs, sinceMs, r);
  EXPECT_EQ(n, std::strlen(out));
  return std::string(out, n);
}

TEST(CsvRows, FieldsEmptyCellsQuotingAndMarkers) {
  EXPECT_EQ(csvHeader(), std::string("time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone\r\n"));
  EXPECT_EQ(row(report("Mirabeat 0007", "D8A01D5C3E71", 72, 833, 95), 1796830459123, 12345),
            "2026-12-09T15:34:19.123Z,12.345,D8A01D5C3E71,Mirabeat 0007,Mirabeat,72,833,95,-60,0x80,,,,,\r\n");
  // No value is an empty cell; padding is not part of the name.
  EXPECT_EQ(row(report("Polar H10 1       ", "AABBCCDDEEFF", 255, 65535, 255, 4, 0x00)),
            "1970-01-01T00:00:00.000Z,0.000,AABBCCDDEEFF,Polar H10 1,Polar,,,,4,0x00,,,,,\r\n");
  // RFC 4180 quoting.
  EXPECT_EQ(row(report("Team \"A\", lane 3", "0A0B0C0D0E0F", 0, 0, 0, -128)),
            "1970-01-01T00:00:00.000Z,0.000,0A0B0C0D0E0F,\"Team \"\"A\"\", lane 3\",other,0,0,0,-128,0x80,,,,,\r\n");
  char out[kMaxRowSize];
  formatMarkerRow(out, 1796830459123, 61000, "3");
  EXPECT_STREQ(out, "2026-12-09T15:34:19.123Z,61.000,,,,,,,,,3,,,,\r\n");
  formatMarkerRow(out, 0, 0, "=warm-up, \"easy\"\x1b[2J");
  EXPECT_STREQ(out, "1970-01-01T00:00:00.000Z,0.000,,,,,,,,,\"'=warm-up, \"\"easy\"\"?[2J\",,,,\r\n");
}

TEST(CsvRows, TextsFromTheAirAreNeitherFormulasNorControls) {
  // A name or address that a spreadsheet would run gets an apostrophe; a
  // control character is never written; UTF-8 names stay, Latin-1 ones are
  // made UTF-8.
  EXPECT_NE(row(report("=HYPERLINK(\"http://x\")", "+0B0C0D0E0F1", 70)).find(",'+0B0C0D0E0F1,\"'=HYPERLINK("),
            std::string::npos);
  EXPECT_NE(row(report("-1+1", "@SUM(A1:A9)0", 70)).find(",'@SUM(A1:A9)0,'-1+1,other,"), std::string::npos);
  EXPECT_NE(row(report("\tTab\rCR\x1b]0;title\x07", "0A0B0C0D0E0F", 70)).find(",?Tab?CR?]0;title?,"),
            std::string::npos);
  EXPECT_NE(row(report("Zo\xc3\xab", "0A0B0C0D0E0F", 70)).find(",Zo\xc3\xab,"), std::string::npos);
  EXPECT_NE(row(report("Zo\xeb", "0A0B0C0D0E0F", 70)).find(",Zo\xc3\xab,"), std::string::npos);
  // The widest row fits.
  const std::string quotes(kDeviceNameWidth, '\xe9');
  const std::string widest = row(report(quotes.c_str(), "============", 254, 65534, 254, -127, 0xFF),
                                 INT64_C(253402300799999), INT64_C(4000000000000));
  EXPECT_LT(widest.size(), kMaxRowSize);
  char name[32];
  defaultRecordingName(name, 1796830459123);
  EXPECT_STREQ(name, "koravel-20261209-153419Z.csv");
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kv-recording-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static void feed(Recording& r, const DeviceReport& rep) { r.sink().report(r.sink().arg, rep); }
  static void feedMany(Recording& r, int count, int devices = 8) {
    char address[16];
    for (int i = 0; i < count; ++i) {
      std::snprintf(address, sizeof address, "%012d", i % devices);
      feed(r, report("Mirabeat", address, static_cast<std::uint8_t>(60 + i % 100)));
    }
  }
  static std::vector<test::CsvRow> rowsOf(const std::string& csv) {
    std::string problem;
    auto rows = test::readCsvRows(csv, &problem);
    EXPECT_EQ(problem, "");
    return rows;
  }
  std::string dir_;
};

TEST_F(RecordingTest, ReadingsAndMarkersInTheOrderTheyCame) {
  Recording rec;
  const std::string path = dir_ + "/class.csv";
  int err = 0;
  feed(rec, report("Before", "000000000009", 50));  // not recording yet: not kept
  ASSERT_TRUE(rec.startFile(path.c_str(), false, &err)) << err;
  EXPECT_STREQ(rec.fileName(), "class.csv");
  feed(rec, report("Mirabeat 1", "000000000001", 70));
  feed(rec, report("Unapplied", "000000000003", 71, 800, 90, -60, 0x00));  // only 0x80 readings by default
  EXPECT_EQ(rec.mark(), 1u);
  feed(rec, report("Polar H10", "000000000002", 80));
  EXPECT_EQ(rec.mark("sprint"), 2u);
  rec.sink().badSeal(rec.sink().arg);
  const RecordingStats st = rec.stop(5000);
  EXPECT_FALSE(st.running);
  EXPECT_EQ(st.fault, RecordingFault::None);
  EXPECT_EQ(st.rows, 2u);
  EXPECT_EQ(st.markersWritten, 2u);
  EXPECT_EQ(st.devices, 2u);
  EXPECT_EQ(st.badSeals, 1u);
  EXPECT_EQ(st.lost + st.unwritten, 0u);
  const auto rows = rowsOf(readFile(path));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].key, "000000000001|Mirabeat 1|70|800|90|-60|0x80");
  EXPECT_EQ(rows[1].marker, "1");
  EXPECT_EQ(rows[2].key, "000000000002|Polar H10|80|800|90|-60|0x80");
  EXPECT_EQ(rows[3].marker, "sprint");
  // After the stop nothing more is taken; a second file never overwrites.
  feed(rec, report("After", "000000000004", 50));
  EXPECT_EQ(rec.mark(), 0u);
  EXPECT_FALSE(rec.startFile(path.c_str(), false, &err));
  EXPECT_EQ(err, EEXIST);
  EXPECT_EQ(rowsOf(readFile(path)).size(), 4u);
  // The operator may say to replace it.
  ASSERT_TRUE(rec.startFile(path.c_str(), true, &err));
  rec.stop(5000);
  EXPECT_EQ(readFile(path), csvHeader());
}

TEST_F(RecordingTest, TheDongleIsSaidFirstAndWheneverItChanges) {
  Recording rec;
  rec.noteDongle("MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");  // heard before the recording
  int err = 0;
  const std::string path = dir_ + "/dongle.csv";
  ASSERT_TRUE(rec.startFile(path.c_str(), false, &err));
  feed(rec, report("Mirabeat", "0000000000A1", 70));
  rec.noteDongle("MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");  // the same again: nothing
  EXPECT_EQ(rec.mark(), 1u);
  rec.noteDongle("=Other\x1b @D8:A0:1D:5C:3E:72  Ver. 2.08");  // another port's dongle
  rec.stop(5000);
  const auto rows = rowsOf(readFile(path));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].brand, "dongle");
  EXPECT_EQ(rows[0].name, "MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");
  EXPECT_EQ(rows[1].name, "Mirabeat");
  EXPECT_EQ(rows[2].marker, "1");
  EXPECT_EQ(rows[3].brand, "dongle");
  EXPECT_EQ(rows[3].name, "'=Other? @D8:A0:1D:5C:3E:72  Ver. 2.08");
  EXPECT_EQ(rec.stats().markersWritten, 1u);
}

TEST_F(RecordingTest, RowsNameTheParticipantTheirMaximumPercentAndZone) {
  auto people = std::make_shared<ParticipantTable>();
  people->put(Participant{"0000000000A1", "Zo\xc3\xab", 200});
  people->put(Participant{"0000000000A2", "=Ben+1", 0});
  Recording rec;
  int err = 0;
  const std::string path = dir_ + "/people.csv";
  rec.setParticipants(people);
  ASSERT_TRUE(rec.startFile(path.c_str(), false, &err));
  feed(rec, report("Mirabeat", "0000000000a1", 139));  // 69 %: zone 2 (an address in any case)
  feed(rec, report("Mirabeat", "0000000000A1", 140));  // 70 %: zone 3
  feed(rec, report("Mirabeat", "0000000000A1", 255));  // no heart rate: no percent, no zone
  feed(rec, report("Coros", "0000000000A2", 150));     // no maximum known
  feed(rec, report("Coros", "0000000000A3", 150));     // nobody
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  rec.setParticipants(nullptr);  // forgotten: from now on nobody
  feed(rec, report("Mirabeat", "0000000000A1", 150));
  rec.stop(5000);
  const auto rows = rowsOf(readFile(path));
  ASSERT_EQ(rows.size(), 6u);
  const std::vector<std::vector<std::string>> want = {{"Zo\xc3\xab", "200", "69", "2"}, {"Zo\xc3\xab", "200", "70", "3"},
                                                      {"Zo\xc3\xab", "200", "", ""},      {"'=Ben+1", "", "", ""},
                                                      {"", "", "", ""},                      {"", "", "", ""}};
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ((std::vector<std::string>{rows[i].person, rows[i].maxHr, rows[i].pctMax, rows[i].zone}), want[i]) << i;
}

TEST_F(RecordingTest, AFullQueueCountsWhatItLosesAndMoreDevicesThanAClassAreCounted) {
  RecordingOptions options;
  options.queueRows = 1000;
  Recording rec(options);
  int err = 0;
  ASSERT_TRUE(rec.startFile((dir_ + "/many.csv").c_str(), false, &err));
  // Faster than any writer: what does not fit is counted, never silently dropped.
  feedMany(rec, 5000, 1200);
  const RecordingStats st = rec.stop(5000);
  EXPECT_EQ(st.rows + st.lost, 5000u);
  EXPECT_GT(st.lost, 0u);
  EXPECT_EQ(rowsOf(readFile(dir_ + "/many.csv")).size(), st.rows);
  // 1,200 devices, all counted when their rows are written.
  Recording big;
  ASSERT_TRUE(big.startFile((dir_ + "/big.csv").c_str(), false, &err));
  for (int round = 0; round < 3; ++round) {
    feedMany(big, 1200, 1200);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  const RecordingStats all = big.stop(5000);
  EXPECT_EQ(all.rows, 3600u);
  EXPECT_EQ(all.devices, 1200u);
  EXPECT_FALSE(all.moreDevices);
}

TEST_F(RecordingTest, ADiskFullCutsBackToTheLastWholeRowAndStops) {
  // A file that may grow no further fails as a full disk does: some of a
  // write goes out, then nothing.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 10000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Recording rec;
  int err = 0;
  const std::string path = dir_ + "/full.csv";
  ASSERT_TRUE(rec.startFile(path.c_str(), false, &err));
  for (int i = 0; i < 40 && rec.running(); ++i) {
    feedMany(rec, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  const RecordingStats st = rec.stop(5000);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(st.fault, RecordingFault::DiskFull);
  char words[64];
  recordingFaultWords(st, words, sizeof words);
  EXPECT_STREQ(words, "disk full");
  const std::string csv = readFile(path);
  EXPECT_LE(csv.size(), 10000u);
  EXPECT_GT(csv.size(), 9000u);
  EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n") << "cut in the middle of a row";
  EXPECT_EQ(rowsOf(csv).size(), st.rows);
  EXPECT_GT(st.unwritten, 0u);
}

TEST_F(RecordingTest, AFileDeletedWithItsFolderIsMadeAgainWithEverythingInIt) {
  Recording rec;
  int err = 0;
  const std::string folder = dir_ + "/class";
  std::filesystem::create_directory(folder);
  const std::string path = folder + "/session.csv";
  ASSERT_TRUE(rec.startFile(path.c_str(), false, &err));
  feedMany(rec, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::filesystem::remove_all(folder);
  feedMany(rec, 100);
  // Noticed within two seconds.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (rec.stats().remade == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(rec.stats().remade, 1u);
  feedMany(rec, 100);
  const RecordingStats st = rec.stop(5000);
  EXPECT_EQ(st.fault, RecordingFault::None);
  EXPECT_EQ(st.rows, 300u);
  EXPECT_EQ(rowsOf(readFile(path)).size(), 300u);  // the header first, every row once
}

}  // namespace
}  // namespace kv
