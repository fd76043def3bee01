#include "link/link_words.h"

#include "base/view.h"

namespace kv {

void appendLog(View& view, const char* text) { view.appendLog(text); }

void appendLogUnlessPaused(View& view, const LinkWords& words, const char* text) {
  if (words.logPaused.load() == 1) return;
  view.appendLog(text);
}

void appendReadingLogUnlessPaused(View& view, const LinkWords& words, const char* text) {
  if (words.logPaused.load() == 1) return;
  view.appendReadingLog(text);
}

}  // namespace kv
