// The words through which the UI thread and the two link threads meet, and
// the two ways of appending a line to the traffic log.
//
// Each word is written whole by one side and read whole by the others;
// std::atomic makes every write visible across threads (sequentially
// consistent, which is more than the release/acquire the hand-overs need).
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

class View;

inline constexpr std::uint8_t kNothingPending = 11;

struct LinkWords {
  // Both link threads loop while nonzero; only stopping the link clears it.
  std::atomic<int> linkRunning{1};
  // 1 while the reader is inside a port read / the writer inside a write.
  std::atomic<int> readInProgress{0};
  std::atomic<int> writeInProgress{0};
  // 1 while the dongle scans; flipped only by the receive parser.
  std::atomic<int> scanning{0};
  // 0 while a Start or Stop awaits its dongle ack; any other value: nothing.
  std::atomic<std::uint8_t> pendingCommand{kNothingPending};
  // 1: the command echo and the "trust" lines are not written.
  std::atomic<int> logPaused{0};
  // 1: the next good dongle ack empties the receive accumulator.
  std::atomic<int> swallowNextAck{0};
};

// Appends `text` to the traffic log (synchronous, see View).
void appendLog(View& view, const char* text);
// The same, unless the log is paused.
void appendLogUnlessPaused(View& view, const LinkWords& words, const char* text);
// A reading's line, on the UI thread, unless the log is paused.
void appendReadingLogUnlessPaused(View& view, const LinkWords& words, const char* text);

}  // namespace kv
