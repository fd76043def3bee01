#include "console/record/record_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kv::record {

namespace {

// Seconds above 0, at most kMaxDurationSeconds; not "inf", "nan", "1e300".
bool parseSeconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxDurationSeconds)
    return false;
  *out = v;
  return true;
}

}  // namespace

RecordParse parseRecordOptions(int argc, const char* const* argv, RecordOptions* options, std::string* error) {
  bool help = false, version = false, list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    std::string name = arg;
    // --option=value as well as --option value.
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    auto takeValue = [&](std::string* into) {
      if (!hasValue) {
        if (i + 1 >= argc) {
          *error = name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      *into = value;
      return true;
    };
    if (name == "--port") {
      if (!takeValue(&options->port)) return RecordParse::Error;
      if (options->port.empty()) {
        *error = "--port needs a port name";
        return RecordParse::Error;
      }
    } else if (name == "--out") {
      if (!takeValue(&options->out)) return RecordParse::Error;
      if (options->out.empty()) {
        *error = "--out needs a file name (or - for standard output)";
        return RecordParse::Error;
      }
    } else if (name == "--participants") {
      if (!takeValue(&options->participants)) return RecordParse::Error;
      if (options->participants.empty()) {
        *error = "--participants needs a file name";
        return RecordParse::Error;
      }
    } else if (name == "--duration") {
      std::string text;
      if (!takeValue(&text)) return RecordParse::Error;
      if (!parseSeconds(text, &options->durationSeconds)) {
        *error = "--duration needs a number of seconds above 0 and at most " +
                 std::to_string(static_cast<long>(kMaxDurationSeconds)) + " (30 days), not '" + text + "'";
        return RecordParse::Error;
      }
    } else if (hasValue) {
      *error = "unknown option " + name;
      return RecordParse::Error;
    } else if (arg == "--all") {
      options->all = true;
    } else if (arg == "--list-ports") {
      list = true;
    } else if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else {
      *error = "unknown option " + arg;
      return RecordParse::Error;
    }
  }
  if (help) return RecordParse::Help;
  if (version) return RecordParse::Version;
  if (list) return RecordParse::ListPorts;
  if (options->port.empty()) {
    *error = "no port given (--port NAME; --list-ports lists the ports)";
    return RecordParse::Error;
  }
  return RecordParse::Run;
}

std::string portPathFor(const std::string& name, bool win32) {
  if (!win32 || name.size() < 4) return name;
  auto upper = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };
  if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') return name;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return name;
  return "\\\\.\\COM" + name.substr(3);
}

std::string recordUsage(const std::string& program) {
  return "Usage: " + program + R"( --port NAME [--out FILE] [--duration SECONDS] [--all]
       [--participants FILE]
       )" + program + R"( --list-ports | --help | --version

Records the readings of every heart-rate device a Koravel dongle hears, as
CSV, with no window. It opens the port, resets the dongle, asks for its
configuration, starts the scan and writes a row for each reading until the
time is up or you press Ctrl-C; then it resets the dongle again and closes
the file.

  --port NAME          the dongle's serial port: on Linux a path such as
                       /dev/ttyUSB0, on Windows COM5 (or \\.\COM5)
  --out FILE           the file to write; - writes to standard output.
                       Default: koravel-YYYYMMDD-HHMMSSZ.csv, named from the
                       start time (UTC), in the current folder. An existing
                       file is never overwritten
  --duration SECONDS   stop after this long, at most 30 days (default:
                       until Ctrl-C)
  --all                a row for every report with a good seal, whatever its
                       check byte (default: only the readings the console
                       applies, check byte 0x80)
  --participants FILE  who wears which device (a CSV with the columns
                       address, name and max_hr or age): each row then
                       names the person, the maximum heart rate, the
                       reading's percent of it and its zone. A file that
                       cannot be used stops the recorder before it begins
  --list-ports         list the ports the console would list, and exit
  -h, --help           this text
  --version            the version

Every device is recorded, not only the 40 the console has tiles for, and
Polar devices too: the console leaves those out of its tiles, the recorder
does not. Devices are told apart by their address.

Columns: time (ISO 8601, UTC, milliseconds), seconds (since the start),
address, name, brand (Mirabeat, Polar or other), heart_rate, rr_ms,
battery_pct, rssi (dBm), check (the check byte, e.g. 0x80), marker (a
line typed on standard input), person, max_hr, pct_max, zone (0 for rest,
1 to 5; from the participants file). A value not known is an empty cell.
UTF-8, CR LF line ends, quoted as RFC 4180 says; a text a spreadsheet
would take for a formula gets an apostrophe in front.

Rows go into a queue in memory (over ten minutes of the busiest line) and a
thread of their own writes them and syncs the file to the disk every
second; rows that find the queue full are counted as lost and said. A
dongle that does not answer is asked again every 2 s and said after 5 s.
When the port goes away, the recorder says so once and tries the same port
again every second; when the dongle is back it goes on in the same file.
Each line on standard input (typed on the terminal) is a marker row.

While it runs, a terminal shows a table of the devices heard, redrawn every
second; when standard error is not a terminal, one summary line every 10 s.

Exit status: 0 when the recording ended as asked (also when the reader of
standard output went away); 1 when the port or the file could not be used,
when rows were lost or could not be written, when the file was deleted
while recording, or when the dongle never answered; 2 for bad options or a
participants file that cannot be used.
)";
}

}  // namespace kv::record
