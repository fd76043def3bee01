// The status line: what the link is doing, in plain words, so that the
// operator need not read the traffic log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link.h"

namespace kv {

inline constexpr std::size_t kStatusTextSize = 384;

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
};

// The line for these facts, into `out` (kStatusTextSize characters), the
// first that holds of:
//   "Port P lost"
//   "Port P: held by another program" and the other reasons a pick fails
//                                              (describeOpenFailure)
//   "Port P: no answer from the dongle"        (also "No port open: ...")
//   "Port P: no data from the dongle for N s"  (scanning, nothing came for a while)
//   while no port is open, the list's hint, else
//   "No port open: pick the dongle's port in the list"
//   "Port P open, scanning" / "Port P open"
void formatStatus(const StatusFacts& facts, char* out);

}  // namespace kv
