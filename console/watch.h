// How long the console waits before it tells the operator that something
// has stopped: a device, the dongle, an answer. All in one place.
#pragma once

#include <cstdint>

namespace kv {

// A linked device not heard for this long is shown silent: not painted in
// its brand's colour, its reading line saying how long it has been silent.
inline constexpr std::int64_t kLinkedSilentAfterMs = 5000;
// An unlinked device not heard for this long is marked the same way.
inline constexpr std::int64_t kIdleSilentAfterMs = 30000;
// While scanning, no byte from the dongle for this long is said on the
// status line.
inline constexpr std::int64_t kDongleQuietAfterMs = 5000;
// A Start or Stop that the dongle has not acked within this long: "no
// answer", and the Start button reads again what it read before.
inline constexpr std::int64_t kAckWaitMs = 2000;
// How often the front ends' timer looks at all of the above.
inline constexpr int kWatchEveryMs = 1000;

}  // namespace kv
