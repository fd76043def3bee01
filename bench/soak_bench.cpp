// Soak of the console core at the full line rate: the simulated dongle, in a
// child process of its own so that its CPU is not counted, reports 40
// devices faster than the line can carry (the simulator paces them to
// 115200 8N1, about 209 reports a second) with faults on about 5 % of the
// frames; this process runs the console core (link threads, roster, a
// counting view) as the operator left it: port picked, scan started, every
// tile linked, tooltips served.
//
// Printed: frames and reports the dongle sent, readings the console applied,
// bad seals reported, and the CPU (per cent of one core) and resident memory
// of this process, after 10 seconds, every minute and at the end. At the
// end the dongle's record is read back: every report sent whole with a good
// seal and check byte 0x80, from a device the roster accepts, should have
// been applied, unless the 8-bit seal let a damaged frame through in its
// place: so the recorded byte stream is also fed, frame by frame, to a fresh
// parser, and the console must have applied exactly what that parser does.
//
// Usage: soak_bench [seconds, default 600] [seed]
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "console/null_view.h"
#include "support/record_replay.h"
#include "console/console.h"
#include "link/parser.h"
#include "support/sim_record.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the dongle's process shares with this one.
struct Shared {
  std::atomic<int> ready{0};  // 1: slave path set; -1: the simulator failed
  std::atomic<int> stop{0};
  std::atomic<std::uint64_t> framesSent{0};
  std::atomic<std::uint64_t> reportsSent{0};
  std::atomic<std::uint64_t> reportsIntact{0};
  std::atomic<std::uint64_t> reportsSkipped{0};
  std::atomic<std::uint64_t> bytesWritten{0};
  char slavePath[256] = {};
};

void publish(Shared& shared, const kv::sim::SimCounters& c) {
  shared.framesSent = c.framesSent;
  shared.reportsSent = c.reportsSent;
  shared.reportsIntact = c.reportsIntact;
  shared.reportsSkipped = c.reportsSkipped;
  shared.bytesWritten = c.bytesWritten;
}

[[noreturn]] void runDongle(Shared& shared, const kv::sim::SimOptions& options) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  kv::sim::DongleSim sim(options);
  std::string path;
  std::string error;
  if (!sim.openPty(&path, &error)) {
    std::fprintf(stderr, "dongle: %s\n", error.c_str());
    shared.ready = -1;
    ::_exit(1);
  }
  std::snprintf(shared.slavePath, sizeof shared.slavePath, "%s", path.c_str());
  shared.ready = 1;
  sim.start();
  while (shared.stop.load() == 0) {
    publish(shared, sim.counters());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sim.stop();
  publish(shared, sim.counters());
  sim.closePty();
  ::_exit(0);
}

// A view that counts what the console shows and keeps nothing, standing in
// for a window whose log trims itself.
class SoakView : public kv::View {
 public:
  void appendLog(const char* text) override {
    std::lock_guard ui(ui_);
    logBytes += std::strlen(text);
    if (std::strncmp(text, "\r\ntrust, ", 9) == 0) {
      ++trustLines;
    } else if (std::strstr(text, "reg cmd bad chksum") != nullptr) {
      ++regBadSeals;
    } else if (std::strstr(text, " bad chksum ") != nullptr) {
      ++otherBadSeals;
    } else if (std::strstr(text, ">> got dongle ack") != nullptr) {
      ++acks;
    } else if (std::strstr(text, " lost rc=") != nullptr) {
      ++lost;
    }
  }
  void setDongleLine(const char* text) override {
    std::lock_guard ui(ui_);
    dongleLine = text;
  }
  void setStartLabel(const char* text) override {
    std::lock_guard ui(ui_);
    startLabel = text;
  }
  void setTileText(int, const char*) override { ++tileTexts; }
  void setLinkedCount(const char*) override {}
  void setTileTooltip(int, const char*) override { ++tooltips; }
  void deactivateTooltip(int) override {}
  void runOnUiThread(void (*fn)(void*), void* arg) override {
    std::lock_guard ui(ui_);
    fn(arg);
  }
  void postTooltipRequest(int slot) override {
    std::lock_guard lock(queue_);
    if (requests_.size() < 4096) requests_.push_back(slot);
  }
  void setLogButtonLabel(const char*) override {}
  void clearLog() override {}
  unsigned logCaretLine() override { return 0; }
  void trimLogFront(int) override {}
  bool addPort(const char*) override { return true; }
  int selectedPort() override { return 0; }
  void portName(int, char* out, int size) override { std::snprintf(out, static_cast<std::size_t>(size), "%s", port.c_str()); }
  void showErrorBox(const char* text, const char*) override { std::fprintf(stderr, "error box: %s\n", text); }
  void showAboutBox() override {}
  void postShutdown() override {}
  void destroyWindow() override {}
  void waitServingLink(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) override {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(arg) && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done(arg);
  }
  void repaintTiles() override {}

