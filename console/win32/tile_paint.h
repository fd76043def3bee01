// Painting of linked tiles while the scan runs, through the buttons'
// NM_CUSTOMDRAW notifications, with GDI brushes kept in the core's caches.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "roster/tile_colours.h"

namespace kv {
class Roster;
}

namespace kv::win32 {

// Makes the tile brushes: a pattern brush holding a vertical gradient,
// drawn row by row into a bitmap compatible with the device context being
// painted (or with the screen when there is none).
class GdiBrushMaker final : public BrushMaker {
 public:
  // The device context the next brushes are made for; null: the screen.
  void setDeviceContext(HDC dc) { dc_ = dc; }

  BrushHandle makeGradientBrush(Rgb top, Rgb bottom, int width, int height) override;
  void releaseBrush(BrushHandle brush) override;

  // Brushes made and not yet released (for tests).
  int liveBrushes() const { return live_; }

 private:
  HDC dc_ = nullptr;
  int live_ = 0;
};

inline COLORREF colorRefOf(Rgb c) { return RGB(c.r, c.g, c.b); }

// WM_NOTIFY while the scan runs: fills a linked tile's rectangle as a
// rounded rectangle in its brand's colour (darker under the mouse) with a
// black outline, and lets the button draw its text on top. Returns the
// answer to the notification (CDRF_DODEFAULT).
LRESULT paintTile(Roster& roster, TileBrushCache& brushes, GdiBrushMaker& maker, const NMHDR* notification);

}  // namespace kv::win32
