#include "roster/tile_colours.h"

#include "roster/slot_table.h"

namespace kv {

Rgb tileColour(std::uint8_t brand, bool hot) {
  if (brand == kFillSilent) return hot ? kSilentHotColour : kSilentColour;
  if (brand == kBrandMirabeat) return hot ? kMirabeatHotColour : kMirabeatColour;
  return hot ? kOtherBrandHotColour : kOtherBrandColour;
}

namespace {
std::uint8_t rowComponent(int top, int bottom, int y, int height) {
  return static_cast<std::uint8_t>(top + (bottom - top) * y / height);
}
}  // namespace

Rgb gradientRowColour(Rgb top, Rgb bottom, int y, int height) {
  if (height <= 0) return top;
  return Rgb{rowComponent(top.r, bottom.r, y, height), rowComponent(top.g, bottom.g, y, height),
             rowComponent(top.b, bottom.b, y, height)};
}

int tileOfNotification(int idFrom, int code) {
  if (code != kNmCustomDraw) return -1;
  if (idFrom < 400 || idFrom >= 400 + kTileCount) return -1;
  return idFrom - 400;
}

BrushHandle TileBrushCache::brushFor(int slot, std::uint8_t brand, bool hot, int width, int height) {
  if (slot < 0 || slot >= kTileCount || maker_ == nullptr) return 0;
  Entry& e = hot ? hot_[slot] : normal_[slot];
  if (e.brush != 0 && e.brand != brand) {
    maker_->releaseBrush(e.brush);
    e.brush = 0;
  }
  if (e.brush == 0) {
    const Rgb colour = tileColour(brand, hot);
    e.brush = maker_->makeGradientBrush(colour, colour, width, height);
    e.brand = brand;
  }
  return e.brush;
}

void TileBrushCache::emptyBrushCaches() {
  for (Entry* cache : {normal_, hot_}) {
    for (int i = 0; i < kTileCount; ++i) {
      if (cache[i].brush != 0 && maker_ != nullptr) maker_->releaseBrush(cache[i].brush);
      cache[i].brush = 0;
    }
  }
}

int TileBrushCache::cachedCount() const {
  int n = 0;
  for (int i = 0; i < kTileCount; ++i) n += (normal_[i].brush != 0) + (hot_[i].brush != 0);
  return n;
}

}  // namespace kv
