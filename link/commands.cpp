#include "link/commands.h"

#include <cstring>

#include "link/frame.h"

namespace kv {

void formatSentFrame(const std::uint8_t* frame, char* text, int length) {
  if (length < 3 || frame[0] != kMagic0 || frame[1] != kMagic1 || frame[2] != kMagic2) return;
  static const char kHex[] = "0123456789ABCDEF";
  // Longest label plus the line break and the terminator.
  constexpr std::size_t kTail = 2 + 24 + 1;
  std::size_t o = 0;
  text[o++] = 'M';
  text[o++] = 'B';
  text[o++] = 'D';
  for (int i = 3; i < length && o + 2 + kTail <= kEchoTextSize; ++i) {
    text[o++] = kHex[frame[i] >> 4];
    text[o++] = kHex[frame[i] & 0x0F];
  }
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
