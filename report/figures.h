// What a session report says of each device, and how it is worked out.
//
//   A reading is a row with a heart rate from 1 to 254. Average = the mean
//   of the readings; minimum and maximum over them.
//
//   Time: a reading counts from its time until the device's next reading,
//   at most 5 s (the last one until the end of the recording, at most 5 s);
//   a longer gap is silent time and counts nowhere. Time in zone uses the
//   zone of the reading (rest, 1 to 5, as on the class display).
//
//   Beats: the dongle reports each device's latest RR interval, so one beat
//   can appear in several rows. A row's RR (300 to 2000 ms; others are
//   rejected) is a new beat when it differs from the device's previous RR,
//   or when at least 0.9 x that RR has passed since the device's last
//   counted beat.
//
//   Artefacts: a beat whose RR differs by more than 20 % from the median of
//   up to 5 beats before and 5 after it (itself left out) is rejected. Mean
//   RR, SDNN (the sample standard deviation) and pNN50 use the kept beats;
//   RMSSD and pNN50 use the successive differences of kept beats that were
//   consecutive beats.
//
// Every figure is over a span of the recording (the whole of it, or a
// segment between markers), from all the rows in it.
#pragma once

#include <cstdint>
#include <vector>

#include "report/session.h"

namespace kv::report {

inline constexpr std::int64_t kReadingCountsAtMostMs = 5000;
inline constexpr int kMinRrMs = 300, kMaxRrMs = 2000;
inline constexpr double kNewBeatShare = 0.9;
inline constexpr int kArtefactNeighbours = 5;
inline constexpr double kArtefactShare = 0.20;

struct Beat {
  std::int64_t ms = 0;  // the row in which it was first seen
  int rr = 0;
  bool kept = true;     // not an artefact
};

// The device's beats, in order, each marked kept or not.
std::vector<Beat> beatsOf(const Device& device);

// A span of the recording: [fromMs, toMs).
struct Span {
  std::int64_t fromMs = 0;
  std::int64_t toMs = 0;
};

struct Figures {
  std::uint64_t readings = 0;
  double seconds = 0;              // time the readings count
  double averageHr = 0;            // readings > 0
  int minHr = 0, maxHr = 0;        // readings > 0
  bool zonesKnown = false;         // the maximum is known
  double zoneSeconds[6] = {};      // rest, 1 to 5
  std::uint64_t beats = 0;
  std::uint64_t beatsRejected = 0;
  bool rrKnown = false;            // kept beats > 0
  double meanRr = 0;
  bool sdnnKnown = false;          // kept beats > 1
  double sdnn = 0;
  bool rmssdKnown = false;         // successive differences > 0
  double rmssd = 0;
  double pnn50 = 0;                // percent
};

// The figures of a device over `span`; `beats` from beatsOf, `endMs` the
// recording's last row.
Figures figuresOf(const Device& device, const std::vector<Beat>& beats, const Span& span, std::int64_t endMs);

// The spans between markers: from the first row to the first marker, from
// each marker to the next, and from the last marker to the end.
std::vector<Span> segments(const Session& session);

}  // namespace kv::report
