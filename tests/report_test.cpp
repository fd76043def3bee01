// Session reports: recordings of every version read back, the bad ones said
// line by line, and the figures' definitions on small recordings whose
// answers are known.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "participants/participants.h"
#include "report/figures.h"
#include "report/outputs.h"
#include "report/session.h"
#include "support/class_recording.h"

namespace kv::report {
namespace {

const char* kHeader =
    "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone\r\n";

// A reading's row: seconds, address, heart rate, RR ("" for none).
std::string row(double seconds, const char* address, const std::string& hr, const std::string& rr = "",
                const char* person = "", const char* maxHr = "") {
  char line[400];
  std::snprintf(line, sizeof line, "2026-12-09T10:00:%02d.%03dZ,%.3f,%s,Mirabeat 7,Mirabeat,%s,%s,80,-60,0x80,,%s,%s,,\r\n",
                static_cast<int>(seconds) % 60, static_cast<int>(seconds * 1000) % 1000, seconds, address, hr.c_str(),
                rr.c_str(), person, maxHr);
  return line;
}

std::string marker(double seconds, const char* text) {
  char line[200];
  std::snprintf(line, sizeof line, "2026-12-09T10:00:%02d.000Z,%.3f,,,,,,,,,%s,,,,\r\n", static_cast<int>(seconds) % 60,
                seconds, text);
  return line;
}

Session read(const std::string& text) {
  std::istringstream in(text);
  Session s;
  std::string refusal;
  EXPECT_TRUE(readSession(in, &s, &refusal)) << refusal;
  return s;
}

TEST(ReportReading, EveryVersionTheBadRowsSaidByLineAndTheRestUsed) {
  // Koravel 2.0a's ten columns, and an unknown column at the end.
  Session s = read("time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,extra\r\n"
                   "2026-12-09T10:00:00.500Z,0.500,A1,Mirabeat 1,Mirabeat,70,850,90,-60,0x80,x\r\n"
                   "2026-12-09T10:00:01.500Z,1.500,A1,Mirabeat 1,Mirabeat,,,90,-60,0x80,x\r\n");
  ASSERT_EQ(s.devices.size(), 1u);
  EXPECT_EQ(s.startUnixMs, 1796810400000);
  ASSERT_EQ(s.devices[0].samples.size(), 2u);
  EXPECT_EQ(s.devices[0].samples[1].heartRate, 0);
  EXPECT_TRUE(s.problems.empty());

  // Out of order, a bad cell, a short row, a marker, and the last row cut
  // off by a crash.
  s = read(std::string(kHeader) + row(2, "A1", "72") + row(1, "A1", "71") + row(3, "A1", "x7") +
           "2026-12-09T10:00:04.000Z,4.000,A1\r\n" + marker(4.5, "sprint") + row(5, "'=A2", "80", "", "'=Bob", "190") +
           "2026-12-09T10:00:06.000Z,6.000,A1,Mira");
  const std::vector<std::string> want = {
      "line 4: heart_rate 'x7' is not a number from 0 to 255; left out",
      "line 5: 3 cells where the header has 15; left out",
      "line 8: cut short (the recording ends in the middle of a row); left out",
      "1 rows were out of time order; they are put in order",
  };
  EXPECT_EQ(s.problems, want);
  ASSERT_EQ(s.devices.size(), 2u);
  EXPECT_EQ(s.devices[0].samples[0].heartRate, 71);
  EXPECT_EQ(s.devices[0].samples[1].heartRate, 72);
  EXPECT_EQ(s.devices[1].address, "=A2");  // the apostrophe that kept it from being a formula is not part of it
  EXPECT_EQ(s.devices[1].person, "=Bob");
  EXPECT_EQ(s.devices[1].maxHr, 190);
  ASSERT_EQ(s.markers.size(), 1u);
  EXPECT_EQ(s.markers[0].text, "sprint");
  EXPECT_EQ(s.markers[0].ms, 4500);
  EXPECT_EQ(s.firstMs, 1000);
  EXPECT_EQ(s.lastMs, 5000);

  // The dongle's rows name it and are no device.
  s = read(std::string(kHeader) + "2026-12-09T10:00:00.100Z,0.100,,MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07,dongle,,,,,,,,,,\r\n" +
           row(1, "A1", "70"));
  EXPECT_EQ(s.dongles, std::vector<std::string>{"MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07"});
  EXPECT_EQ(s.devices.size(), 1u);

  // An empty recording is one; something else is not.
  s = read(kHeader);
  EXPECT_EQ(s.rows, 0u);
  std::istringstream other("name,max_hr\nAnna,190\n");
  std::string refusal;
  EXPECT_FALSE(readSession(other, &s, &refusal));
  EXPECT_EQ(refusal, "it is not a recording: line 1 has no address, seconds and heart_rate columns");
  std::istringstream binary(std::string("\x7f" "ELF\0\0", 6));
  EXPECT_FALSE(readSession(binary, &s, &refusal));
  EXPECT_EQ(refusal, "it is not a text file");

  // Participants given for a recording that names nobody.
  s = read(std::string(kHeader) + row(1, "D8A01D5C3E71", "70"));
  ParticipantTable people;
  people.put(Participant{"D8A01D5C3E71", "Anna", 180});
  nameParticipants(&s, people);
  EXPECT_EQ(s.devices[0].person, "Anna");
  EXPECT_EQ(s.devices[0].maxHr, 180);
}

TEST(ReportReading, OutlandishRowsAreReadWithoutHoldingThemWhole) {
  // A reading with a million empty cells after it; one with a name of a
  // megabyte (its first 64 KB kept); then a quote that never closes, which
  // takes the rest of the file into one cell: a row cut short.
  const std::string first = row(1, "A1", "70");
  std::string text = kHeader + first.substr(0, first.size() - 2) + std::string(1000000, ',') + "\r\n";
  text += "2026-12-09T10:00:02.000Z,2.000,A1," + std::string(1 << 20, 'n') + ",Mirabeat,71,,80,-60,0x80,,,,,\r\n";
  text += "2026-12-09T10:00:03.000Z,3.000,A1,\"Mira" + std::string(200000, 'b') + "\r\n" + row(4, "A1", "72");
  const Session s = read(text);
  ASSERT_EQ(s.devices.size(), 1u);
  EXPECT_EQ(s.devices[0].samples.size(), 2u);
  EXPECT_EQ(s.devices[0].name, std::string(1 << 16, 'n'));
  EXPECT_EQ(s.problems, std::vector<std::string>{"line 4: cut short (the recording ends in the middle of a row); left out"});
}

TEST(ReportFigures, ReadingsCountUntilTheNextAtMostFiveSecondsInTheirZones) {
  // Readings at 0, 1, 2 and 10 s; a row without a heart rate at 1.5 s is
  // not one; the recording ends at 12 s.
  const Session s = read(std::string(kHeader) + row(0, "A1", "60", "", "Ann", "100") + row(1, "A1", "70") +
                         row(1.5, "A1", "") + row(2, "A1", "80") + row(10, "A1", "90") + row(12, "B2", "50"));
  const Device& d = s.devices[0];
  const Figures f = figuresOf(d, beatsOf(d), Span{s.firstMs, s.lastMs + 1}, s.lastMs);
  EXPECT_EQ(f.readings, 4u);
  EXPECT_DOUBLE_EQ(f.averageHr, 75);
  EXPECT_EQ(f.minHr, 60);
  EXPECT_EQ(f.maxHr, 90);
  // 1 + 1 + 5 (of an 8 s gap, 3 s silent) + 2 (to the end).
  EXPECT_DOUBLE_EQ(f.seconds, 9);
  ASSERT_TRUE(f.zonesKnown);
  const double zones[6] = {0, 0, 1, 1, 5, 2};  // 60 % zone 2, 70 % zone 3, 80 % zone 4, 90 % zone 5
  for (int z = 0; z < 6; ++z) EXPECT_DOUBLE_EQ(f.zoneSeconds[z], zones[z]) << z;
  // The span after a marker at 1.5 s: the readings in it, and the time
  // that falls in it.
  const Figures after = figuresOf(d, beatsOf(d), Span{1500, s.lastMs + 1}, s.lastMs);
  EXPECT_EQ(after.readings, 2u);
  EXPECT_DOUBLE_EQ(after.seconds, 7.5);
  EXPECT_DOUBLE_EQ(after.zoneSeconds[3], 0.5);
}

TEST(ReportFigures, BeatsFromRepeatedRowsArtefactsAndVariability) {
  std::string rows = kHeader;
  // The dongle repeats a device's latest RR: 1000 ms again 200 ms later is
  // the same beat; 950 ms after the beat (0.9 x 1000 passed) it is the next.
  rows += row(0, "A1", "60", "1000") + row(0.2, "A1", "60", "1000") + row(0.95, "A1", "60", "1000");
  // Out of range: a beat, rejected; a row without RR changes nothing.
  rows += row(1.2, "A1", "60", "250") + row(1.3, "A1", "60", "");
  // Then a run with one artefact (1500 among beats near 1000).
  const int rrs[] = {1010, 990, 1000, 1500, 1005, 995, 1000};
  double t = 2;
  for (const int rr : rrs) {
    rows += row(t, "A1", "60", std::to_string(rr));
    t += 1;
  }
  const Session s = read(rows);
  const Device& d = s.devices[0];
  const std::vector<Beat> beats = beatsOf(d);
  ASSERT_EQ(beats.size(), 10u);
  EXPECT_EQ(beats[1].ms, 950);
  EXPECT_FALSE(beats[2].kept);  // 250: out of range
  EXPECT_FALSE(beats[6].kept);  // 1500: more than 20 % off its neighbours' median
  const Figures f = figuresOf(d, beats, Span{s.firstMs, s.lastMs + 1}, s.lastMs);
  EXPECT_EQ(f.beats, 10u);
  EXPECT_EQ(f.beatsRejected, 2u);
  // Kept: 1000, 1000, 1010, 990, 1000, 1005, 995, 1000.
  EXPECT_DOUBLE_EQ(f.meanRr, 1000);
  EXPECT_NEAR(f.sdnn, std::sqrt(250.0 / 7), 1e-9);
  // Differences of kept beats that follow each other: 1000-1000 (0);
  // 1010-990 (-20), 990-1000 (10); 1005-995 (-10), 995-1000 (5). The 250
  // and the 1500 break the runs.
  EXPECT_NEAR(f.rmssd, std::sqrt((0 + 400 + 100 + 100 + 25) / 5.0), 1e-9);
  EXPECT_DOUBLE_EQ(f.pnn50, 0);
  // A device with no RR has none of these.
  const Session quiet = read(std::string(kHeader) + row(0, "B2", "70") + row(1, "B2", "71"));
  const Figures none = figuresOf(quiet.devices[0], beatsOf(quiet.devices[0]), Span{0, 2000}, 1000);
  EXPECT_FALSE(none.rrKnown || none.sdnnKnown || none.rmssdKnown);
  EXPECT_FALSE(none.zonesKnown);
}

TEST(ReportFigures, SegmentsBetweenMarkers) {
  const Session s = read(std::string(kHeader) + row(0, "A1", "70") + marker(10, "warm-up done") + row(20, "A1", "71") +
                         marker(30, "sprint") + marker(30, "again") + row(40, "A1", "72"));
  const std::vector<Span> spans = segments(s);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].fromMs, 0);
  EXPECT_EQ(spans[0].toMs, 10000);
  EXPECT_EQ(spans[1].toMs, 30000);
  EXPECT_EQ(spans[2].fromMs, 30000);
  EXPECT_EQ(spans[2].toMs, 40001);
}

