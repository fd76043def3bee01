#include "console/win32/tile_paint.h"

#include <commctrl.h>

#include "roster/roster.h"

namespace kv::win32 {

namespace {

constexpr int kCornerEllipse = 10;

}  // namespace

BrushHandle GdiBrushMaker::makeGradientBrush(Rgb top, Rgb bottom, int width, int height) {
  if (width < 1) width = 1;
  if (height < 1) height = 1;
  HDC screen = nullptr;
  HDC ref = dc_;
  if (ref == nullptr) ref = screen = ::GetDC(nullptr);

  HDC mem = ::CreateCompatibleDC(ref);
  HBITMAP bitmap = ::CreateCompatibleBitmap(ref, width, height);
  HGDIOBJ oldBitmap = ::SelectObject(mem, bitmap);
  for (int y = 0; y < height; ++y) {
    HBRUSH row = ::CreateSolidBrush(colorRefOf(gradientRowColour(top, bottom, y, height)));
    RECT temp{0, y, width, y + 1};
    ::FillRect(mem, &temp, row);
    ::DeleteObject(row);
  }
  ::SelectObject(mem, oldBitmap);
  // The pattern brush keeps its own copy of the bitmap.
  HBRUSH pattern = ::CreatePatternBrush(bitmap);
  ::DeleteDC(mem);
  ::DeleteObject(bitmap);
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  if (pattern != nullptr) ++live_;
  return reinterpret_cast<BrushHandle>(pattern);
}

void GdiBrushMaker::releaseBrush(BrushHandle brush) {
  if (brush == 0) return;
  if (::DeleteObject(reinterpret_cast<HGDIOBJ>(brush))) --live_;
}

LRESULT paintTile(Roster& roster, TileBrushCache& brushes, GdiBrushMaker& maker, const NMHDR* notification) {
  const int slot = tileOfNotification(static_cast<int>(notification->idFrom), static_cast<int>(notification->code));
  if (slot < 0) return CDRF_DODEFAULT;
  std::uint8_t brand = 0;
  if (!roster.linkedBrand(slot, &brand)) return CDRF_DODEFAULT;

  const auto* cd = reinterpret_cast<const NMCUSTOMDRAW*>(notification);
  HDC dc = cd->hdc;
  const RECT& rc = cd->rc;
  const bool hot = (cd->uItemState & kCdisHot) != 0;

  maker.setDeviceContext(dc);
  const auto brush =
      reinterpret_cast<HBRUSH>(brushes.brushFor(slot, brand, hot, rc.right - rc.left, rc.bottom - rc.top));
  maker.setDeviceContext(nullptr);

  HPEN pen = ::CreatePen(PS_INSIDEFRAME, 0, RGB(0, 0, 0));
  HGDIOBJ oldPen = ::SelectObject(dc, pen);
  HGDIOBJ oldBrush = ::SelectObject(dc, brush);
  ::RoundRect(dc, rc.left, rc.top, rc.right, rc.bottom, kCornerEllipse, kCornerEllipse);
  ::SelectObject(dc, oldBrush);
  ::SelectObject(dc, oldPen);
  ::DeleteObject(pen);
  return CDRF_DODEFAULT;
}

}  // namespace kv::win32
