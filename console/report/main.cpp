// koravel-report: a recording made into a session report.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "base/arguments.h"
#include "console/report/report_options.h"
#include "kv_version.h"
#include "participants/participants.h"
#include "report/outputs.h"
#include "report/session.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr const char* kProgram = "koravel-report";

namespace fs = std::filesystem;

fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

// Writes `text` to `path` whole: into a file beside it first, then put in
// its place, so that a failure leaves no half file.
bool writeWhole(const std::string& path, const std::string& text, std::string* why) {
  const fs::path target = pathOf(path);
  fs::path partial = target;
  partial += ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(partial, ec);
      *why = "it cannot be written";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(partial, target, ec);
  if (ec) {
    // Windows will not rename over a file: the old one goes first.
    fs::remove(target, ec);
    fs::rename(partial, target, ec);
  }
  if (ec) {
    fs::remove(partial, ec);
    *why = ec.message();
    return false;
  }
  return true;
}

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}


}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
  const std::vector<std::string> utf8 = kv::utf8Arguments(argc, argv);
  const std::vector<const char*> args = kv::argumentPointers(utf8);
  kv::report::ReportOptions options;
  std::string error;
  switch (kv::report::parseReportOptions(static_cast<int>(args.size()), args.data(), &options, &error)) {
    case kv::report::ReportParse::Help:
      std::fputs(kv::report::reportUsage(kProgram).c_str(), stdout);
      return 0;
    case kv::report::ReportParse::Version:
      std::printf("%s %s\n", kProgram, KV_VERSION);
      return 0;
    case kv::report::ReportParse::Error:
      std::fprintf(stderr, "%s: %s\n%s", kProgram, error.c_str(), kv::report::reportUsage(kProgram).c_str());
      return 2;
    case kv::report::ReportParse::Run:
      break;
  }

  kv::report::Session session;
  std::string refusal;
  if (!kv::report::readSessionFile(options.recording, &session, &refusal)) {
    say(options.recording + ": " + refusal + "; nothing written");
    return 1;
  }
  for (const std::string& p : session.problems) say(options.recording + " " + p);
  bool readings = false;
  for (const auto& d : session.devices)
    for (const auto& s : d.samples) readings = readings || (s.heartRate >= 1 && s.heartRate <= 254);
  if (!readings) {
    say(options.recording + ": no readings to report; nothing written");
    return 1;
  }
  if (!options.participants.empty()) {
    kv::ParticipantTable people;
    const kv::ParticipantsRead read = kv::readParticipantsFile(options.participants, &people);
    if (read.refused) {
      say(read.refusal);
      return 2;
    }
    for (const std::string& p : read.problems) say(p);
    kv::report::nameParticipants(&session, people);
  }

  const kv::report::Report report = kv::report::makeReport(session, fileNameOf(options.recording));
  // Everything to be written, known before anything is.
  struct Output {
    std::string path;
    std::string text;
  };
  std::vector<Output> outputs;
  outputs.push_back({options.out.empty() ? kv::report::defaultReportPath(options.recording) : options.out,
                     kv::report::reportHtml(report)});
  if (!options.summary.empty()) outputs.push_back({options.summary, kv::report::summaryCsv(report)});
  if (!options.rrDir.empty()) {
    std::vector<std::string> names;
    for (const auto& d : report.devices) {
      names.push_back(kv::report::rrFileName(d, names));
      const std::u8string p = (pathOf(options.rrDir) / pathOf(names.back())).u8string();
      outputs.push_back({std::string(p.begin(), p.end()), kv::report::rrText(d)});
    }
  }
  if (!options.force) {
    for (const Output& o : outputs) {
      std::error_code ec;
      if (fs::exists(pathOf(o.path), ec)) {
        say(o.path + " exists; --force replaces it; nothing written");
        return 1;
      }
    }
  }
  if (!options.rrDir.empty()) {
    std::error_code ec;
    fs::create_directories(pathOf(options.rrDir), ec);
    if (ec) {
      say(options.rrDir + ": cannot make the folder: " + ec.message() + "; nothing written");
      return 1;
    }
  }
  for (const Output& o : outputs) {
    std::string why;
    if (!writeWhole(o.path, o.text, &why)) {
      say("cannot write " + o.path + ": " + why);
      return 1;
    }
  }
  std::printf("%s\n", outputs.front().path.c_str());
  return 0;
}
