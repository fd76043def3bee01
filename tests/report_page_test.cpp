// The session report's page in a real browser. koravel-report makes it of a
// small class recorded by the recording's own rows; headless Chromium from
// Debian opens it with no network. Any script error fails; every chart must
// have drawn its curve; the page asks for nothing outside itself; nothing
// from the recording runs as markup; printed to PDF it is A4 with every
// chart within the width of the page. Skipped when chromium is not
// installed. With KV_SCREENSHOT_DIR=DIR it also saves a picture of a report
// there, session-report.png (the one in docs/screenshots/).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "participants/participants.h"
#include "recording/csv.h"
#include "roster/slot_table.h"
#include "support/browser.h"
#include "support/child_program.h"
#include "support/class_recording.h"

namespace kv::test {
namespace {

// An A4 page's text in CSS pixels: 210 mm less the page's 12 mm margins.
constexpr int kA4TextWidth = static_cast<int>(186 / 25.4 * 96);

// What the probes report of each chart: "TAG ID LEFT RIGHT WIDTH CURVE
// FIRST COLOURED BLANK", the chart's place on the page, its canvas's width,
// the columns in which the curve drew a whole pixel of its colour (#111111:
// nothing else on a chart has it) and the first of them, the percentage of the canvas in colour
// (the zone bands), and how many of its canvases that show hold nothing
// (on paper, Chromium prints a canvas cleared while printing as white,
// over whatever is beneath it).
const char* kChartProbe = R"js(
function kvCharts(tag) {
  document.querySelectorAll("div.chart").forEach(function (div) {
    var width = 0, area = 0, coloured = 0, curve = {}, blank = 0;
    div.querySelectorAll("canvas").forEach(function (c) {
      if (!c.width || !c.height || getComputedStyle(c).visibility === "hidden") return;
      var d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data, painted = 0;
      width = Math.max(width, c.width);
      area = Math.max(area, c.width * c.height);
      for (var i = 0; i < d.length; i += 4) {
        var r = d[i], g = d[i + 1], b = d[i + 2], a = d[i + 3];
        if (a === 0) continue;
        painted++;
        if (Math.max(r, g, b) - Math.min(r, g, b) > 40) coloured++;
        if (a === 255 && Math.abs(r - 17) <= 1 && Math.abs(g - 17) <= 1 && Math.abs(b - 17) <= 1) curve[(i / 4) % c.width] = 1;
      }
      if (painted === 0) blank++;
    });
    var box = div.getBoundingClientRect();
    var columns = Object.keys(curve).map(Number);
    kvReport([tag, div.id, Math.round(box.left), Math.round(box.right), width, columns.length,
              columns.length ? Math.min.apply(null, columns) : -1, area ? Math.round(100 * coloured / area) : 0, blank].join(" "));
  });
}
)js";

struct Chart {
  std::string id;
  int left = 0, right = 0, width = 0, curveColumns = 0, firstCurveColumn = -1, colouredPercent = 0, blankCanvases = 0;
};

std::vector<Chart> chartsIn(const std::vector<std::string>& lines) {
  std::vector<Chart> charts;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string tag;
    Chart c;
    if (in >> tag && tag == "chart" && in >> c.id >> c.left >> c.right >> c.width >> c.curveColumns >> c.firstCurveColumn >> c.colouredPercent >>
                                              c.blankCanvases)
      charts.push_back(c);
  }
  return charts;
}

// What is wrong in a probe's report: the errors it kept, what the page
// asked for, or no report at all.
std::string troubleIn(const std::vector<std::string>& lines) {
  std::string trouble;
  bool done = false;
  for (const std::string& line : lines) {
    if (line.rfind("error ", 0) == 0 || line.rfind("fetched ", 0) == 0) trouble += line + "\n";
    done = done || line == "done";
  }
  if (!done) trouble += "the probe did not finish\n";
  return trouble;
}

