#include "report/outputs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/text.h"
#include "participants/participants.h"

// The chart library and its style, inlined at build time (report_assets.cpp).
extern const char kDygraphJs[];
extern const char kDygraphCss[];

namespace kv::report {

namespace {

std::string fixed1(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string clockText(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

std::string hexColour(Rgb c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
  return text;
}

// A wall-clock time in the local time of the machine that makes the report.
std::string localTime(std::int64_t unixMs) {
  const std::time_t t = static_cast<std::time_t>(unixMs / 1000);
  const std::tm* local = std::localtime(&t);
  if (local == nullptr) return "";
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  return text;
}

const char* kZoneNames[6] = {"rest", "zone 1", "zone 2", "zone 3", "zone 4", "zone 5"};

// Who a device is to the reader: the person, else the device's name, else
// its address.
std::string titleOf(const Device& d) {
  if (!d.person.empty()) return d.person;
  if (!d.name.empty()) return d.name;
  return d.address;
}

std::string csvCell(const std::string& text) {
  std::string safe(decodedTextSize(text.size()), '\0');
  decodeText(safe.data(), safe.size(), text.c_str());
  safe.resize(std::strlen(safe.c_str()));
  std::string out(csvFieldRoom(safe.size()), '\0');
  char* end = putCsvField(out.data(), safe.c_str());
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

void thin(DeviceReport& r) {
  const std::vector<Sample>& s = r.device->samples;
  std::int64_t bucket = -1, lastBucket = -1;
  double sum = 0;
  int n = 0;
  auto flush = [&] {
    if (n == 0) return;
    if (lastBucket >= 0 && bucket - lastBucket >= kReadingCountsAtMostMs / 1000)
      r.curve.push_back({static_cast<double>(lastBucket + 1), -1});
    r.curve.push_back({static_cast<double>(bucket), sum / n});
    lastBucket = bucket;
    sum = 0;
    n = 0;
  };
  for (const Sample& x : s) {
    if (x.heartRate < 1 || x.heartRate > 254) continue;
    const std::int64_t b = x.ms / 1000;
    if (b != bucket) {
      flush();
      bucket = b;
    }
    sum += x.heartRate;
    ++n;
  }
  flush();
}

}  // namespace

std::string htmlText(const std::string& text) {
  char safe[4096];
  std::string in = text.size() > 1000 ? text.substr(0, 1000) : text;
  decodeText(safe, sizeof safe, in.c_str());
  std::string out;
  for (const char* c = safe; *c != '\0'; ++c) {
    switch (*c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += *c;
    }
  }
  return out;
}

std::string jsString(const std::string& text) {
  char safe[4096];
  std::string in = text.size() > 1000 ? text.substr(0, 1000) : text;
  decodeText(safe, sizeof safe, in.c_str());
  std::string out = "\"";
  for (const char* c = safe; *c != '\0'; ++c) {
    const auto u = static_cast<unsigned char>(*c);
    if (*c == '"' || *c == '\\') {
      out += '\\';
      out += *c;
    } else if (*c == '<' || *c == '>' || *c == '&' || *c == '\'') {
      // Nothing in a string can end the script or start markup.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += *c;
    }
  }
  return out + "\"";
}

Report makeReport(const Session& session, const std::string& source) {
  Report r;
  r.session = &session;
  r.source = source;
  r.spans = segments(session);
  const Span whole{session.firstMs, session.lastMs + 1};
  for (const Device& d : session.devices) {
    DeviceReport dr;
    dr.device = &d;
    dr.beats = beatsOf(d);
    dr.whole = figuresOf(d, dr.beats, whole, session.lastMs);
    if (r.spans.size() > 1)
      for (std::size_t k = 0; k < r.spans.size() && k < kSegmentsListed; ++k)
        dr.segments.push_back(figuresOf(d, dr.beats, r.spans[k], session.lastMs));
    thin(dr);
    r.devices.push_back(std::move(dr));
  }
  return r;
}

std::string summaryCsv(const Report& report) {
  std::string out =
      "address,device,person,max_hr,readings,seconds,avg_hr,min_hr,max_hr_seen,rest_s,z1_s,z2_s,z3_s,z4_s,z5_s,"
      "beats,beats_rejected,mean_rr_ms,sdnn_ms,rmssd_ms,pnn50_pct\r\n";
  for (const DeviceReport& r : report.devices) {
    const Device& d = *r.device;
    const Figures& f = r.whole;
    out += csvCell(d.address) + "," + csvCell(d.name) + "," + csvCell(d.person) + ",";
    if (d.maxHr > 0) out += std::to_string(d.maxHr);
    out += "," + std::to_string(f.readings) + "," + fixed1(f.seconds) + ",";
    if (f.readings > 0) out += fixed1(f.averageHr) + "," + std::to_string(f.minHr) + "," + std::to_string(f.maxHr);
    else out += ",,";
    for (int z = 0; z < 6; ++z) out += "," + (f.zonesKnown ? fixed1(f.zoneSeconds[z]) : std::string());
    out += "," + std::to_string(f.beats) + "," + std::to_string(f.beatsRejected) + ",";
    if (f.rrKnown) out += fixed1(f.meanRr);
    out += ",";
    if (f.sdnnKnown) out += fixed1(f.sdnn);
    out += ",";
    if (f.rmssdKnown) out += fixed1(f.rmssd) + "," + fixed1(f.pnn50);
    else out += ",";
    out += "\r\n";
  }
  return out;
}

std::string rrText(const DeviceReport& device) {
  std::string out;
  for (const Beat& b : device.beats)
    if (b.kept) out += std::to_string(b.rr) + "\n";
  return out;
}

std::string rrFileName(const DeviceReport& device, const std::vector<std::string>& taken) {
  const Device& d = *device.device;
  std::string base;
  const std::string& from = !d.person.empty() ? d.person : d.address;
  for (const char c : from) {
    const auto u = static_cast<unsigned char>(c);
    const bool unsafe = u < 0x20 || u == 0x7F || std::string("/\\:*?\"<>|").find(c) != std::string::npos;
    base += unsafe ? '_' : c;
  }
  while (!base.empty() && (base.back() == '.' || base.back() == ' ')) base.pop_back();
  while (!base.empty() && (base.front() == '.' || base.front() == ' ')) base.erase(0, 1);
  if (base.size() > 64) {
    base.resize(64);
    while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) base.pop_back();
    if (!base.empty() && static_cast<unsigned char>(base.back()) >= 0xC0) base.pop_back();
  }
  // Names Windows keeps for its devices.
  std::string upper;
  for (const char c : base) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "LPT1", "LPT2", "LPT3"})
    if (upper == reserved) base = "_" + base;
  if (base.empty()) base = "device";
  std::string name = base + ".txt";
  for (int n = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); ++n)
    name = base + "-" + std::to_string(n) + ".txt";
  return name;
}

