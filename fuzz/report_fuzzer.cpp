// libFuzzer target for the recording reader and what the session report
// makes of what it read.
//
// Input: the text of a recording. When the reader takes it, the report is
// worked out and every output written (the page, the summary, the RR files
// and their names), and checked, besides what the sanitizers catch:
// - each device's rows and the markers are in time order, within the
//   session's first and last row;
// - the problems, dongle lines, segments and markers shown stay within
//   their limits;
// - the figures hold together: an average between the minimum and the
//   maximum, the time in zones the time counted, no more time than the
//   session lasts, and the segments between markers sharing out the whole
//   (readings, time, beats);
// - nothing from the recording is markup in the page: it has as many
//   script, image and frame tags as the page of a plain recording;
// - the summary has a row a device, and no RR file name leaves its folder.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "report/figures.h"
#include "report/outputs.h"
#include "report/session.h"

namespace kv::report {
namespace {

#define KV_CHECK(cond)                                                    \
  do {                                                                    \
    if (!(cond)) {                                                        \
      std::fprintf(stderr, "report_fuzzer: check failed: %s\n", #cond); \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

const char* const kTags[] = {"<script", "</script", "<img", "<svg", "<iframe", "<object", "<embed", "<style", "<link"};
constexpr std::size_t kTagCount = sizeof kTags / sizeof kTags[0];

std::size_t count(const std::string& text, const char* what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// How many of each tag the page of a plain recording has: the page's own.
struct PlainPage {
  std::size_t tags[kTagCount] = {};
  PlainPage() {
    std::istringstream in(
        "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone\r\n"
        "2026-12-09T10:00:00.000Z,0.000,A1,Mirabeat 1,Mirabeat,70,850,90,-60,0x80,,Anna,190,36,0\r\n"
        "2026-12-09T10:00:01.000Z,1.000,,,,,,,,,1,,,,\r\n");
    Session s;
    std::string refusal;
    if (!readSession(in, &s, &refusal)) std::abort();
    const std::string page = reportHtml(makeReport(s, "plain.csv"));
    for (std::size_t t = 0; t < kTagCount; ++t) tags[t] = count(page, kTags[t]);
  }
};

bool near(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)); }

void checkSession(const Session& s) {
  KV_CHECK(s.problems.size() <= 20 + 2);
  KV_CHECK(s.dongles.size() <= kDongleLinesKept);
  KV_CHECK(s.otherDongleRows == 0 || s.dongles.size() == kDongleLinesKept);
  if (!s.hasTimes) {
    KV_CHECK(s.devices.empty() && s.markers.empty() && s.rows == 0);
    return;
  }
  KV_CHECK(s.firstMs <= s.lastMs);
  std::uint64_t rows = s.markers.size();
  for (const Device& d : s.devices) {
    KV_CHECK(!d.samples.empty());
    rows += d.samples.size();
    for (std::size_t i = 0; i < d.samples.size(); ++i) {
      KV_CHECK(d.samples[i].ms >= s.firstMs && d.samples[i].ms <= s.lastMs);
      KV_CHECK(i == 0 || d.samples[i - 1].ms <= d.samples[i].ms);
    }
  }
  for (std::size_t i = 0; i < s.markers.size(); ++i) {
    KV_CHECK(s.markers[i].ms >= s.firstMs && s.markers[i].ms <= s.lastMs);
    KV_CHECK(i == 0 || s.markers[i - 1].ms <= s.markers[i].ms);
  }
  KV_CHECK(rows <= s.rows);  // the rest are the dongle's
}

void checkFigures(const Report& r) {
  const Session& s = *r.session;
  const double lasts = static_cast<double>(s.lastMs + 1 - s.firstMs) / 1000.0;
  for (const DeviceReport& d : r.devices) {
    const Figures& f = d.whole;
    KV_CHECK(f.readings <= d.device->samples.size());
    KV_CHECK(f.seconds >= 0 && f.seconds <= lasts + 1e-6);
    if (f.readings > 0) KV_CHECK(f.minHr <= f.averageHr + 1e-9 && f.averageHr <= f.maxHr + 1e-9);
    if (f.zonesKnown) {
      double zones = 0;
      for (const double z : f.zoneSeconds) zones += z;
      KV_CHECK(near(zones, f.seconds));
    }
    KV_CHECK(f.beatsRejected <= f.beats && f.beats == d.beats.size());
    if (f.rmssdKnown) KV_CHECK(f.pnn50 >= 0 && f.pnn50 <= 100);
    KV_CHECK(d.segments.size() <= kSegmentsListed);
    if (r.spans.size() <= 1 || r.spans.size() > kSegmentsListed) continue;
    // Every segment listed: together they are the whole.
    KV_CHECK(d.segments.size() == r.spans.size());
    Figures sum;
    for (const Figures& x : d.segments) {
      sum.readings += x.readings;
      sum.seconds += x.seconds;
      sum.beats += x.beats;
      sum.beatsRejected += x.beatsRejected;
    }
    KV_CHECK(sum.readings == f.readings && sum.beats == f.beats && sum.beatsRejected == f.beatsRejected);
    KV_CHECK(near(sum.seconds, f.seconds));
  }
  for (std::size_t i = 0; i < r.spans.size(); ++i) {
    KV_CHECK(r.spans[i].fromMs < r.spans[i].toMs);
    KV_CHECK(i == 0 || r.spans[i - 1].toMs == r.spans[i].fromMs);
  }
}

void checkOutputs(const Report& r) {
  static const PlainPage plain;
  const std::string page = reportHtml(r);
  for (std::size_t t = 0; t < kTagCount; ++t) KV_CHECK(count(page, kTags[t]) == plain.tags[t]);
  const std::string summary = summaryCsv(r);
  // Its cells hold no line break (texts from the air lose their controls).
  KV_CHECK(count(summary, "\n") == r.devices.size() + 1 && count(summary, "\r\n") == r.devices.size() + 1);
  std::vector<std::string> names;
  for (const DeviceReport& d : r.devices) {
    rrText(d);
    names.push_back(rrFileName(d, names));
    const std::string& n = names.back();
    KV_CHECK(!n.empty() && n != "." && n != ".." && n.find_first_of("/\\") == std::string::npos);
    KV_CHECK(std::count(names.begin(), names.end(), n) == 1);
  }
}

}  // namespace
}  // namespace kv::report

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kv::report;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  Session session;
  std::string refusal;
  if (!readSession(in, &session, &refusal)) {
    KV_CHECK(!refusal.empty());
    return 0;
  }
  checkSession(session);
  const Report report = makeReport(session, "fuzz.csv");
  checkFigures(report);
  checkOutputs(report);
  return 0;
}
