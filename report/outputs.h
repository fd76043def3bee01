// What a session report writes: the page a person opens, the summary table
// labs read, and each device's beats in the plain form HRV tools import.
#pragma once

#include <string>
#include <vector>

#include "report/figures.h"
#include "report/session.h"

namespace kv::report {

// A page lists at most this many segments between markers for each device,
// and draws at most this many markers on each chart, the first ones; it
// says how many more there are. An operator marks a class's intervals, a
// few dozen at most; a recording with thousands of markers (lines piped
// into koravel-record, say) would otherwise make a page of every device
// times every segment.
inline constexpr std::size_t kSegmentsListed = 100;
inline constexpr std::size_t kMarkersDrawn = 100;
// A page shows at most this many devices: the ones heard longest, in the
// recording's order (the summary has every one). A dongle hears the class
// and the straps passing by, a few hundred at most; a recording of
// thousands would make a page no browser opens.
inline constexpr std::size_t kDevicesShown = 500;

// A device's figures over the whole recording and over each segment
// between markers (the first kSegmentsListed), worked out once for every
// output.
struct DeviceReport {
  const Device* device = nullptr;
  std::vector<Beat> beats;
  Figures whole;
  std::vector<Figures> segments;
  // The heart rate thinned for drawing: about a point a second (the mean
  // of the readings in it); a second 5 s or more after the last reading is
  // a gap.
  struct Point {
    double seconds;  // since the recording began
    double hr;       // < 0: a gap
  };
  std::vector<Point> curve;
};

struct Report {
  const Session* session = nullptr;
  std::vector<Span> spans;
  std::vector<DeviceReport> devices;  // in the session's order
  std::string source;                 // the recording's file name, for the title
};

// Works everything out.
Report makeReport(const Session& session, const std::string& source);

// The page: one self-contained HTML file (the chart library inlined, no
// outside address in it), readable on a phone, printable on A4, whose
// tables read without JavaScript.
std::string reportHtml(const Report& report);

// The summary: a CSV row per device (see koravel-report(1) for the columns).
std::string summaryCsv(const Report& report);

// A device's kept beats' RR intervals in ms, one a line; and the file name
// for it: by person, else by address, made safe for every file system.
std::string rrText(const DeviceReport& device);
std::string rrFileName(const DeviceReport& device, const std::vector<std::string>& taken);

// Escapes for the page: text in HTML, and a string in a script.
std::string htmlText(const std::string& text);
std::string jsString(const std::string& text);

}  // namespace kv::report
