#include "roster/tile_text.h"

#include <cstdio>

namespace kv {

void formatTileText(char* out, const char* name, bool linked, int heartRate, int rrInterval, int battery) {
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

void formatLinkedCount(char* out, int count) { std::snprintf(out, 12, "%d", count); }

}  // namespace kv
