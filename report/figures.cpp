#include "report/figures.h"

#include <algorithm>
#include <cmath>

#include "participants/participants.h"

namespace kv::report {

namespace {

double median(std::vector<int>& v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

bool inRange(int rr) { return rr >= kMinRrMs && rr <= kMaxRrMs; }

}  // namespace

std::vector<Beat> beatsOf(const Device& device) {
  std::vector<Beat> beats;
  int previous = 0;             // the device's previous RR, 0: none yet
  std::int64_t lastBeatMs = 0;  // when the last beat was counted
  bool counted = false;
  for (const Sample& s : device.samples) {
    if (s.rr == 0) continue;
    const int rr = s.rr;
    const bool fresh = previous == 0 || rr != previous ||
                       (counted && static_cast<double>(s.ms - lastBeatMs) >= kNewBeatShare * rr);
    previous = rr;
    if (!fresh) continue;
    beats.push_back(Beat{s.ms, rr, inRange(rr)});
    lastBeatMs = s.ms;
    counted = true;
  }
  // Artefacts, among the beats in range: more than 20 % off the median of
  // their neighbours.
  std::vector<std::size_t> valid;
  for (std::size_t i = 0; i < beats.size(); ++i)
    if (beats[i].kept) valid.push_back(i);
  std::vector<bool> artefact(valid.size(), false);
  std::vector<int> around;
  for (std::size_t k = 0; k < valid.size(); ++k) {
    around.clear();
    const std::size_t from = k >= kArtefactNeighbours ? k - kArtefactNeighbours : 0;
    const std::size_t to = std::min(valid.size(), k + kArtefactNeighbours + 1);
    for (std::size_t j = from; j < to; ++j)
      if (j != k) around.push_back(beats[valid[j]].rr);
    if (around.empty()) continue;
    const double m = median(around);
    artefact[k] = std::fabs(beats[valid[k]].rr - m) > kArtefactShare * m;
  }
  for (std::size_t k = 0; k < valid.size(); ++k)
    if (artefact[k]) beats[valid[k]].kept = false;
  return beats;
}

Figures figuresOf(const Device& device, const std::vector<Beat>& beats, const Span& span, std::int64_t endMs) {
  Figures f;
  // The readings, and the time each counts: until the next reading, at
  // most 5 s, within the span. Only the rows from 5 s before the span to
  // its end can count in it, so a span costs what it holds, not the whole
  // recording (a recording with many markers has many spans).
  const std::vector<Sample>& s = device.samples;
  const auto byMs = [](const Sample& x, std::int64_t ms) { return x.ms < ms; };
  const std::size_t first = static_cast<std::size_t>(
      std::lower_bound(s.begin(), s.end(), span.fromMs - kReadingCountsAtMostMs, byMs) - s.begin());
  const std::size_t last =
      static_cast<std::size_t>(std::lower_bound(s.begin() + static_cast<std::ptrdiff_t>(first), s.end(), span.toMs, byMs) -
                               s.begin());
  double hrSum = 0;
  std::size_t next = 0;
  for (std::size_t i = first; i < last; ++i) {
    const int hr = s[i].heartRate;
    if (hr < 1 || hr > 254) continue;
    if (next <= i) {
      // The device's next reading; rows 5 s on or more need not be looked
      // past (the reading counts 5 s then whatever comes).
      next = i + 1;
      while (next < s.size() && (s[next].heartRate < 1 || s[next].heartRate > 254) &&
             s[next].ms - s[i].ms < kReadingCountsAtMostMs)
        ++next;
    }
    const std::int64_t until = next < s.size() ? s[next].ms : std::max(endMs, s[i].ms);
    const std::int64_t end = s[i].ms + std::min(until - s[i].ms, kReadingCountsAtMostMs);
    const std::int64_t from = std::max(s[i].ms, span.fromMs), to = std::min(end, span.toMs);
    if (to > from) {
      const double seconds = static_cast<double>(to - from) / 1000.0;
      f.seconds += seconds;
      const int zone = zoneOf(hr, device.maxHr);
      if (zone >= 0) f.zoneSeconds[zone] += seconds;
    }
    if (s[i].ms < span.fromMs) continue;
    ++f.readings;
    hrSum += hr;
    f.minHr = f.readings == 1 ? hr : std::min(f.minHr, hr);
    f.maxHr = f.readings == 1 ? hr : std::max(f.maxHr, hr);
  }
  if (f.readings != 0) f.averageHr = hrSum / static_cast<double>(f.readings);
  f.zonesKnown = device.maxHr > 0;

  // The beats in the span.
  double sum = 0, sumSq = 0;
  std::uint64_t kept = 0;
  double diffSq = 0;
  std::uint64_t diffs = 0, over50 = 0;
  const auto beatByMs = [](const Beat& b, std::int64_t ms) { return b.ms < ms; };
  const auto firstBeat = std::lower_bound(beats.begin(), beats.end(), span.fromMs, beatByMs);
  const auto endBeat = std::lower_bound(firstBeat, beats.end(), span.toMs, beatByMs);
  for (auto i = static_cast<std::size_t>(firstBeat - beats.begin()); i < static_cast<std::size_t>(endBeat - beats.begin());
       ++i) {
    const Beat& b = beats[i];
    ++f.beats;
    if (!b.kept) {
      ++f.beatsRejected;
      continue;
    }
    ++kept;
    sum += b.rr;
    sumSq += static_cast<double>(b.rr) * b.rr;
    if (i > 0 && beats[i - 1].kept && beats[i - 1].ms >= span.fromMs) {
      const double d = b.rr - beats[i - 1].rr;
      diffSq += d * d;
      ++diffs;
      over50 += std::fabs(d) > 50 ? 1 : 0;
    }
  }
  if (kept > 0) {
    f.rrKnown = true;
    f.meanRr = sum / static_cast<double>(kept);
  }
  if (kept > 1) {
    f.sdnnKnown = true;
    const double var = (sumSq - sum * sum / static_cast<double>(kept)) / static_cast<double>(kept - 1);
    f.sdnn = std::sqrt(std::max(0.0, var));
  }
  if (diffs > 0) {
    f.rmssdKnown = true;
    f.rmssd = std::sqrt(diffSq / static_cast<double>(diffs));
    f.pnn50 = 100.0 * static_cast<double>(over50) / static_cast<double>(diffs);
  }
  return f;
}

std::vector<Span> segments(const Session& session) {
  std::vector<Span> spans;
  std::int64_t from = session.firstMs;
  for (const Marker& m : session.markers) {
    if (m.ms > from) spans.push_back(Span{from, m.ms});
    from = std::max(from, m.ms);
  }
  spans.push_back(Span{from, session.lastMs + 1});
  return spans;
}

}  // namespace kv::report
