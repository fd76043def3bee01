// A recording read back: its devices with their readings over time, its
// markers, and what was wrong with it.
//
// A recording of either program, or of an earlier version (the columns it
// has are found by the header's names, so the newer ones may be missing and
// unknown ones are passed over). Rows out of order are put in order; a row
// that cannot be read (the recording cut off mid-row by a crash or a full
// disk, a cell that is not a number) is said with its line number and left
// out; everything else is used.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace kv::report {

// One row of a device: its time (milliseconds since the recording began),
// heart rate (0: none) and RR interval (0: none).
struct Sample {
  std::int64_t ms = 0;
  std::uint8_t heartRate = 0;
  std::uint16_t rr = 0;
};

struct Device {
  std::string address;  // as written
  std::string name;     // the device's name, as written last
  std::string person;   // the participant wearing it, "" when none
  int maxHr = 0;        // the participant's maximum, 0: not known
  std::vector<Sample> samples;  // in time order
};

struct Marker {
  std::int64_t ms = 0;
  std::string text;
};

// The dongle's lines a session keeps. A recording has a dongle row when it
// begins and when the line changes: one or two lines, a few with dongles
// swapped.
inline constexpr std::size_t kDongleLinesKept = 10;

struct Session {
  std::vector<Device> devices;  // in the order first seen
  std::vector<std::string> dongles;  // the dongle's lines, each as it first came (the first kDongleLinesKept)
  std::uint64_t otherDongleRows = 0; // dongle rows with none of those lines
  std::vector<Marker> markers;  // in time order
  std::int64_t startUnixMs = 0;  // the wall-clock time at ms 0, when known
  std::int64_t firstMs = 0, lastMs = 0;  // the first and last row
  std::uint64_t rows = 0;       // rows used (readings and markers)
  bool hasTimes = false;        // any row was read
  // What was wrong, a line each: "line 7: ...".
  std::vector<std::string> problems;
};

// Reads a recording. False, with why in *refusal, when the text is not a
// recording at all (no header with the columns one has); an empty one is
// read (it has no rows).
bool readSession(std::istream& in, Session* session, std::string* refusal);

// The same from a file at `path` (UTF-8).
bool readSessionFile(const std::string& path, Session* session, std::string* refusal);

}  // namespace kv::report

namespace kv {
class ParticipantTable;
namespace report {
// Participants given for a recording that does not name them (one made
// before the participants, or without a file): a device with no person
// takes the one wearing its address, with their maximum.
void nameParticipants(Session* session, const ParticipantTable& people);
}  // namespace report
}  // namespace kv