// The page's console, to say what went wrong.
std::string consoleOf(const BrowserRun& run) {
  std::string texts = "the page's console:\n";
  for (const std::string& t : consoleTexts(run.log)) texts += "  " + t + "\n";
  return texts;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

class ReportPage : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = chromiumPath();
    if (chromium_.empty()) GTEST_SKIP() << "chromium is not installed (/usr/bin/chromium, or KV_CHROMIUM)";
    char dir[] = "/tmp/kv-report-page-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    scratch_ = dir;
  }

  void TearDown() override {
    std::error_code ec;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ec);
  }

  // A class of 8, 15 minutes at 2 reports a second, markers every 3
  // minutes, three devices silent for a while, one worn by nobody.
  std::string classRecording() {
    ClassRecording c;
    c.devices = 8;
    c.rateHz = 2;
    c.seconds = 900;
    c.markerEvery = 180;
    const std::string path = scratch_ + "/class.csv";
    EXPECT_TRUE(writeClassRecordingFile(path, c));
    return path;
  }

  // koravel-report's page of the recording at `csv`.
  std::string reportOf(const std::string& csv) {
    const std::string html = csv.substr(0, csv.size() - 4) + ".html";
    ChildProgram program({KV_REPORT_PROGRAM, csv, "--out", html});
    EXPECT_EQ(program.wait(30000), 0) << program.readAll(true);
    return html;
  }

  // The page at `html`, with `probe`, opened with `options`.
  BrowserRun open(const std::string& html, const std::string& probe, const std::vector<std::string>& options) {
    const std::string probed = html.substr(0, html.size() - 5) + "-probed.html";
    EXPECT_TRUE(writeFile(probed, withProbe(readFile(html), std::string(kChartProbe) + probe)));
    BrowserRun run = openInChromium(chromium_, probed, options, scratch_);
    EXPECT_EQ(run.status, 0) << run.log;
    return run;
  }

  std::string chromium_;
  std::string scratch_;
};

TEST_F(ReportPage, EveryChartDrawsItsCurveWithNoScriptErrorAndNothingFetched) {
  const std::string html = reportOf(classRecording());
  const BrowserRun run = open(html, R"js(
    window.addEventListener("load", function () { kvCharts("chart"); kvFinish(); });
  )js", {"--dump-dom", "--window-size=1000,800"});
  const std::vector<std::string> lines = probeLines(run.out);
  EXPECT_EQ(troubleIn(lines), "") << consoleOf(run);
  const std::vector<Chart> charts = chartsIn(lines);
  ASSERT_EQ(charts.size(), 8u);
  for (std::size_t i = 0; i < charts.size(); ++i) {
    const Chart& c = charts[i];
    EXPECT_EQ(c.id, "chart" + std::to_string(i));
    // The curve across most of the chart (less the axis, and the silent
    // gaps of three of them).
    EXPECT_GT(c.curveColumns, c.width / 2) << c.id;
    // The zone bands behind it, but for the one device nobody wears.
    if (i == 4) EXPECT_LT(c.colouredPercent, 5) << c.id;
    else EXPECT_GT(c.colouredPercent, 50) << c.id;
  }

  if (const char* dir = std::getenv("KV_SCREENSHOT_DIR"); dir != nullptr && *dir != '\0') {
    const std::string png = std::string(dir) + "/session-report.png";
    const BrowserRun shot = openInChromium(chromium_, html, {"--screenshot=" + png, "--window-size=900,1400"}, scratch_);
    EXPECT_EQ(shot.status, 0) << shot.log;
    EXPECT_TRUE(std::filesystem::exists(png));
  }
}

TEST_F(ReportPage, PrintsOnA4WithEveryChartWithinThePageWidth) {
  const std::string html = reportOf(classRecording());
  const std::string pdf = scratch_ + "/class.pdf";
  // A desktop's window, wider than the paper: the charts are drawn for it
  // first. The probe looks at the page laid out for print.
  const BrowserRun run = open(html, R"js(
    window.addEventListener("load", function () {
      window.matchMedia("print").addEventListener("change", function (e) {
        if (!e.matches) return;
        kvCharts("chart");
        // What the paper would cut off: the page wider than the paper, or
        // a table's box showing less than its table.
        var clipped = 0;
        document.querySelectorAll(".scroll").forEach(function (s) { if (s.scrollWidth > s.clientWidth + 1) clipped++; });
        kvReport("page " + document.body.scrollWidth + " " + clipped);
        kvFinish();
      });
    });
  )js", {"--print-to-pdf=" + pdf, "--no-pdf-header-footer", "--window-size=1400,900"});
  std::vector<std::string> lines;
  for (const std::string& text : consoleTexts(run.log))
    if (text.rfind("kv-probe ", 0) == 0) lines.push_back(text.substr(9));
  EXPECT_EQ(troubleIn(lines), "") << consoleOf(run);
  const std::vector<Chart> charts = chartsIn(lines);
  ASSERT_EQ(charts.size(), 8u);
  for (const Chart& c : charts) {
    EXPECT_LE(c.right, kA4TextWidth) << c.id;
    EXPECT_LE(c.width, kA4TextWidth) << c.id;
    EXPECT_GT(c.curveColumns, c.width / 2) << c.id;
    EXPECT_EQ(c.blankCanvases, 0) << c.id;
  }

  int pageWidth = 0, clipped = -1;
  for (const std::string& line : lines) std::sscanf(line.c_str(), "page %d %d", &pageWidth, &clipped);
  EXPECT_LE(pageWidth, kA4TextWidth + 2);  // the paper's box laid out in whole pixels
  EXPECT_EQ(clipped, 0);

  // Every page A4 (595 x 842 points).
  const std::string document = readFile(pdf);
  ASSERT_EQ(document.rfind("%PDF-", 0), 0u);
  int pages = 0;
  for (std::size_t at = document.find("/MediaBox"); at != std::string::npos; at = document.find("/MediaBox", at + 1)) {
    double x0 = -1, y0 = -1, x1 = 0, y1 = 0;
    ASSERT_EQ(std::sscanf(document.c_str() + at, "/MediaBox [%lf %lf %lf %lf]", &x0, &y0, &x1, &y1), 4);
    EXPECT_NEAR(x1 - x0, 595, 1.5);
    EXPECT_NEAR(y1 - y0, 842, 1.5);
    ++pages;
  }
  EXPECT_GE(pages, 3);
}