TEST(ReportFigures, SegmentsShareOutTheWholeSession) {
  // A class with silent gaps, and markers: two at the same time (in a
  // device's gap), one on a reading's time.
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  test::ClassRecording c;
  c.devices = 6;
  c.rateHz = 5;
  c.seconds = 300;
  c.markerEvery = 37;
  test::writeClassRecording(f, c);
  std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  ASSERT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
  text += marker(150, "a") + marker(150, "b") + marker(200.2, "on a reading");
  const Session s = read(text);
  const Report r = makeReport(s, "class.csv");
  ASSERT_EQ(r.spans.size(), s.markers.size());  // the two at 150 s begin one segment
  for (const DeviceReport& d : r.devices) {
    ASSERT_EQ(d.segments.size(), r.spans.size());
    Figures sum;
    for (const Figures& f : d.segments) {
      sum.readings += f.readings;
      sum.seconds += f.seconds;
      for (int z = 0; z < 6; ++z) sum.zoneSeconds[z] += f.zoneSeconds[z];
      sum.beats += f.beats;
      sum.beatsRejected += f.beatsRejected;
    }
    EXPECT_EQ(sum.readings, d.whole.readings) << d.device->address;
    EXPECT_NEAR(sum.seconds, d.whole.seconds, 1e-6) << d.device->address;
    for (int z = 0; z < 6; ++z) EXPECT_NEAR(sum.zoneSeconds[z], d.whole.zoneSeconds[z], 1e-6) << z;
    EXPECT_EQ(sum.beats, d.whole.beats) << d.device->address;
    EXPECT_EQ(sum.beatsRejected, d.whole.beatsRejected) << d.device->address;
    EXPECT_GT(d.whole.beats, 0u);
  }
}