namespace {

const char* kStyle = R"css(
:root{--ink:#111;--muted:#555;--rule:#ccc}
*{box-sizing:border-box}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;color:var(--ink);margin:0 auto;padding:12px;max-width:1100px}
h1{font-size:1.6em;margin:.2em 0}
h2{font-size:1.25em;margin:1.2em 0 .3em;border-bottom:2px solid var(--rule)}
h3{font-size:1em;margin:.8em 0 .2em}
.scroll{overflow-x:auto}
table{border-collapse:collapse;margin:.3em 0 .8em}
th,td{padding:.2em .6em;text-align:right;border-bottom:1px solid var(--rule);white-space:nowrap}
th:first-child,td:first-child{text-align:left}
td.name,td.zones{white-space:normal}
th.zones,td.zones{text-align:left}
h2,p.note{overflow-wrap:anywhere}
.bar{display:flex;width:14em;height:1.1em;border:1px solid #888;background:#fff}
.bar span{display:block;height:100%}
.key span{display:inline-block;width:.9em;height:.9em;vertical-align:middle;border:1px solid #888;margin:0 .2em 0 .8em}
.chart{width:100%;height:260px;margin:.4em 0}
.note{color:var(--muted)}
.problems{background:#fff4e0;border:1px solid #e0b060;padding:.4em .8em}
.scripterror{background:#ffe0e0;border:1px solid #c00;padding:.4em .8em;display:none}
footer{margin-top:2em;color:var(--muted);font-size:.9em}
section.device{break-inside:avoid-page}
@media (max-width:600px){body{font-size:14px;padding:6px}.chart{height:200px}.bar{width:8em}}
@page{size:A4;margin:12mm}
@media print{body{max-width:none;padding:0;font-size:10pt}.scroll{overflow:visible}.chart{height:55mm}.chart canvas~canvas{visibility:hidden}section.device{page-break-inside:avoid}h2{page-break-after:avoid}}
)css";

// Draws each device's curve once the page is there: the zone bands behind
// it (with a known maximum), silent gaps as gaps, markers as labelled lines.
// For print, each chart is drawn again at the width of an A4 page's text
// (210 mm less the 12 mm margins) and 55 mm high, and back afterwards: a
// chart's canvas keeps the size it was drawn at, and the browser lays the
// page out for print only after "beforeprint". The print style hides the
// chart's second canvas, the library's layer for the mouse's highlight:
// Chromium prints a canvas cleared while printing as white, which would
// hide the curve beneath it.
const char* kDraw = R"js(
(function () {
  var R = window.KORAVEL_REPORT;
  function when(s) { return R.start !== null ? new Date(R.start + s * 1000) : s; }
  var charts = [];
  R.devices.forEach(function (d) {
    var el = document.getElementById(d.id);
    if (!el || d.pts.length === 0) return;
    var data = d.pts.map(function (p) { return [when(p[0]), p[1]]; });
    var top = Math.max(d.max > 0 ? d.max : 0, d.hi) + 10, bottom = Math.max(0, Math.min(d.lo, d.max > 0 ? d.max / 2 : d.lo) - 10);
    var options = {
      labels: ["time", "heart rate"],
      colors: ["#111111"],
      strokeWidth: 1.5,
      pointSize: 2,
      valueRange: [bottom, top],
      ylabel: "beats a minute",
      axisLabelFontSize: 12,
      legend: "onmouseover",
      underlayCallback: function (ctx, area, g) {
        if (d.max > 0) {
          for (var z = 0; z <= 5; z++) {
            var lo = z === 0 ? bottom : (0.4 + 0.1 * z) * d.max, hi = z === 5 ? top : (0.5 + 0.1 * z) * d.max;
            var y1 = g.toDomYCoord(hi), y2 = g.toDomYCoord(lo);
            ctx.fillStyle = R.zones[z];
            ctx.globalAlpha = 0.35;
            ctx.fillRect(area.x, y1, area.w, y2 - y1);
            ctx.globalAlpha = 1;
            ctx.fillStyle = "#333";
            ctx.font = "11px sans-serif";
            ctx.fillText(R.zoneNames[z], area.x + 4, Math.max(y1, area.y) + 12);
          }
        }
        ctx.strokeStyle = "#000";
        ctx.fillStyle = "#000";
        ctx.font = "bold 11px sans-serif";
        R.markers.forEach(function (m) {
          var x = g.toDomXCoord(when(m[0]));
          if (x < area.x || x > area.x + area.w) return;
          ctx.beginPath();
          ctx.moveTo(x, area.y);
          ctx.lineTo(x, area.y + area.h);
          ctx.setLineDash([4, 3]);
          ctx.stroke();
          ctx.setLineDash([]);
          ctx.fillText(m[1], x + 3, area.y + 12);
        });
      }
    };
    // A curve of less than a minute (a device heard once, say) is shown in
    // a minute around it: a single time would leave the axis no width.
    var first = d.pts[0][0], last = d.pts[d.pts.length - 1][0];
    if (last - first < 60) options.dateWindow = [+when((first + last) / 2 - 30), +when((first + last) / 2 + 30)];
    charts.push({ el: el, g: new Dygraph(el, data, options) });
  });
  var mm = 96 / 25.4, printing = false;
  function toPrint() {
    if (printing) return;
    printing = true;
    charts.forEach(function (c) { c.g.resize(Math.floor(186 * mm), Math.floor(55 * mm)); });
  }
  function toScreen() {
    if (!printing) return;
    printing = false;
    charts.forEach(function (c) { c.el.style.width = ""; c.el.style.height = ""; c.g.resize(); });
  }
  window.addEventListener("beforeprint", toPrint);
  window.addEventListener("afterprint", toScreen);
  // Browsers without those events say so through the print media query.
  if (window.matchMedia) {
    var printQuery = window.matchMedia("print"), changed = function (e) { if (e.matches) toPrint(); else toScreen(); };
    if (printQuery.addEventListener) printQuery.addEventListener("change", changed);
    else if (printQuery.addListener) printQuery.addListener(changed);
  }
})();
)js";

// What each segment between markers is called: its times and the markers
// it begins with (the first few of those at the same time). Worked out
// once, for every device's table.
std::vector<std::string> segmentLabels(const Report& report) {
  const std::vector<Marker>& markers = report.session->markers;
  std::vector<std::string> labels;
  std::size_t m = 0;
  for (std::size_t i = 0; i < report.spans.size() && i < kSegmentsListed; ++i) {
    const Span& s = report.spans[i];
    std::string label = clockText(static_cast<double>(s.fromMs) / 1000) + "&ndash;" +
                        clockText(static_cast<double>(s.toMs) / 1000);
    while (m < markers.size() && markers[m].ms < s.fromMs) ++m;
    std::size_t named = 0, more = 0;
    for (; m < markers.size() && markers[m].ms == s.fromMs; ++m) {
      if (named++ < 3) label += " from &ldquo;" + htmlText(markers[m].text) + "&rdquo;";
      else ++more;
    }
    if (more != 0) label += " and " + std::to_string(more) + " more markers";
    labels.push_back(std::move(label));
  }
  return labels;
}

void figuresTable(std::string& h, const DeviceReport& r, const Report& report, const std::vector<std::string>& labels) {
  const Device& d = *r.device;
  const Figures& f = r.whole;
  h += "<div class=\"scroll\"><table><tr><th>Heart rate</th><th>average</th><th>minimum</th><th>maximum</th><th>readings</th>"
       "<th>time</th></tr><tr><td></td>";
  if (f.readings > 0) {
    h += "<td>" + fixed1(f.averageHr) + "</td><td>" + std::to_string(f.minHr) + "</td><td>" + std::to_string(f.maxHr) +
         "</td>";
  } else {
    h += "<td>&ndash;</td><td>&ndash;</td><td>&ndash;</td>";
  }
  h += "<td>" + std::to_string(f.readings) + "</td><td>" + clockText(f.seconds) + "</td></tr></table></div>";
  if (f.zonesKnown) {
    h += "<div class=\"scroll\"><table><tr><th>Zone (maximum " + std::to_string(d.maxHr) +
         ")</th><th>beats a minute</th><th>time</th><th>share</th></tr>";
    for (int z = 0; z < 6; ++z) {
      const int lo = z == 0 ? 0 : (40 + 10 * z) * d.maxHr / 100;
      const int hi = z == 5 ? 0 : (50 + 10 * z) * d.maxHr / 100 - 1;
      std::string range = z == 0 ? "under " + std::to_string(hi + 1) : z == 5 ? "from " + std::to_string(lo)
                                                                             : std::to_string(lo) + "&ndash;" + std::to_string(hi);
      h += "<tr><td><span class=\"key\"><span style=\"background:" + hexColour(zoneColour(z)) + "\"></span></span>" +
           kZoneNames[z] + "</td><td>" + range + "</td><td>" + clockText(f.zoneSeconds[z]) + "</td><td>" +
           (f.seconds > 0 ? fixed1(100.0 * f.zoneSeconds[z] / f.seconds) + " %" : std::string("&ndash;")) + "</td></tr>";
    }
    h += "</table></div>";
  }
  // The variability, over the whole and each segment between markers.
  h += "<div class=\"scroll\"><table><tr><th>Beats</th><th>beats</th><th>rejected</th><th>mean RR ms</th><th>SDNN ms</th>"
       "<th>RMSSD ms</th><th>pNN50 %</th></tr>";
  auto hrvRow = [&](const std::string& label, const Figures& x) {
    h += "<tr><td class=\"name\">" + label + "</td><td>" + std::to_string(x.beats) + "</td><td>" +
         std::to_string(x.beatsRejected) + "</td><td>" + (x.rrKnown ? fixed1(x.meanRr) : "&ndash;") + "</td><td>" +
         (x.sdnnKnown ? fixed1(x.sdnn) : "&ndash;") + "</td><td>" + (x.rmssdKnown ? fixed1(x.rmssd) : "&ndash;") +
         "</td><td>" + (x.rmssdKnown ? fixed1(x.pnn50) : "&ndash;") + "</td></tr>";
  };
  hrvRow("whole session", f);
  for (std::size_t i = 0; i < r.segments.size(); ++i) hrvRow(labels[i], r.segments[i]);
  h += "</table></div>";
  if (!r.segments.empty() && report.spans.size() > r.segments.size())
    h += "<p class=\"note\">" + std::to_string(report.spans.size() - r.segments.size()) +
         " more segments between markers are not listed.</p>";
}

// The devices the page shows, by their place in the report: all of them,
// or the kDevicesShown heard longest.
std::vector<std::size_t> devicesShown(const Report& report) {
  std::vector<std::size_t> shown(report.devices.size());
  for (std::size_t i = 0; i < shown.size(); ++i) shown[i] = i;
  if (shown.size() <= kDevicesShown) return shown;
  std::stable_sort(shown.begin(), shown.end(), [&](std::size_t a, std::size_t b) {
    const Figures& x = report.devices[a].whole;
    const Figures& y = report.devices[b].whole;
    return x.seconds != y.seconds ? x.seconds > y.seconds : x.readings > y.readings;
  });
  shown.resize(kDevicesShown);
  std::sort(shown.begin(), shown.end());
  return shown;
}

}  // namespace

std::string reportHtml(const Report& report) {
  const Session& s = *report.session;
  const double duration = static_cast<double>(s.lastMs - s.firstMs) / 1000.0;
  const bool clock = s.startUnixMs != 0;
  std::string h;
  h.reserve(1 << 20);
  h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  h += "<title>Session report: " + htmlText(report.source) + "</title>";
  h += "<style>";
  h += kDygraphCss;
  h += kStyle;
  h += "</style></head><body>\n";
  // A script that fails says so on the page: the tables are there without it.
  h += "<p class=\"scripterror\" id=\"scripterror\"></p><script>window.onerror=function(m){var e=document."
       "getElementById('scripterror');e.style.display='block';e.textContent='A chart could not be drawn: '+m;};"
       "</script>\n";
  h += "<h1>Session report</h1>\n<p class=\"note\">" + htmlText(report.source) + "</p>\n";
  h += "<div class=\"scroll\"><table>";
  auto fact = [&](const char* what, const std::string& value) { h += std::string("<tr><td>") + what + "</td><td>" + value + "</td></tr>"; };
  if (clock) {
    fact("Start", localTime(s.startUnixMs + s.firstMs));
    fact("End", localTime(s.startUnixMs + s.lastMs));
  }
  fact("Duration", clockText(duration));
  std::string dongles;
  for (const std::string& d : s.dongles) dongles += (dongles.empty() ? "" : "<br>") + htmlText(d);
  if (s.otherDongleRows != 0) dongles += "<br>and " + std::to_string(s.otherDongleRows) + " rows with other lines";
  fact("Dongle", dongles.empty() ? "not in the recording" : dongles);
  const std::vector<std::size_t> shown = devicesShown(report);
  fact("Devices", std::to_string(s.devices.size()) +
                      (shown.size() < s.devices.size()
                           ? " (this page shows the " + std::to_string(shown.size()) +
                                 " heard longest; the summary, --summary, has them all)"
                           : std::string()));
  fact("Rows", std::to_string(s.rows));
  fact("Markers", std::to_string(s.markers.size()) +
                      (s.markers.size() > kMarkersDrawn
                           ? " (the charts show the first " + std::to_string(kMarkersDrawn) + ")"
                           : std::string()));
  h += "</table></div>\n";
  if (!s.problems.empty()) {
    h += "<div class=\"problems\"><p>Some rows of the recording could not be read; the report is made of the rest:</p><ul>";
    for (const std::string& p : s.problems) h += "<li>" + htmlText(p) + "</li>";
    h += "</ul></div>\n";
  }

  // The class at a glance.
  h += "<h2>The class</h2><div class=\"scroll\"><table><tr><th>Who</th><th>time recorded</th><th>average</th>"
       "<th>maximum</th><th class=\"zones\">time in each zone</th></tr>";
  for (const std::size_t i : shown) {
    const DeviceReport& r = report.devices[i];
    const Figures& f = r.whole;
    h += "<tr><td class=\"name\">" + htmlText(titleOf(*r.device)) + "</td><td>" + clockText(f.seconds) + "</td><td>" +
         (f.readings > 0 ? fixed1(f.averageHr) : "&ndash;") + "</td><td>" +
         (f.readings > 0 ? std::to_string(f.maxHr) : "&ndash;") + "</td><td class=\"zones\">";
    if (f.zonesKnown && f.seconds > 0) {
      h += "<div class=\"bar\">";
      std::string words;
      for (int z = 0; z < 6; ++z) {
        const double share = 100.0 * f.zoneSeconds[z] / f.seconds;
        if (share <= 0) continue;
        h += "<span style=\"width:" + fixed1(share) + "%;background:" + hexColour(zoneColour(z)) + "\" title=\"" +
             kZoneNames[z] + " " + clockText(f.zoneSeconds[z]) + "\"></span>";
        // Lines break between zones only.
        std::string zone = kZoneNames[z];
        if (zone.find(' ') != std::string::npos) zone.replace(zone.find(' '), 1, "&nbsp;");
        words += std::string(words.empty() ? "" : ", ") + zone + "&nbsp;" + fixed1(share) + "&nbsp;%";
      }
      h += "</div><span class=\"note\">" + words + "</span>";
    } else {
      h += "<span class=\"note\">no maximum known</span>";
    }
    h += "</td></tr>";
  }
  h += "</table></div>\n";

  // Each person or device.
  const std::vector<std::string> labels = segmentLabels(report);
  for (const std::size_t i : shown) {
    const DeviceReport& r = report.devices[i];
    const Device& d = *r.device;
    h += "<section class=\"device\"><h2>" + htmlText(titleOf(d)) + "</h2><p class=\"note\">" + htmlText(d.name) + " " +
         htmlText(d.address) + "</p>";
    if (r.curve.empty()) h += "<p class=\"note\">No heart rate readings to draw.</p>";
    else h += "<div class=\"chart\" id=\"chart" + std::to_string(i) + "\"></div>";
    figuresTable(h, r, report, labels);
    h += "</section>\n";
  }

  h += "<footer><h3>How the figures are worked out</h3><p>A reading is a row with a heart rate from 1 to 254. Average "
       "is the mean of the readings; minimum and maximum are over them.</p><p>Time: a reading counts from its time until "
       "the device's next reading, at most 5 s (the last one until the end of the recording, at most 5 s); a longer gap "
       "is silent time and counts nowhere. Time in a zone uses the zone of the reading: rest under 50 % of the "
       "maximum heart rate, zone 1 from 50 %, 2 from 60 %, 3 from 70 %, 4 from 80 %, 5 from 90 %.</p><p>Beats: the "
       "dongle reports each device's latest RR interval, so one beat can appear in several rows. A row's RR (300 to "
       "2000 ms; others are rejected) is a new beat when it differs from the device's previous RR, or when at least "
       "0.9 &times; that RR has passed since the device's last counted beat.</p><p>Artefacts: a beat whose RR differs "
       "by more than 20 % from the median of up to 5 beats before and 5 after it (itself left out) is rejected. Mean "
       "RR, SDNN (the sample standard deviation) and pNN50 use the kept beats; RMSSD and pNN50 use the successive "
       "differences of kept beats that were consecutive beats. Each is given for the whole session and for each "
       "segment between markers.</p><p>The curves are thinned for drawing to a point a second; every figure is worked "
       "out from all the rows.</p><p class=\"note\">Made by koravel-report. Charts drawn with dygraphs (MIT "
       "licence).</p></footer>\n";

  // The data for the charts, then the library, then the drawing.
  h += "<script>window.KORAVEL_REPORT={start:";
  h += clock ? std::to_string(s.startUnixMs) : "null";
  h += ",zones:[";
  for (int z = 0; z < 6; ++z) h += std::string(z ? "," : "") + "\"" + hexColour(zoneColour(z)) + "\"";
  h += "],zoneNames:[";
  for (int z = 0; z < 6; ++z) h += std::string(z ? "," : "") + "\"" + kZoneNames[z] + "\"";
  h += "],markers:[";
  for (std::size_t i = 0; i < s.markers.size() && i < kMarkersDrawn; ++i)
    h += std::string(i ? "," : "") + "[" + fixed1(static_cast<double>(s.markers[i].ms) / 1000.0) + "," +
         jsString(s.markers[i].text) + "]";
  h += "],devices:[";
  bool anyCurve = false;
  for (const std::size_t i : shown) {
    const DeviceReport& r = report.devices[i];
    if (r.curve.empty()) continue;
    h += std::string(anyCurve ? ",\n" : "\n") + "{id:\"chart" + std::to_string(i) + "\",max:" +
         std::to_string(r.device->maxHr) + ",lo:" + std::to_string(r.whole.readings ? r.whole.minHr : 60) +
         ",hi:" + std::to_string(r.whole.readings ? r.whole.maxHr : 120) + ",pts:[";
    for (std::size_t k = 0; k < r.curve.size(); ++k) {
      const DeviceReport::Point& p = r.curve[k];
      char pt[48];
      if (p.hr < 0) std::snprintf(pt, sizeof pt, "%s[%.0f,null]", k ? "," : "", p.seconds);
      else std::snprintf(pt, sizeof pt, "%s[%.0f,%.1f]", k ? "," : "", p.seconds, p.hr);
      h += pt;
    }
    h += "]}";
    anyCurve = true;
  }
  h += "]};</script>\n";
  // The library's notice goes with every copy of it.
  h += "<!-- dygraphs 2.2.1: Copyright (c) 2006-2023 Dan Vanderkam and the dygraphs contributors.\n"
       "Permission is hereby granted, free of charge, to any person obtaining a copy of this software and associated\n"
       "documentation files (the \"Software\"), to deal in the Software without restriction, including without\n"
       "limitation the rights to use, copy, modify, merge, publish, distribute, sublicense, and/or sell copies of the\n"
       "Software, and to permit persons to whom the Software is furnished to do so, subject to the following\n"
       "conditions: The above copyright notice and this permission notice shall be included in all copies or\n"
       "substantial portions of the Software. THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND,\n"
       "EXPRESS OR IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR\n"
       "PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM,\n"
       "DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN\n"
       "CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE. -->\n<script>";
  h += kDygraphJs;
  h += "</script>\n<script>";
  h += kDraw;
  h += "</script>\n</body></html>\n";
  return h;
}

}  // namespace kv::report
