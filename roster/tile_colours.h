// Tile colours and the per-tile brush caches, independent of any toolkit.
//
// While the scan runs, a linked tile is filled in its brand's colour,
// darker under the mouse. Brushes are made once per tile and mouse state by
// the front end's BrushMaker and cached until the caches are emptied.
#pragma once

#include <cstdint>

#include "base/rgb.h"
#include "base/view.h"

namespace kv {


inline constexpr Rgb kMirabeatColour{0, 128, 255};
inline constexpr Rgb kMirabeatHotColour{11, 53, 189};
inline constexpr Rgb kOtherBrandColour{213, 64, 183};
inline constexpr Rgb kOtherBrandHotColour{166, 36, 140};
// A linked tile whose device has gone silent: grey, seen across a room
// among the brands' colours.
inline constexpr Rgb kSilentColour{150, 150, 150};
inline constexpr Rgb kSilentHotColour{118, 118, 118};

// Fill colour of a linked tile of `brand` (or kFillSilent), under the mouse
// when `hot`.
Rgb tileColour(std::uint8_t brand, bool hot);

// Colour of row y of a vertical gradient `height` rows high:
// top + (bottom - top) * y / height per component, truncating toward zero.
Rgb gradientRowColour(Rgb top, Rgb bottom, int y, int height);

// Win32 custom-draw: the tile a notification is for, or -1.
inline constexpr int kNmCustomDraw = -12;
inline constexpr unsigned kCdisHot = 0x40;
int tileOfNotification(int idFrom, int code);

using BrushHandle = std::uintptr_t;  // 0: none

class BrushMaker {
 public:
  virtual ~BrushMaker() = default;
  // A brush of the gradient from top to bottom over width x height.
  virtual BrushHandle makeGradientBrush(Rgb top, Rgb bottom, int width, int height) = 0;
  virtual void releaseBrush(BrushHandle brush) = 0;
};

// The 40 normal and 40 hot brushes. UI thread only.
class TileBrushCache {
 public:
  explicit TileBrushCache(BrushMaker* maker = nullptr) : maker_(maker) {}
  ~TileBrushCache() { releaseBrushCaches(); }
  TileBrushCache(const TileBrushCache&) = delete;
  TileBrushCache& operator=(const TileBrushCache&) = delete;

  void setMaker(BrushMaker* maker) { maker_ = maker; }

  // The cached brush for tile `slot` in this mouse state, made on first use
  // as a flat fill of the brand's colour. An entry made for another brand
  // than the slot holds now is made again.
  BrushHandle brushFor(int slot, std::uint8_t brand, bool hot, int width, int height);
  // Releases every cached brush; each tile gets new ones at its next painting.
  void emptyBrushCaches();
  // Releases every cached brush (at shutdown).
  void releaseBrushCaches() { emptyBrushCaches(); }
  // Number of brushes held (for tests and benchmarks).
  int cachedCount() const;

 private:
  struct Entry {
    BrushHandle brush = 0;
    std::uint8_t brand = 0;
  };
  BrushMaker* maker_;
  Entry normal_[kTileCount];
  Entry hot_[kTileCount];
};

}  // namespace kv