// How many times `what` is in `text`.
std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ReportHtml, NothingFromTheRecordingIsMarkup) {
  const Session clean = read(std::string(kHeader) + row(1, "A1", "70") + row(2, "A1", "71"));
  const std::string plain = reportHtml(makeReport(clean, "class.csv"));
  // Markup in every text a recording carries: the dongle's line, an
  // address, a name, a person, a marker, a cell a problem quotes, and the
  // file's own name.
  const std::string tag = "<script>x</script><img src=x onerror=y>";
  const Session s = read(std::string(kHeader) + "2026-12-09T10:00:00.000Z,0.000,,\"" + tag + "\",dongle,,,,,,,,,,\r\n" +
                         row(1, tag.c_str(), "70") + row(2, "A1", "71", "", tag.c_str(), "190") + marker(1.5, tag.c_str()) +
                         row(3, "A1", tag));
  ASSERT_EQ(s.problems.size(), 1u);
  const std::string page = reportHtml(makeReport(s, tag + ".csv"));
  for (const char* markup : {"<script", "</script", "<img"}) EXPECT_EQ(count(page, markup), count(plain, markup)) << markup;
  EXPECT_GE(count(page, "&lt;script&gt;x&lt;/script&gt;&lt;img src=x onerror=y&gt;"), 6u);
}

