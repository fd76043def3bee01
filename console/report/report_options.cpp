#include "console/report/report_options.h"

namespace kv::report {

ReportParse parseReportOptions(int argc, const char* const* argv, ReportOptions* options, std::string* error) {
  bool help = false, version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string name = arg, value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    auto take = [&](std::string* into) {
      if (!hasValue) {
        if (i + 1 >= argc) {
          *error = name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (value.empty()) {
        *error = name + " needs a file or folder name";
        return false;
      }
      *into = value;
      return true;
    };
    if (name == "--participants") {
      if (!take(&options->participants)) return ReportParse::Error;
    } else if (name == "--out") {
      if (!take(&options->out)) return ReportParse::Error;
    } else if (name == "--summary") {
      if (!take(&options->summary)) return ReportParse::Error;
    } else if (name == "--rr-dir") {
      if (!take(&options->rrDir)) return ReportParse::Error;
    } else if (hasValue) {
      *error = "unknown option " + name;
      return ReportParse::Error;
    } else if (arg == "--force") {
      options->force = true;
    } else if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      *error = "unknown option " + arg;
      return ReportParse::Error;
    } else if (options->recording.empty()) {
      options->recording = arg;
    } else {
      *error = "one recording at a time ('" + options->recording + "' and '" + arg + "')";
      return ReportParse::Error;
    }
  }
  if (help) return ReportParse::Help;
  if (version) return ReportParse::Version;
  if (options->recording.empty()) {
    *error = "no recording given";
    return ReportParse::Error;
  }
  return ReportParse::Run;
}

std::string defaultReportPath(const std::string& recording) {
  const std::size_t slash = recording.find_last_of("/\\");
  const std::size_t dot = recording.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    return recording.substr(0, dot) + ".html";
  return recording + ".html";
}

std::string reportUsage(const std::string& program) {
  return "Usage: " + program + R"( RECORDING.csv [--participants FILE] [--out REPORT.html]
       [--summary SUMMARY.csv] [--rr-dir DIR] [--force]
       )" + program + R"( --help | --version

Turns a recording of the Koravel console or of koravel-record (of any
version) into a session report: one HTML file that opens in any browser with
no network, reads on a phone and prints on A4. It shows the session, the
class at a glance (each person's time, average and maximum heart rate, time
in each zone), and for each person or device the heart rate over time with
the zone bands and the markers, the time in each zone and the heart-rate
variability (mean RR, SDNN, RMSSD, pNN50) over the session and between
markers. The page's footer says how each figure is worked out.

  --participants FILE  who wears which device, for a recording that does not
                       name them (the participants file of the console)
  --out FILE           the page (default: beside the recording, its name
                       with .html)
  --summary FILE       also a CSV with a row per device: address, device,
                       person, max_hr, readings, seconds, avg_hr, min_hr,
                       max_hr_seen, rest_s, z1_s to z5_s, beats,
                       beats_rejected, mean_rr_ms, sdnn_ms, rmssd_ms,
                       pnn50_pct
  --rr-dir DIR         also a text file per device of its kept beats' RR
                       intervals in ms, one a line, named by person or
                       address: what HRV analysis tools import
  --force              replace files that exist (never without it)
  -h, --help           this text
  --version            the version

Rows that cannot be read (a recording cut off mid-row, a cell that is not a
number) are said with their line number and left out; the report is made of
the rest.

Exit status: 0 when the report was written; 1 when nothing could be used
(not a recording, no rows) or a file could not be written, with nothing
written; 2 for bad options or a participants file that cannot be used.
)";
}

}  // namespace kv::report
