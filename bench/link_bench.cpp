// The link's reader over a real pseudo-terminal: CPU with a port open and no
// traffic, CPU at the full line rate, and the latency from the last byte of
// a report written into the pty to its tile text reaching the view.
//
// Usage: link_bench [seconds per CPU figure, default 5]
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "console/null_view.h"
#include "link/frame.h"
#include "link/link.h"
#include "roster/roster.h"

namespace {

using Clock = std::chrono::steady_clock;

// Line rate: 115200 baud 8N1 carries 11,520 bytes a second.
constexpr double kReportsPerSecond = 11520.0 / kv::kDeviceDataSize;

class BenchView : public kv::NullView {
 public:
  void setTileText(int, const char*) override {
    lastText = Clock::now().time_since_epoch().count();
    ++texts;
  }
  bool waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) override {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(arg) && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done(arg);
  }
  std::atomic<long long> lastText{0};
  std::atomic<long> texts{0};
};

double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::vector<std::uint8_t> report(int device, int heartRate) {
  char name[26], address[13];
  std::snprintf(name, sizeof name, "Mirabeat bench %02d", device);
  std::snprintf(address, sizeof address, "BE0C%08d", device);
  kv::DeviceReport r;
  r.name = name;
  r.address = address;
  r.heartRate = static_cast<std::uint8_t>(heartRate);
  r.rrInterval = static_cast<std::uint16_t>(60000 / heartRate);
  r.battery = 80;
  std::vector<std::uint8_t> frame(kv::kDeviceDataSize);
  kv::buildDeviceData(frame.data(), r);
  return frame;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads and drops what the console writes, so the pty never fills.
void drain(int fd) {
  std::uint8_t buf[256];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  int master = -1, slave = -1;
  char path[256];
  if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);

  // The line-rate generator is another process, forked now, before any
  // thread exists, and started through a pipe: its CPU is not ours, and no
  // fork happens while the reader is being measured.
  const int total = static_cast<int>(kReportsPerSecond * seconds);
  int go[2];
  if (pipe(go) != 0) {
    std::perror("pipe");
    return 1;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    char c = 0;
    if (read(go[0], &c, 1) != 1) _exit(0);
    const auto start = Clock::now();
    for (int i = 0; i < total; ++i) {
      std::this_thread::sleep_until(start + std::chrono::duration<double>(i / kReportsPerSecond));
      if (!writeAll(master, report(i % 40, 60 + i % 120))) _exit(1);
    }
    _exit(0);
  }
  close(go[0]);

  BenchView view;
  kv::LinkWords words;
  kv::TileBrushCache brushes;
  kv::Roster roster(view, brushes);
  kv::Link link(view, words, roster);
  link.startWriter();
  if (link.selectPort(path) != 0) {
    std::fprintf(stderr, "could not open %s\n", path);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::uint8_t buf[64];
    (void)!read(master, buf, sizeof buf);  // the soft reset
  }

  // 1. Idle: a port open, nothing arriving.
  double c0 = cpuSeconds();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double idle = (cpuSeconds() - c0) / std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("reader CPU, port open, no traffic: %.3f %% of one core\n", idle * 100.0);

  // 2. Full line rate from another process: 40 devices, about 209 reports a second.
  const long textsBefore = view.texts.load();
  const auto waitsBefore = link.emptyWaits();
  c0 = cpuSeconds();
  t0 = Clock::now();
  (void)!write(go[1], "g", 1);
  close(go[1]);
  int status = 0;
  waitpid(child, &status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double busy = (cpuSeconds() - c0) / wall;
  std::printf("reader CPU at the full line rate (%.0f reports/s, %d sent, %ld shown): %.2f %% of one core"
              " (%llu waits for input)\n",
              kReportsPerSecond, total, view.texts.load() - textsBefore, busy * 100.0,
              static_cast<unsigned long long>(link.emptyWaits() - waitsBefore));

  // 3. Latency: one report at a time, from its last byte written to its tile text.
  std::thread drainer([&] { drain(master); });
  std::vector<double> latencies;
  for (int i = 0; i < 1000; ++i) {
    const long before = view.texts.load();
    const auto bytes = report(i % 40, 60 + i % 120);
    writeAll(master, bytes);
    const auto written = Clock::now();
    while (view.texts.load() == before && Clock::now() - written < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const auto shown = Clock::time_point(Clock::duration(view.lastText.load()));
    latencies.push_back(std::chrono::duration<double, std::milli>(shown - written).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("report to tile text latency over %zu reports: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
              latencies.back());

  link.stopLink();
  close(master);
  drainer.join();
  return 0;
}
