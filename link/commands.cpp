#include "link/commands.h"

#include <cstring>

#include "base/text.h"
#include "link/frame.h"

namespace kv {

void formatSentFrame(const std::uint8_t* frame, char* text, int length) {
  if (length < 3 || frame[0] != kMagic0 || frame[1] != kMagic1 || frame[2] != kMagic2) return;
  // Room for the magic, then the hex pairs, then the line break, the longest
  // label and the terminator.
  constexpr std::size_t kTail = 2 + 24 + 1;
  constexpr std::size_t kMaxHexBytes = (kEchoTextSize - 3 - kTail) / 2;
  std::size_t count = static_cast<std::size_t>(length) - 3;
  if (count > kMaxHexBytes) count = kMaxHexBytes;
  std::memcpy(text, "MBD", 3);
  formatHex(frame + 3, count, text + 3, true);
  std::size_t o = 3 + 2 * count;
  text[o++] = '\r';
  text[o++] = '\n';
  const char* label = nullptr;
  if (length > 10 && frame[4] == 0x04 && frame[5] == 0x00 && frame[6] == 0x00) {
    if (frame[10] == 0x00) label = "SoftReset Dongle\r\n";
    else if (frame[10] == 0x01) label = "sent start ADV\r\n";
  } else if (length > 6 && frame[5] == 0x00 && frame[6] == 0x80) {
    label = "ask Dongle Config data\r\n";
  }
  text[o] = '\0';
  if (label != nullptr) std::strcpy(text + o, label);
}

}  // namespace kv
