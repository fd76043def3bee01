// koravel-report's command line.
#pragma once

#include <string>

namespace kv::report {

struct ReportOptions {
  std::string recording;     // the recording to read
  std::string participants;  // "" for none
  std::string out;           // the page; "": beside the recording, same name, .html
  std::string summary;       // the summary CSV, "" for none
  std::string rrDir;         // the folder for the RR files, "" for none
  bool force = false;        // files that exist may be replaced
};

enum class ReportParse { Run, Help, Version, Error };

// Reads the arguments (argv[0] is the program); on Error, *error says what
// is wrong.
ReportParse parseReportOptions(int argc, const char* const* argv, ReportOptions* options, std::string* error);

// The page's path when --out is not given: the recording's, with .html for
// its extension.
std::string defaultReportPath(const std::string& recording);

std::string reportUsage(const std::string& program);

}  // namespace kv::report
