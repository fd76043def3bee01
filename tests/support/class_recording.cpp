#include "support/class_recording.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "link/frame.h"
#include "participants/participants.h"
#include "recording/csv.h"
#include "roster/slot_table.h"

namespace kv::test {

namespace {

const char* const kFirstNames[] = {"Anna",  "Ben",   "Chiara", "David", "Elif", "Farid", "Greta",
                                   "Hugo",  "Ines",  "Jonas",  "Kaito", "Lena", "Malik", "Nora",
                                   "Oskar", "Priya", "Rosa",   "Samir", "Tove", "Zoë"};
const char* const kLastNames[] = {"Berg", "Martin", "Okafor", "Lindqvist"};

// The session's effort at `x` (0 to 1 of it), a share of the maximum heart
// rate: a warm-up, four intervals of hard work and rest, a cool-down.
double effortAt(double x) {
  if (x < 0.15) return 0.55 + 0.10 * x / 0.15;
  if (x >= 0.85) return 0.65 - 0.15 * (x - 0.85) / 0.15;
  const double period = 0.7 / 4;
  const double phase = std::fmod(x - 0.15, period) / period;
  return phase < 0.6 ? 0.88 : 0.68;
}

struct Wearer {
  char name[kDeviceNameWidth + 1] = {};
  char address[kAddressWidth + 1] = {};
  Participant person;
  bool worn = false;
  double level = 1;   // how hard this one works, against the class
  double hr = 0;      // the heart rate now
  double nextBeatMs = 0;
  int lastRr = 0;     // the last beat's interval, 0: none yet
  std::int64_t silentFromMs = -1, silentToMs = -1;
  std::mt19937 random;
};

}  // namespace

std::uint64_t writeClassRecording(std::FILE* out, const ClassRecording& what) {
  const std::int64_t totalMs = static_cast<std::int64_t>(what.seconds) * 1000;
  std::vector<Wearer> class_(static_cast<std::size_t>(std::max(0, what.devices)));
  for (std::size_t i = 0; i < class_.size(); ++i) {
    Wearer& w = class_[i];
    const int d = static_cast<int>(i);
    w.random.seed(what.seed * 7919u + static_cast<std::uint32_t>(d));
    if (d % 7 == 6) std::snprintf(w.name, sizeof w.name, "Polar H10 %08X", 0x5A3C0000u + static_cast<unsigned>(d));
    else if (d % 4 == 3) std::snprintf(w.name, sizeof w.name, "Coros HRM %04d", 2200 + d);
    else std::snprintf(w.name, sizeof w.name, "Mirabeat HR-7 %04d", 400 + d);
    std::snprintf(w.address, sizeof w.address, "D0C5F3%06X", static_cast<unsigned>(0x100 + d * 0x1F3) & 0xFFFFFFu);
    std::uniform_real_distribution<double> unit(0, 1);
    w.person.maxHr = 170 + static_cast<int>(unit(w.random) * 30);
    w.level = 0.92 + 0.16 * unit(w.random);
    w.hr = 0.45 * w.person.maxHr;
    w.nextBeatMs = unit(w.random) * 800;
    w.worn = what.people && d % 5 != 4;
    std::snprintf(w.person.name, sizeof w.person.name, "%s %s", kFirstNames[d % 20], kLastNames[(d + d / 20) % 4]);
    std::memcpy(w.person.address, w.address, sizeof w.person.address);
    if (what.silentGaps && d % 3 == 1) {
      w.silentFromMs = totalMs * (30 + 12 * ((d / 3) % 5)) / 100;
      w.silentToMs = w.silentFromMs + std::min<std::int64_t>(40000, totalMs / 10);
    }
  }

  char row[kMaxRowSize];
  std::uint64_t rows = 0;
  auto put = [&](std::size_t n) {
    std::fwrite(row, 1, n, out);
    ++rows;
  };
  std::fputs(csvHeader(), out);
  put(formatDongleRow(row, what.startUnixMs, 0, "Koravel-Dng1 @A1:B2:C3:D4:E5:F6  Ver. 2.07"));

  const double stepMs = 1000.0 / what.rateHz;
  int markers = 0;
  std::int64_t nextMarkerMs = what.markerEvery > 0 ? what.markerEvery * 1000LL + 400 : totalMs + 1;
  std::normal_distribution<double> wobble(0, 1);
  std::uniform_real_distribution<double> unit(0, 1);
  for (std::int64_t step = 0;; ++step) {
    const double stepAt = static_cast<double>(step) * stepMs;
    if (stepAt >= static_cast<double>(totalMs)) break;
    for (std::size_t i = 0; i < class_.size(); ++i) {
      Wearer& w = class_[i];
      const auto ms = static_cast<std::int64_t>(stepAt + stepMs * static_cast<double>(i) / static_cast<double>(class_.size()));
      while (nextMarkerMs <= ms && nextMarkerMs < totalMs) {
        char text[32];
        std::snprintf(text, sizeof text, "%d", ++markers);
        put(formatMarkerRow(row, what.startUnixMs + nextMarkerMs, nextMarkerMs, text));
        nextMarkerMs += what.markerEvery * 1000LL;
      }
      // The heart follows the effort, a little behind it.
      const double target =
          std::clamp(w.person.maxHr * effortAt(static_cast<double>(ms) / static_cast<double>(totalMs)) * w.level, 50.0,
                     static_cast<double>(w.person.maxHr));
      w.hr += (target - w.hr) * std::min(1.0, stepMs / 15000.0);
      // Its beats up to now: each a little off the rate, with the breath;
      // now and then one the strap missed (twice as long).
      while (w.nextBeatMs <= static_cast<double>(ms)) {
        double rr = 60000.0 / w.hr * (1 + 0.02 * wobble(w.random) + 0.03 * std::sin(w.nextBeatMs / 4500.0 * 6.2832));
        if (unit(w.random) < 1.0 / 400) rr *= 2;
        w.lastRr = static_cast<int>(std::lround(rr));
        w.nextBeatMs += rr;
      }
      if (ms >= w.silentFromMs && ms < w.silentToMs) continue;
      DeviceReport r;
      r.name = w.name;
      r.address = w.address;
      r.rssi = static_cast<std::int8_t>(-55 - static_cast<int>(i % 20));
      r.heartRate = static_cast<std::uint8_t>(std::clamp(std::lround(w.hr + 1.2 * wobble(w.random)), 30L, 250L));
      r.rrInterval = static_cast<std::uint16_t>(w.lastRr > 0 ? w.lastRr : kNoReading16);
      r.battery = static_cast<std::uint8_t>(90 - 10 * ms / std::max<std::int64_t>(1, totalMs));
      put(formatReadingRow(row, what.startUnixMs + ms, ms, r, w.worn ? &w.person : nullptr));
    }
  }
  return rows;
}

bool writeClassRecordingFile(const std::string& path, const ClassRecording& what, std::uint64_t* rows) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::uint64_t n = writeClassRecording(f, what);
  if (rows != nullptr) *rows = n;
  const bool ok = !std::ferror(f);
  return std::fclose(f) == 0 && ok;
}

}  // namespace kv::test
