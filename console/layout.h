// Where everything sits in the main window, and the controls' fixed texts:
// the same on every platform. Positions are pixels from the client area's
// top-left corner.
#pragma once

#include "console/console.h"

namespace kv {

inline constexpr int kMainWindowX = 50;
inline constexpr int kMainWindowY = 50;
inline constexpr int kMainWindowWidth = 1024;
inline constexpr int kMainWindowHeight = 768;

// Every control is made at 0, 0 with this width and height; the traffic log,
// "Clear Log" and the log button stay so.
inline constexpr int kCreationSize = 10;

struct ControlPlace {
  int id;
  int x, y, width, height;
};

// The controls the layout moves, in the order it moves them (the tiles come
// after them). The port list's height is that of its dropped-down list.
inline constexpr ControlPlace kPlacedControls[6] = {
    {id::kPortLabel, 30, 10, 150, 30},     {id::kPortList, 30, 40, 150, 100},  {id::kStart, 210, 40, 150, 35},
    {id::kClearUseless, 390, 40, 150, 35}, {id::kDongleLine, 594, 5, 350, 30}, {id::kLinkedCount, 250, 5, 60, 30},
};

// The status line, in the room right of "Clear Useless" and below the
// dongle line; two lines of text fit.
inline constexpr ControlPlace kStatusLinePlace{id::kStatusLine, 560, 40, 434, 34};

// Tile i's place: 4 columns of 10, filled column by column.
inline constexpr int kTileRows = 10;
constexpr ControlPlace tilePlace(int slot) {
  return ControlPlace{id::kFirstTile + slot, 10 + 246 * (slot / kTileRows), 76 + 63 * (slot % kTileRows), 246, 58};
}

// The controls' texts at creation.
inline constexpr const char* kPortLabelText = "Step 1 : COM Port";
inline constexpr const char* kStartText = "Start ...";
inline constexpr const char* kClearUselessText = "Clear Useless";
inline constexpr const char* kClearLogText = "Clear Log";
inline constexpr const char* kLogButtonText = "Stop Log";

}  // namespace kv
