// The echo of a command frame in the traffic log.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// Room for the echo of any command the console sends, with its label.
inline constexpr std::size_t kEchoTextSize = 300;

// Writes the echo of a `length`-byte frame into `text`: "MBD", the bytes from
// index 3 on as upper-case hex pairs, "\r\n", then the command's label
// ("SoftReset Dongle\r\n", "sent start ADV\r\n", "ask Dongle Config data\r\n")
// when it is one of the console's commands. A frame that does not start
// with the magic leaves `text` unchanged. `text` holds kEchoTextSize
// characters; longer frames are cut to fit.
void formatSentFrame(const std::uint8_t* frame, char* text, int length);

}  // namespace kv
