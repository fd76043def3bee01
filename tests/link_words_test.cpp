// The shared link words start as the link expects; the paused log.
#include <gtest/gtest.h>

#include "link/link_words.h"
#include "support/recording_view.h"

namespace kv {
namespace {

TEST(LinkWords, InitialValuesAndPausedLog) {
  LinkWords w;
  EXPECT_EQ(w.linkRunning, 1);
  EXPECT_EQ(w.scanning, 0);
  EXPECT_EQ(w.pendingCommand, 11);
  EXPECT_EQ(w.logPaused, 0);
  EXPECT_EQ(w.swallowNextAck, 0);
  EXPECT_EQ(w.readInProgress, 0);
  EXPECT_EQ(w.writeInProgress, 0);

  test::RecordingView view;
  appendLogUnlessPaused(view, w, "a");
  w.logPaused = 1;
  appendLogUnlessPaused(view, w, "b");
  appendReadingLogUnlessPaused(view, w, "r");
  appendLog(view, "c");
  w.logPaused = 0;
  appendLogUnlessPaused(view, w, "d");
  appendReadingLogUnlessPaused(view, w, "e");
  EXPECT_EQ(view.log(), "acde");
}

}  // namespace
}  // namespace kv
