#include "console/class_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "link/frame.h"
#include "roster/slot_table.h"

namespace kv {

namespace {

// Gaps between cells and around the grid, and inside a cell, as shares of
// the cell.
constexpr int kGapPx = 8;

double channel(std::uint8_t v) {
  const double c = v / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

int heartRatePxFor(const CellRect& cell) {
  // Height: what is left between the name and detail lines; width: three
  // digits with a margin.
  const int byHeight = cell.height * 46 / 100;
  const int byWidth = static_cast<int>((cell.width * 0.86) / (3 * kDigitWidthPerPx));
  return std::max(1, std::min(byHeight, byWidth));
}

}  // namespace

CellGrid cellGrid(int count, int width, int height) {
  CellGrid best;
  if (count <= 1) return best;
  int bestPx = -1, bestEmpty = 0;
  for (int columns = 1; columns <= count; ++columns) {
    const int rows = (count + columns - 1) / columns;
    const CellGrid grid{columns, rows};
    const int px = heartRatePxFor(cellRect(grid, 0, width, height));
    const int empty = columns * rows - count;
    if (px > bestPx || (px == bestPx && empty < bestEmpty)) {
      best = grid;
      bestPx = px;
      bestEmpty = empty;
    }
  }
  return best;
}

CellRect cellRect(const CellGrid& grid, int index, int width, int height) {
  const int column = index % grid.columns, row = index / grid.columns;
  // Cell edges on the grid lines, with the gap taken inside each.
  const int left = kGapPx + (width - kGapPx) * column / grid.columns;
  const int right = kGapPx + (width - kGapPx) * (column + 1) / grid.columns;
  const int top = kGapPx + (height - kGapPx) * row / grid.rows;
  const int bottom = kGapPx + (height - kGapPx) * (row + 1) / grid.rows;
  return CellRect{left, top, std::max(0, right - left - kGapPx), std::max(0, bottom - top - kGapPx)};
}

CellLayout cellLayout(const CellRect& cell) {
  CellLayout l;
  l.heartRatePx = heartRatePxFor(cell);
  l.namePx = std::max(1, cell.height * 12 / 100);
  l.detailPx = std::max(1, cell.height * 10 / 100);
  const int pad = cell.height * 4 / 100;
  l.name = {cell.x + pad, cell.y + pad, cell.width - 2 * pad, l.namePx * 5 / 4};
  l.detail = {cell.x + pad, cell.y + cell.height - pad - l.detailPx * 5 / 4, cell.width - 2 * pad, l.detailPx * 5 / 4};
  const int hrTop = l.name.y + l.name.height;
  l.heartRate = {cell.x + pad, hrTop, cell.width - 2 * pad, l.detail.y - hrTop};
  return l;
}

double relativeLuminance(Rgb c) { return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b); }

double contrastRatio(Rgb a, Rgb b) {
  const double la = relativeLuminance(a), lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb textColourOn(Rgb fill) {
  const Rgb black{0, 0, 0}, white{255, 255, 255};
  return contrastRatio(fill, black) >= contrastRatio(fill, white) ? black : white;
}

int classCells(const Roster& roster, std::int64_t nowMs, ClassCell* out, const ParticipantTable* people) {
  int n = 0;
  for (int i = 0; i < kTileCount; ++i) {
    DeviceSlot s = roster.table().slot(i);
    if (s.inUse == 0 || s.linkState != kLinked) continue;
    ClassCell& c = out[n++];
    c = ClassCell{};
    c.slot = i;
    const Participant* person = people != nullptr ? people->find(s.address) : nullptr;
    if (person != nullptr) {
      // The first characters of the person's name, cut at a whole one.
      std::size_t chars = 0, at = 0;
      for (; person->name[at] != '\0'; ++at)
        if ((static_cast<unsigned char>(person->name[at]) & 0xC0) != 0x80 && chars++ == kShownNameCharacters) break;
      std::memcpy(c.name, person->name, at);
      c.name[at] = '\0';
    } else {
      decodeText(c.name, sizeof c.name, s.name, kDeviceNameWidth);
    }
    c.silent = s.silent;
    if (s.silent) {
      const std::int64_t seconds = std::max<std::int64_t>(0, (nowMs - s.silentSinceMs) / 1000);
      std::snprintf(c.heartRate, sizeof c.heartRate, "silent");
      if (seconds < 60) {
        std::snprintf(c.detail, sizeof c.detail, "for %lld s", static_cast<long long>(seconds));
      } else {
        std::snprintf(c.detail, sizeof c.detail, "for %lld min %lld s", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
      }
    } else {
      if (s.readingsCleared) {
        // Linked again after an unlink: nothing to show until its next reading.
        s.heartRate = kNoReading8;
        s.rrInterval = kNoReading16;
        s.battery = kNoReading8;
      }
      if (s.heartRate == kNoReading8) {
        std::snprintf(c.heartRate, sizeof c.heartRate, "--");
      } else {
        std::snprintf(c.heartRate, sizeof c.heartRate, "%d", s.heartRate);
      }
      char rr[24] = "RR --", battery[32] = "battery --";
      if (s.rrInterval != kNoReading16) std::snprintf(rr, sizeof rr, "RR %d ms", s.rrInterval);
      c.lowBattery = s.battery != kNoReading8 && s.battery < kLowBatteryBelow;
      if (s.battery != kNoReading8)
        std::snprintf(battery, sizeof battery, c.lowBattery ? "LOW BATTERY %d %%" : "battery %d %%", s.battery);
      std::snprintf(c.detail, sizeof c.detail, "%s   %s", rr, battery);
      if (person != nullptr && s.heartRate != kNoReading8) c.zone = zoneOf(s.heartRate, person->maxHr);
      if (c.zone >= 0) {
        // The zone in words, then the percent; the battery only when low.
        char zone[16];
        if (c.zone == 0) {
          std::snprintf(zone, sizeof zone, "REST");
        } else {
          std::snprintf(zone, sizeof zone, "ZONE %d", c.zone);
        }
        std::snprintf(c.detail, sizeof c.detail, "%s   %d %%%s", zone, percentOfMax(s.heartRate, person->maxHr),
                      c.lowBattery ? "   LOW BATTERY" : "");
      }
    }
    c.fill = c.zone >= 0 ? zoneColour(c.zone) : tileColour(c.silent ? kFillSilent : s.brand, false);
    c.text = textColourOn(c.fill);
  }
  return n;
}

bool ClassDisplayCells::refresh(const Roster& roster, std::int64_t nowMs, const ParticipantTable* people) {
  ClassCell now[kTileCount];
  const int n = classCells(roster, nowMs, now, people);
  bool same = n == count;
  for (int i = 0; same && i < n; ++i) same = now[i] == cells[i];
  if (same) return false;
  count = n;
  std::copy(now, now + n, cells);
  return true;
}

CellPicture cellPicture(const ClassCell& c, const CellRect& r) {
  const CellLayout l = cellLayout(r);
  CellPicture p;
  p.cell = r;
  p.fill = c.fill;
  p.text = c.text;
  if (c.lowBattery) {
    // A bar in the text's colour draws the eye to the battery line.
    const int t = std::max(2, r.height / 40);
    p.bar = true;
    p.barRect = {l.detail.x - t, l.detail.y - t, l.detail.width + 2 * t, t};
  }
  p.lines[0] = {l.name, l.namePx, c.name};
  // "silent" is a word, not a number: half the size.
  p.lines[1] = {l.heartRate, c.silent ? l.heartRatePx / 2 : l.heartRatePx, c.heartRate};
  p.lines[2] = {l.detail, l.detailPx, c.detail};
  return p;
}

TextLine emptyMessageLine(int width, int height) {
  return {CellRect{width / 20, 0, width - width / 10, height}, height / 20, kClassDisplayEmptyText};
}

}  // namespace kv