TEST_F(ReportPage, WhatARecordingHoldsNeitherRunsNorBreaksThePage) {
  // Markup in a device's name (it comes over the air), in a person's and in
  // markers; a device heard once; one with RR and no heart rate (no chart);
  // more markers than the page draws, one of them very late.
  const std::string csv = scratch_ + "/odd.csv";
  std::FILE* f = std::fopen(csv.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(csvHeader(), f);
  char row[kMaxRowSize];
  const std::int64_t start = 1796810400000;
  Participant person;
  std::snprintf(person.name, sizeof person.name, "%s", "<img src=x onerror=kvHit=2>");
  person.maxHr = 190;
  for (int s = 0; s < 300; ++s) {
    DeviceReport r;
    r.name = "<svg onload=kvHit=1>";
    r.address = "D0C5F3000101";
    r.heartRate = static_cast<std::uint8_t>(90 + s / 5);
    r.rrInterval = static_cast<std::uint16_t>(60000 / r.heartRate);
    std::fwrite(row, 1, formatReadingRow(row, start + s * 1000, s * 1000, r, &person), f);
    if (s == 150) {
      DeviceReport once;
      once.name = "Mirabeat HR-7 0999";
      once.address = "D0C5F3000999";
      once.heartRate = 120;
      once.rrInterval = kNoReading16;
      std::fwrite(row, 1, formatReadingRow(row, start + s * 1000, s * 1000, once), f);
      DeviceReport rrOnly;
      rrOnly.name = "Coros HRM 2231";
      rrOnly.address = "C41A22900B7E";
      rrOnly.heartRate = kNoReading8;
      rrOnly.rrInterval = 800;
      std::fwrite(row, 1, formatReadingRow(row, start + s * 1000, s * 1000, rrOnly), f);
    }
    if (s % 2 == 1) {
      const std::string text = s == 1 ? "</script><script>kvHit=3</script>" : std::to_string(s);
      std::fwrite(row, 1, formatMarkerRow(row, start + s * 1000 + 500, s * 1000 + 500, text.c_str()), f);
    }
  }
  const std::int64_t late = 3'000'000'000'000;  // 95 years on
  std::fwrite(row, 1, formatMarkerRow(row, start + late, late, "late"), f);
  ASSERT_EQ(std::fclose(f), 0);

  const std::string html = reportOf(csv);
  const BrowserRun run = open(html, R"js(
    window.addEventListener("load", function () {
      kvCharts("chart");
      if (window.kvHit !== undefined) kvReport("error the recording's markup ran: " + window.kvHit);
      var text = document.body.textContent;
      ["<svg onload=kvHit=1>", "<img src=x onerror=kvHit=2>", "<\/script><script>kvHit=3<\/script>",
       "No heart rate readings to draw.", "the charts show the first 100", "more segments between markers are not listed"]
        .forEach(function (t) { if (text.indexOf(t) < 0) kvReport("error not on the page: " + t); });
      kvFinish();
    });
  )js", {"--dump-dom"});
  const std::vector<std::string> lines = probeLines(run.out);
  EXPECT_EQ(troubleIn(lines), "") << consoleOf(run);
  // The person's chart and the one reading's; none for RR alone.
  const std::vector<Chart> charts = chartsIn(lines);
  ASSERT_EQ(charts.size(), 2u);
  EXPECT_EQ(charts[0].id, "chart0");
  EXPECT_GT(charts[0].curveColumns, charts[0].width / 2);
  // The one reading: a dot in the middle of a minute's chart, not half of
  // one on the axis of a chart with no time.
  EXPECT_EQ(charts[1].id, "chart1");
  EXPECT_GT(charts[1].curveColumns, 0);
  EXPECT_GT(charts[1].firstCurveColumn, charts[1].width / 4);
}

}  // namespace
}  // namespace kv::test
