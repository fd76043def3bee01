// Participants: who wears which strap, and how hard their heart may work.
//
// A coach keeps them in a spreadsheet and saves it as CSV: a header line
// that names the columns (any order, any letter case), then one line per
// person. `address` (the device's 12 hexadecimal digits, with or without
// colons or dashes, any case) and `name` are needed; `max_hr` (100 to 230)
// or, when it is empty, `age` (8 to 100; the maximum is then
// 208 - 0.7 x age, rounded) give the maximum heart rate. Other columns are
// kept in the file but not read.
//
// What spreadsheets write is read: comma, semicolon or tab between cells
// (whichever the header line holds most of), UTF-8 with or without a
// byte-order mark, else Windows-1252; quotes as RFC 4180 gives them; CR LF
// or LF; blank lines and lines beginning with # are passed over. A bad line
// is said (with its line number) and left out; the others are used.
//
// Heart-rate zones, by whole percent of the maximum: rest under 50, zone 1
// from 50, 2 from 60, 3 from 70, 4 from 80, 5 from 90.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/rgb.h"

namespace kv {

inline constexpr int kMaxParticipants = 1000;
// A file larger than this is not a participants file; it is not read.
inline constexpr std::size_t kMaxParticipantsFileBytes = 1 << 20;
// The most characters of a name kept (the class display shows the first
// kShownNameCharacters of them).
inline constexpr std::size_t kParticipantNameCharacters = 64;
inline constexpr std::size_t kShownNameCharacters = 24;
inline constexpr std::size_t kParticipantNameSize = 4 * kParticipantNameCharacters + 1;
inline constexpr int kMinMaxHr = 100, kMaxMaxHr = 230;
inline constexpr int kMinAge = 8, kMaxAge = 100;

struct Participant {
  char address[13] = {};                 // 12 upper-case hexadecimal digits
  char name[kParticipantNameSize] = {};  // UTF-8, without control characters
  int maxHr = 0;                         // 0: not known
  int age = 0;                           // as the file gave it, 0: none
  bool maxHrFromAge = false;             // maxHr worked out from the age
};

// The participants in force: sorted by address, at most kMaxParticipants.
class ParticipantTable {
 public:
  int count() const { return static_cast<int>(people_.size()); }
  const Participant& at(int i) const { return people_[static_cast<std::size_t>(i)]; }
  // The participant wearing the device with this address as it came over
  // the air (12 characters, hexadecimal digits in any case), or null.
  const Participant* find(const char* address) const;
  // Adds or replaces (by address); false when the table is full.
  bool put(const Participant& p);

 private:
  std::vector<Participant> people_;
};

struct ParticipantsRead {
  // The whole file refused (it cannot be read, is not text, is too big, or
  // lacks the address or name column): why, in one line. The table is then
  // left as it was.
  bool refused = false;
  std::string refusal;
  // A line each for what was left out or overridden: "FILE line 7: ...".
  std::vector<std::string> problems;
};

// Reads the participants in `text` (a whole file's bytes); `file` names it
// in the messages. On success (not refused) `*table` holds what was read.
ParticipantsRead parseParticipants(const std::string& text, const std::string& file, ParticipantTable* table);
// The same from the file at `path` (UTF-8), refused unread when it is too
// big to be one. `label` names it in the messages ("" for its path).
ParticipantsRead readParticipantsFile(const std::string& path, ParticipantTable* table,
                                      const std::string& label = std::string());

// The maximum heart rate for an age: 208 - 0.7 x age, rounded.
int maxHrFromAge(int age);
// Whole percent of the maximum (rounded down) and the zone, 0 (rest) to 5;
// -1 for both when the maximum or the heart rate is not known.
int percentOfMax(int heartRate, int maxHr);
int zoneOf(int heartRate, int maxHr);
// A zone's colour (0 rest, 1 to 5), from Okabe and Ito's palette, which
// people with the common colour-vision deficiencies tell apart: rest sky
// blue, then blue, bluish green, yellow, orange and vermillion. Wherever a
// zone is shown in its colour, it is written too.
Rgb zoneColour(int zone);

// "0A1B2C3D4E5F" from an address written any way ("0a:1b:2c:3d:4e:5f",
// "0A-1B-..."); false when it is not 12 hexadecimal digits.
bool normalAddress(const std::string& text, char* out13);

}  // namespace kv
