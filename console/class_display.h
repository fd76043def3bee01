// The class display: the linked devices, big, for a TV or projector across
// the room. A second window beside the main one; this is what both programs
// share of it: which cells it shows and what each says, where each cell
// goes for a count of cells and a window size, the text sizes in a cell and
// the colours. Read on the UI thread only; no work for the reader.
#pragma once

#include <cstdint>

#include "base/text.h"
#include "base/view.h"
#include "link/frame.h"
#include "participants/participants.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"

namespace kv {

// The console's command that opens and closes it (View > Class display, F11).
namespace id {
inline constexpr int kClassDisplay = 106;
}
inline constexpr const char* kViewMenuText = "&View";
inline constexpr const char* kClassDisplayMenuText = "&Class display";
inline constexpr const char* kClassDisplayTitle = "Koravel class display";
// What it says with nothing linked.
inline constexpr const char* kClassDisplayEmptyText = "No device is linked: click a tile in the console to show it here.";
// A normal window's size, when no second screen is there to fill.
inline constexpr int kClassDisplayWidth = 1280;
inline constexpr int kClassDisplayHeight = 720;
// How often it looks at the roster; it is redrawn only when what it shows
// has changed.
inline constexpr int kClassDisplayEveryMs = 250;
// Battery below this, in percent, is marked.
inline constexpr int kLowBatteryBelow = 15;

struct CellRect {
  int x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const CellRect&, const CellRect&) = default;
};

// Columns and rows for `count` cells in a window of width x height: the
// grid whose heart-rate text comes out largest (fewer empty cells on a tie).
struct CellGrid {
  int columns = 1, rows = 1;
};
CellGrid cellGrid(int count, int width, int height);
// Cell `index` (0-based, filled row by row) of that grid.
CellRect cellRect(const CellGrid& grid, int index, int width, int height);

// Text heights in pixels for a cell, and where each line goes: the name
// above, the heart rate (three digits fit its width), RR and battery small
// below.
struct CellLayout {
  CellRect name, heartRate, detail;
  int namePx = 0, heartRatePx = 0, detailPx = 0;
};
CellLayout cellLayout(const CellRect& cell);
// The width of three digits at `px`, as the layout counts it (a digit is at
// most 0.62 of the text's height in the fonts used).
inline constexpr double kDigitWidthPerPx = 0.62;

// WCAG relative luminance and contrast ratio.
double relativeLuminance(Rgb c);
double contrastRatio(Rgb a, Rgb b);
// Black or white, whichever reads better on `fill`.
Rgb textColourOn(Rgb fill);

inline constexpr Rgb kClassDisplayBackground{0, 0, 0};
inline constexpr Rgb kClassDisplayMessageColour{255, 255, 255};

// What one cell shows.
struct ClassCell {
  int slot = -1;
  // The device's name, or the participant's (its first kShownNameCharacters).
  char name[4 * kShownNameCharacters + 1] = {};
  char heartRate[16] = {};  // "72", "--" with none yet, "silent"
  char detail[64] = {};     // "RR 812 ms   battery 74 %", "ZONE 3   74 %", "for 12 s"
  bool silent = false;
  bool lowBattery = false;
  int zone = -1;            // 0 (rest) to 5 when the participant's maximum is known
  Rgb fill, text;
  friend bool operator==(const ClassCell&, const ClassCell&) = default;
};

// The linked devices' cells, in tile order, into `out` (kTileCount); how many.
// With `people`, a device a participant wears shows the person's name, and
// their zone when their maximum is known.
int classCells(const Roster& roster, std::int64_t nowMs, ClassCell* out, const ParticipantTable* people = nullptr);

// What a class display window shows, kept between its looks at the roster.
struct ClassDisplayCells {
  ClassCell cells[kTileCount];
  int count = -1;  // -1: not looked at yet
  // Looks at the roster; true when what it shows changed.
  bool refresh(const Roster& roster, std::int64_t nowMs, const ParticipantTable* people = nullptr);
};

// A cell as the front ends draw it: the fill, the bar over the battery line
// when it is low, then the three lines, centred, in the text colour, each
// in the largest bold font no taller than `px` in which it fits.
struct TextLine {
  CellRect rect;
  int px = 0;
  const char* text = "";
};
struct CellPicture {
  CellRect cell;
  Rgb fill, text;
  bool bar = false;
  CellRect barRect;
  TextLine lines[3];
};
CellPicture cellPicture(const ClassCell& c, const CellRect& r);
// With nothing linked: the one line that says how to link, over the window.
TextLine emptyMessageLine(int width, int height);

}  // namespace kv
