// Tile colours, the gradient rows and the brush caches.
#include <gtest/gtest.h>

#include <map>

#include "roster/roster.h"
#include "roster/tile_colours.h"
#include "support/recording_view.h"

namespace kv {
namespace {

// Makes numbered "brushes" and remembers which are alive and their colour.
class CountingMaker : public BrushMaker {
 public:
  BrushHandle makeGradientBrush(Rgb top, Rgb bottom, int width, int height) override {
    EXPECT_EQ(top, bottom) << "tiles are filled flat";
    lastSize = {width, height};
    alive[++next] = top;
    ++made;
    return next;
  }
  void releaseBrush(BrushHandle brush) override {
    EXPECT_EQ(alive.erase(brush), 1u) << "released twice or never made";
  }
  std::map<BrushHandle, Rgb> alive;
  BrushHandle next = 0;
  int made = 0;
  std::pair<int, int> lastSize;
};

TEST(TileColours, BrandAndHoverColours) {
  EXPECT_EQ(tileColour(kBrandMirabeat, false), (Rgb{0, 128, 255}));
  EXPECT_EQ(tileColour(kBrandMirabeat, true), (Rgb{11, 53, 189}));
  EXPECT_EQ(tileColour(kBrandOther, false), (Rgb{213, 64, 183}));
  EXPECT_EQ(tileColour(kBrandOther, true), (Rgb{166, 36, 140}));
  EXPECT_EQ(tileColour(kBrandPolar, false), (Rgb{213, 64, 183}));
}

TEST(TileColours, GradientRowsTruncate) {
  const int expected[] = {0, 25, 51, 76, 102, 127, 153, 178, 204, 229};
  for (int y = 0; y < 10; ++y) {
    const Rgb c = gradientRowColour({0, 0, 0}, {255, 255, 255}, y, 10);
    EXPECT_EQ(c, (Rgb{static_cast<std::uint8_t>(expected[y]), static_cast<std::uint8_t>(expected[y]),
                      static_cast<std::uint8_t>(expected[y])}))
        << "row " << y;
  }
  // Falling components truncate toward zero too; equal colours stay flat.
  EXPECT_EQ(gradientRowColour({255, 0, 0}, {0, 0, 0}, 1, 3), (Rgb{170, 0, 0}));
  for (int y = 0; y < 58; ++y) EXPECT_EQ(gradientRowColour(kMirabeatColour, kMirabeatColour, y, 58), kMirabeatColour);
}

TEST(TileColours, OnlyCustomDrawOfATileIsATileNotification) {
  EXPECT_EQ(tileOfNotification(400, kNmCustomDraw), 0);
  EXPECT_EQ(tileOfNotification(439, kNmCustomDraw), 39);
  EXPECT_EQ(tileOfNotification(440, kNmCustomDraw), -1);
  EXPECT_EQ(tileOfNotification(399, kNmCustomDraw), -1);
  EXPECT_EQ(tileOfNotification(405, -2), -1);  // NM_CLICK
}

TEST(TileColours, CacheMakesOneBrushPerTileAndStateUntilEmptied) {
  CountingMaker maker;
  {
    TileBrushCache cache(&maker);
    const BrushHandle a = cache.brushFor(3, kBrandMirabeat, false, 246, 58);
    EXPECT_EQ(cache.brushFor(3, kBrandMirabeat, false, 246, 58), a);
    EXPECT_EQ(maker.lastSize, std::make_pair(246, 58));
    const BrushHandle hot = cache.brushFor(3, kBrandMirabeat, true, 246, 58);
    EXPECT_NE(hot, a);
    EXPECT_EQ(maker.alive[hot], kMirabeatHotColour);
    EXPECT_EQ(cache.cachedCount(), 2);
    cache.emptyBrushCaches();
    EXPECT_EQ(cache.cachedCount(), 0);
    EXPECT_TRUE(maker.alive.empty());
    cache.brushFor(3, kBrandMirabeat, false, 246, 58);
    EXPECT_EQ(maker.made, 3);
    EXPECT_EQ(cache.brushFor(-1, 0, false, 1, 1), 0u);
    EXPECT_EQ(cache.brushFor(40, 0, false, 1, 1), 0u);
  }
  EXPECT_TRUE(maker.alive.empty()) << "the cache releases what it holds";
}

TEST(TileColours, ABrushMadeForAnotherBrandIsNotReused) {
  // The roster is reset after a stop without emptying the caches; a new
  // device of another brand in the same slot must get its own colour.
  CountingMaker maker;
  TileBrushCache cache(&maker);
  cache.brushFor(0, kBrandMirabeat, false, 10, 10);
  const BrushHandle b = cache.brushFor(0, kBrandOther, false, 10, 10);
  EXPECT_EQ(maker.alive[b], kOtherBrandColour);
  EXPECT_EQ(maker.alive.size(), 1u);
}

TEST(TileColours, ClearUselessEmptiesTheCachesAndLinkedBrandFollowsTheSlot) {
  test::RecordingView view;
  CountingMaker maker;
  TileBrushCache cache(&maker);
  Roster roster(view, cache);
  roster.registerDevice("Mirabeat A", "A00000000000");
  roster.registerDevice("Coros B", "B00000000000");
  roster.toggleLink(401);
  std::uint8_t brand = 0xEE;
  EXPECT_FALSE(roster.linkedBrand(0, &brand)) << "idle tiles are not painted";
  EXPECT_FALSE(roster.linkedBrand(2, &brand)) << "free tiles are not painted";
  ASSERT_TRUE(roster.linkedBrand(1, &brand));
  EXPECT_EQ(brand, kBrandOther);
  cache.brushFor(0, kBrandMirabeat, false, 10, 10);
  roster.clearUseless();
  EXPECT_EQ(cache.cachedCount(), 0);
  ASSERT_TRUE(roster.linkedBrand(0, &brand));
  EXPECT_EQ(brand, kBrandOther);
  EXPECT_EQ(maker.alive[cache.brushFor(0, brand, false, 10, 10)], kOtherBrandColour);
}

}  // namespace
}  // namespace kv
