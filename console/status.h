// The status line: what the link is doing, in plain words, so that the
// operator need not read the traffic log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link.h"

namespace kv {

inline constexpr std::size_t kStatusTextSize = 384;

// What the status line says of a recording (console/recording.h).
struct RecordingFacts {
  bool running = false;
  const char* name = "";          // the file's name
  std::uint64_t rows = 0;
  std::uint64_t lost = 0;         // rows that found the queue full
  bool remade = false;            // the file was deleted and made again
  // The words of a fault that stopped it ("disk full"), kept until the next
  // recording; "" for none.
  const char* fault = "";
  std::uint64_t mark = 0;         // a marker just made: "Mark N"
  // Said for a while after the operator stopped it; "" for nothing.
  const char* note = "";
};

// What the status line is made from.
struct StatusFacts {
  PortState port;
  bool scanning = false;
  // The last Start or Stop went unanswered (see console/watch.h).
  bool noAnswer = false;
  // Said when the port list was last opened (a port the user may not
  // open, a port folder not used); "" for nothing.
  const char* listHint = "";
  std::int64_t nowMs = 0;
  RecordingFacts recording;
  // What the participants file's last reading found wrong, "" for nothing.
  const char* participants = "";
};

// The line for these facts, into `out` (kStatusTextSize characters), the
// first that holds of:
//   "Port P lost"
//   "Port P: held by another program" and the other reasons a pick fails
//                                              (describeOpenFailure)
//   "Recording stopped: disk full (N rows kept in NAME)"
//   "Port P: no answer from the dongle"        (also "No port open: ...")
//   "Port P: no data from the dongle for N s"  (scanning, nothing came for a while)
//   "Recording to NAME: N rows, M LOST ..."    (rows lost, the file made again)
//   "Mark N"                                   (a marker just made)
//   a note for a while: a recording just stopped, a session report made
//   "Participants: FILE line 7: ..."           (what the participants file holds wrong)
//   "Recording to NAME: N rows"                (and "; no port open")
//   while no port is open, the list's hint, else
//   "No port open: pick the dongle's port in the list"
//   "Port P open, scanning" / "Port P open"
void formatStatus(const StatusFacts& facts, char* out);

}  // namespace kv