  // The UI thread's turn: serves the queued tooltip requests.
  void serve(kv::ConsoleCore& core) {
    std::vector<int> pending;
    {
      std::lock_guard lock(queue_);
      pending.swap(requests_);
    }
    std::lock_guard ui(ui_);
    for (int slot : pending) kv::handleCommand(core, kv::id::kFirstTooltipRequest + slot, 0);
  }
  void onUi(const std::function<void()>& fn) {
    std::lock_guard ui(ui_);
    fn();
  }
  std::string dongleLineNow() {
    std::lock_guard ui(ui_);
    return dongleLine;
  }
  std::string startLabelNow() {
    std::lock_guard ui(ui_);
    return startLabel;
  }

  std::string port;
  std::atomic<std::uint64_t> logBytes{0}, trustLines{0}, regBadSeals{0}, otherBadSeals{0}, acks{0}, lost{0};
  std::atomic<std::uint64_t> tileTexts{0}, tooltips{0};

 private:
  std::recursive_mutex ui_;
  std::mutex queue_;
  std::vector<int> requests_;
  std::string dongleLine;
  std::string startLabel;
};

double cpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long residentKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  std::fclose(f);
  return kb;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20240601;

  const auto dir = std::filesystem::temp_directory_path() / ("koravel-soak-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string recordPath = (dir / "dongle.rec").string();

  kv::sim::SimOptions options;
  options.devices = 40;
  options.rateHz = 5.5;  // above the line's 209 reports a second: the simulator paces to the line
  options.seed = seed;
  options.recordPath = recordPath;
  options.faults.badSeal = 0.01;
  options.faults.split = 0.01;
  options.faults.garbage = 0.01;
  options.faults.unknown = 0.01;
  options.faults.dropByte = 0.01;

  // The dongle's process is forked before this one starts any thread.
  void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
  Shared& shared = *new (memory) Shared;
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) runDongle(shared, options);
  if (!waitFor([&] { return shared.ready.load() != 0; }, 5000) || shared.ready.load() != 1) {
    std::fprintf(stderr, "the simulated dongle did not start\n");
    ::kill(child, SIGTERM);
    return 1;
  }

  std::printf("soak: %.0f s, 40 devices at %.1f Hz (paced to the line), faults 1 %% each of bad seal, split, "
              "garbage, unknown frame, dropped byte; seed %llu\n",
              seconds, options.rateHz, static_cast<unsigned long long>(seed));
  std::printf("memory before the console starts: VmRSS %ld kB\n", residentKb());

  SoakView view;
  view.port = shared.slavePath;
  bool ok = true;
  {
    kv::ConsoleCore core(view);
    if (!kv::startConsole(core)) {
      std::fprintf(stderr, "the console did not start\n");
      return 1;
    }
    kv::handleCommand(core, kv::id::kPortList, kv::kCbnSelChange);
    if (!waitFor([&] { return !view.dongleLineNow().empty(); }, 5000)) {
      std::fprintf(stderr, "no dongle configuration arrived\n");
      ok = false;
    }
    std::printf("dongle: %s\n", view.dongleLineNow().c_str());
    view.onUi([&] { kv::handleCommand(core, kv::id::kStart, kv::kBnClicked); });
    if (!waitFor([&] { return view.startLabelNow() == "Stop !!!"; }, 5000)) {
      std::fprintf(stderr, "the scan did not start\n");
      ok = false;
    }
    // The operator links every device once the tiles have filled.
    bool linked = false;

    std::printf("%8s %8s %9s %9s %9s %9s %7s %7s %10s\n", "time s", "cpu %", "rss kB", "frames", "intact", "applied",
                "badseal", "lost", "tile texts");
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    auto lastMark = start;
    double lastCpu = cpuStart;
    double nextReport = 10.0;
    double firstCpu = -1;
    double lastIntervalCpu = 0;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      view.serve(core);
      const auto now = Clock::now();
      const double t = std::chrono::duration<double>(now - start).count();
      if (!linked && t > 3.0) {
        view.onUi([&] {
          for (int i = 0; i < kv::kTileCount; ++i)
            if (core.roster.table().isSlotInUse(i)) kv::handleCommand(core, kv::id::kFirstTile + i, kv::kBnClicked);
        });
        linked = true;
      }
      const bool done = t >= seconds;
      if (t >= nextReport || done) {
        const double cpu = cpuSeconds();
        const double wall = std::chrono::duration<double>(now - lastMark).count();
        const double percent = 100.0 * (cpu - lastCpu) / wall;
        if (firstCpu < 0) firstCpu = percent;
        lastIntervalCpu = percent;
        std::printf("%8.0f %8.2f %9ld %9llu %9llu %9llu %7llu %7llu %10llu\n", t, percent, residentKb(),
                    static_cast<unsigned long long>(shared.framesSent.load()),
                    static_cast<unsigned long long>(shared.reportsIntact.load()),
                    static_cast<unsigned long long>(view.trustLines.load()),
                    static_cast<unsigned long long>(view.regBadSeals.load()),
                    static_cast<unsigned long long>(view.lost.load()),
                    static_cast<unsigned long long>(view.tileTexts.load()));
        std::fflush(stdout);
        lastMark = now;
        lastCpu = cpu;
        nextReport = nextReport < 60.0 ? 60.0 : nextReport + 60.0;
      }
      if (done) break;
    }
    const double wallAll = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuAll = 100.0 * (cpuSeconds() - cpuStart) / wallAll;

    // Stop the scan as the operator would, let the console read the rest,
    // close it, then end the dongle.
    view.onUi([&] { kv::handleCommand(core, kv::id::kStart, kv::kBnClicked); });
    if (!waitFor([&] { return view.startLabelNow() == "Start ..."; }, 5000)) {
      std::fprintf(stderr, "the scan did not stop\n");
      ok = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the dongle publishes its counters every 100 ms
    const std::uint64_t written = shared.bytesWritten.load();
    if (!waitFor([&] { return core.link.bytesRead() >= written; }, 5000)) {
      std::printf("the console read %llu of the %llu bytes sent\n",
                  static_cast<unsigned long long>(core.link.bytesRead()), static_cast<unsigned long long>(written));
      ok = false;
    }
    kv::shutdownWindow(core);
    const int stopped = core.link.stopLink();
    shared.stop = 1;
    int status = 0;
    ::waitpid(child, &status, 0);

    const kv::test::SimRecordSummary s = kv::test::summariseSimRecord(recordPath);
    std::printf("\n");
    std::printf("cpu of this process: %.2f %% of one core after 10 s, %.2f %% over the last interval, %.2f %% overall\n",
                firstCpu, lastIntervalCpu, cpuAll);
    std::printf("dongle sent: %llu frames, %llu reports (%llu whole with a good seal), %llu to apply "
                "(check 0x80, not Polar), %llu skipped for lack of line\n",
                static_cast<unsigned long long>(s.framesSent), static_cast<unsigned long long>(s.reportsSent),
                static_cast<unsigned long long>(s.reportsIntact), static_cast<unsigned long long>(s.reportsToApply),
                static_cast<unsigned long long>(shared.reportsSkipped.load()));
    std::printf("faults sent: %llu bad seals, %llu dropped bytes, %llu split, %llu unknown frames, %llu garbage runs\n",
                static_cast<unsigned long long>(s.badSealReports), static_cast<unsigned long long>(s.dropByteReports),
                static_cast<unsigned long long>(s.splitReports), static_cast<unsigned long long>(s.unknownFrames),
                static_cast<unsigned long long>(s.garbageRuns));
    std::printf("console: %llu readings applied, %llu reg bad seals reported, %llu other bad seals, %llu acks, "
                "%llu ports lost, %llu tile texts, %llu tooltips, %llu log bytes\n",
                static_cast<unsigned long long>(view.trustLines.load()),
                static_cast<unsigned long long>(view.regBadSeals.load()),
                static_cast<unsigned long long>(view.otherBadSeals.load()),
                static_cast<unsigned long long>(view.acks.load()), static_cast<unsigned long long>(view.lost.load()),
                static_cast<unsigned long long>(view.tileTexts.load()),
                static_cast<unsigned long long>(view.tooltips.load()),
                static_cast<unsigned long long>(view.logBytes.load()));
    const kv::ReceiveCounters replay = kv::bench::replayRecord(recordPath);
    std::printf("the recorded stream fed to a fresh parser: %u readings applied, %u bad seals\n",
                replay.readingsApplied, replay.badSeals);
    const long long missing = static_cast<long long>(s.reportsToApply) - static_cast<long long>(view.trustLines.load());
    std::printf("readings to apply minus applied: %lld (lost to damaged frames the 8-bit seal let through: %lld); "
                "host buffer overruns: %llu; stopLink: %d\n",
                missing, static_cast<long long>(s.reportsToApply) - static_cast<long long>(replay.readingsApplied),
                static_cast<unsigned long long>(s.overruns), stopped);
    const std::uint64_t badReported = view.regBadSeals.load() + view.otherBadSeals.load();
    ok = ok && view.trustLines.load() == replay.readingsApplied && badReported == replay.badSeals &&
         view.regBadSeals.load() >= s.badSealReports && s.overruns == 0 && stopped == 0 && view.lost.load() == 0;
  }
  std::printf("memory at the end: VmRSS %ld kB\n", residentKb());
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::printf("%s\n", ok ? "soak: OK" : "soak: MISMATCH");
  return ok ? 0 : 1;
}
