#include "roster/tile_text.h"

#include <cstdio>

#include "base/text.h"
#include "link/frame.h"

namespace kv {

void formatTileText(char* out, const char* rawName, bool linked, int heartRate, int rrInterval, int battery) {
  // A name is shown, never obeyed: a line break in it would push the
  // readings out of view or fake a reading line.
  char name[decodedTextSize(kDeviceNameWidth)];
  decodeText(name, sizeof name, rawName, kDeviceNameWidth);
  if (!linked) {
    std::snprintf(out, kTileTextSize, "%s\n\n", name);
    return;
  }
  char heart_str[15];
  char rr_int_str[16] = "";
  char batt_str[15];
  std::snprintf(heart_str, sizeof heart_str, "HR: %d", heartRate);
  if (rrInterval != 0) std::snprintf(rr_int_str, sizeof rr_int_str, " , RR: %d", rrInterval);
  std::snprintf(batt_str, sizeof batt_str, "Bat: %d%%", battery);
  std::snprintf(out, kTileTextSize, "%s\n%s%s\n%s", name, heart_str, rr_int_str, batt_str);
}

void formatSilentTileText(char* out, const char* rawName, bool linked, int seconds, int battery) {
  char name[decodedTextSize(kDeviceNameWidth)];
  decodeText(name, sizeof name, rawName, kDeviceNameWidth);
  if (!linked) {
    std::snprintf(out, kTileTextSize, "%s\n-- (%d s)\n", name, seconds);
    return;
  }
  char batt_str[15] = "Bat: --";
  if (battery >= 0 && battery <= 100) std::snprintf(batt_str, sizeof batt_str, "Bat: %d%%", battery);
  std::snprintf(out, kTileTextSize, "%s\nHR: -- (%d s)\n%s", name, seconds, batt_str);
}

void formatLinkedCount(char* out, int count) { std::snprintf(out, 12, "%d", count); }

void tileLabel(const char* text, char* out) {
  std::size_t o = 0;
  for (const char* c = text != nullptr ? text : ""; *c != '\0' && o + 2 < kTileLabelSize; ++c) {
    if (*c == '&') out[o++] = '&';
    out[o++] = *c;
  }
  out[o] = '\0';
}

}  // namespace kv
