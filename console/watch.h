// How long the console waits before it tells the operator that something
// has stopped: the dongle, an answer; and how often it looks.
#pragma once

#include <cstdint>

#include "roster/slot_table.h"

namespace kv {

// When a device counts as silent is the roster's: kLinkedSilentAfterMs and
// kIdleSilentAfterMs (roster/slot_table.h).

// While scanning, no byte from the dongle for this long is said on the
// status line.
inline constexpr std::int64_t kDongleQuietAfterMs = 5000;
// A Start or Stop that the dongle has not acked within this long: "no
// answer", and the Start button reads again what it read before.
inline constexpr std::int64_t kAckWaitMs = 2000;
// How often the front ends' timer looks at all of the above.
inline constexpr int kWatchEveryMs = 1000;

}  // namespace kv