TEST(ReportHtml, AFloodOfMarkersDongleLinesOrDevicesIsCutDownOnThePage) {
  // A recording with thousands of markers (lines piped into koravel-record)
  // and as many dongle lines: the page lists the first segments and draws
  // the first markers, and says how many more there are.
  std::string text = kHeader;
  for (int i = 0; i < 3000; ++i) {
    text += "2026-12-09T10:00:00.000Z," + std::to_string(i) + ".000,,Dongle " + std::to_string(i) + ",dongle,,,,,,,,,,\r\n";
    for (const char* a : {"A1", "B2", "C3", "D4"}) text += row(i + 0.2, a, "120", "500");
    text += marker(i + 0.5, ("m" + std::to_string(i)).c_str());
  }
  // A device heard only with RR has no chart.
  text += row(10, "E5", "", "800");
  const Session s = read(text);
  EXPECT_EQ(s.dongles.size(), kDongleLinesKept);
  EXPECT_EQ(s.otherDongleRows, 3000 - kDongleLinesKept);
  const Report r = makeReport(s, "many.csv");
  EXPECT_EQ(r.spans.size(), 3001u);
  for (const DeviceReport& d : r.devices) EXPECT_EQ(d.segments.size(), kSegmentsListed);
  const std::string page = reportHtml(r);
  EXPECT_LT(page.size(), 1000000u);
  EXPECT_NE(page.find("&ldquo;m98&rdquo;"), std::string::npos);   // segment 100 begins at marker 99 (m98)
  EXPECT_EQ(page.find("&ldquo;m99&rdquo;"), std::string::npos);
  EXPECT_NE(page.find(",\"m99\"]"), std::string::npos);  // the 100th marker drawn, not the 101st
  EXPECT_EQ(page.find(",\"m100\"]"), std::string::npos);
  EXPECT_NE(page.find("2901 more segments between markers are not listed."), std::string::npos);
  EXPECT_NE(page.find("3000 (the charts show the first 100)"), std::string::npos);
  EXPECT_NE(page.find("and 2990 rows with other lines"), std::string::npos);
  EXPECT_EQ(count(page, "class=\"chart\""), 4u);
  EXPECT_NE(page.find("No heart rate readings to draw."), std::string::npos);

  // Thousands of devices (a file made up, or a crowd passing by): the page
  // shows those heard longest, the summary every one.
  text = kHeader;
  for (int i = 0; i < 3000; ++i) text += row(i / 10.0, ("P" + std::to_string(i)).c_str(), "80");
  for (int i = 0; i < 600; ++i) text += row(400 + i, "A1", "120") + row(400 + i, "B2", "121");
  const Session crowd = read(text);
  const Report cr = makeReport(crowd, "crowd.csv");
  const std::string crowdPage = reportHtml(cr);
  EXPECT_EQ(count(crowdPage, "<section class=\"device\">"), kDevicesShown);
  EXPECT_NE(crowdPage.find("3002 (this page shows the 500 heard longest"), std::string::npos);
  EXPECT_NE(crowdPage.find("id=\"chart3000\""), std::string::npos);  // A1 and B2, seen last
  EXPECT_NE(crowdPage.find("id=\"chart3001\""), std::string::npos);
  EXPECT_EQ(count(summaryCsv(cr), "\r\n"), 3003u);
}

}  // namespace
}  // namespace kv::report
