// koravel-report on a long class: a one-hour recording of 40 devices at
// 5 Hz (720,000 readings, less a few silent gaps, with a marker every 5
// minutes), made by the recording's own rows (tests/support/class_recording),
// then made into its report by the program itself, as a user runs it.
// Prints, for each run, the wall time, the program's peak resident memory
// and the page's size, against the targets: at most 5 s, 200 MB and 10 MB
// (a Release build). Exits 1 when a run misses one.
//
//   report_bench [--devices N] [--rate HZ] [--seconds S] [--runs N] [--keep DIR] [KORAVEL_REPORT]
//
// --keep DIR leaves the recording and its page in DIR (else a scratch
// folder, removed). KORAVEL_REPORT: the program (default: this build's).
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/class_recording.h"

extern char** environ;

namespace {

constexpr double kMaxSeconds = 5;
constexpr double kMaxResidentMb = 200;
constexpr double kMaxPageMb = 10;

struct Run {
  int status = -1;
  double seconds = 0;
  double residentMb = 0;
  double pageMb = 0;
};

// One run of the program on `csv`, its page written to `html`.
Run runReport(const std::string& program, const std::string& csv, const std::string& html) {
  Run run;
  std::vector<std::string> args = {program, csv, "--out", html, "--force"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  // Its standard output names the page: not for the table.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.residentMb = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
  struct stat st{};
  if (::stat(html.c_str(), &st) == 0) run.pageMb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  return run;
}

int usage() {
  std::fprintf(stderr,
               "usage: report_bench [--devices N] [--rate HZ] [--seconds S] [--runs N] [--keep DIR] [KORAVEL_REPORT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  kv::test::ClassRecording what;
  what.devices = 40;
  what.rateHz = 5;
  what.seconds = 3600;
  what.markerEvery = 300;
  int runs = 3;
  std::string keep;
  std::string program = KV_REPORT_PROGRAM;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool valued = i + 1 < argc;
    if (a == "--devices" && valued) what.devices = std::atoi(argv[++i]);
    else if (a == "--rate" && valued) what.rateHz = std::atof(argv[++i]);
    else if (a == "--seconds" && valued) what.seconds = std::atoi(argv[++i]);
    else if (a == "--runs" && valued) runs = std::atoi(argv[++i]);
    else if (a == "--keep" && valued) keep = argv[++i];
    else if (!a.empty() && a[0] != '-') program = a;
    else return usage();
  }
  if (what.devices < 1 || what.rateHz <= 0 || what.seconds < 1 || runs < 1) return usage();

  std::string dir = keep;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kv-report-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("report_bench: mkdtemp");
      return 1;
    }
    dir = pattern;
  } else {
    std::filesystem::create_directories(dir);
  }
  const std::string csv = dir + "/class.csv", html = dir + "/class.html";

  std::uint64_t rows = 0;
  const auto madeFrom = std::chrono::steady_clock::now();
  if (!kv::test::writeClassRecordingFile(csv, what, &rows)) {
    std::fprintf(stderr, "report_bench: cannot write %s\n", csv.c_str());
    return 1;
  }
  std::printf("recording: %d devices at %g Hz for %d s: %llu rows, %.1f MB (made in %.1f s)\n", what.devices,
              what.rateHz, what.seconds, static_cast<unsigned long long>(rows),
              static_cast<double>(std::filesystem::file_size(csv)) / (1024.0 * 1024.0),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - madeFrom).count());
  std::printf("%-4s %10s %14s %10s\n", "run", "wall s", "peak RSS MB", "page MB");
  bool missed = false;
  for (int r = 1; r <= runs; ++r) {
    const Run run = runReport(program, csv, html);
    if (run.status != 0) {
      std::fprintf(stderr, "report_bench: %s ended with %d\n", program.c_str(), run.status);
      missed = true;
      break;
    }
    const bool over = run.seconds > kMaxSeconds || run.residentMb > kMaxResidentMb || run.pageMb > kMaxPageMb;
    missed = missed || over;
    std::printf("%-4d %10.2f %14.1f %10.2f%s\n", r, run.seconds, run.residentMb, run.pageMb, over ? "  over a target" : "");
  }
  std::printf("targets: at most %.0f s, %.0f MB resident, %.0f MB page\n", kMaxSeconds, kMaxResidentMb, kMaxPageMb);
  if (keep.empty()) std::filesystem::remove_all(dir);
  return missed ? 1 : 0;
}
