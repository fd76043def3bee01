// The recorder's command line.
#pragma once

#include <string>

namespace kv::record {

// The longest --duration: 30 days.
inline constexpr double kMaxDurationSeconds = 30.0 * 24 * 3600;

struct RecordOptions {
  std::string port;             // as given (Win32: COM5 or \\.\COM5)
  std::string out;              // "": named from the start time; "-": standard output
  double durationSeconds = 0;   // 0: until stopped
  bool all = false;             // every sealed report, not only applied readings
  std::string participants;     // the participants file, "" for none
};

enum class RecordParse { Run, ListPorts, Help, Version, Error };

// Reads the arguments (argv[0] is the program). On Error, *error names the
// option and what is wrong with it.
RecordParse parseRecordOptions(int argc, const char* const* argv, RecordOptions* options, std::string* error);

// The --help text.
std::string recordUsage(const std::string& program);

// The path to open for a port name as the user gives it. On Win32 "COM5"
// (any case) becomes "\\.\COM5", which also reaches COM10 and above; every
// other name, and every name elsewhere, is taken as it stands.
std::string portPathFor(const std::string& name, bool win32);

}  // namespace kv::record
