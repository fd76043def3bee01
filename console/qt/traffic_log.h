// The traffic log (control 5): a read-only multi-line text that the link
// appends to, with a text limit, and the notifications the command handler
// looks at (a change; the limit reached).
//
// The log's own 8-bit text, with its "\r\n" line ends, is kept alongside the
// widget: lengths, the limit, line numbers and trims count its characters as
// the console's texts have them. The widget shows the same text, brought up
// to date at most every kShowEveryMs: at the full line rate the link adds
// hundreds of lines a second, and laying each out on its own is most of
// what the log costs. An addition shows at once when the last showing is
// that long ago, so that the log is mostly brought up to date in the same
// turn of the event loop as the tiles (one wake-up, one paint); a timer
// shows what would otherwise wait longer.
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <functional>
#include <string>

#include "base/view.h"

namespace kv::qt {

class TrafficLog : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TrafficLog(QWidget* parent = nullptr);

  // Called with the notification code after every change of the text
  // (kEnChange) and when an insertion would pass the limit (kEnMaxText).
  void setNotify(std::function<void(int)> notify) { notify_ = std::move(notify); }
  void setTextLimit(int limit) { limit_ = limit; }
  int textLimit() const { return limit_; }

  // Inserts `text` at the end, where the caret stays. What would pass the
  // limit is cut off, and kEnMaxText is notified.
  void appendText(const char* text);
  // Empties the log.
  void clearText();
  // 0-based line of the caret (at the end): the number of line feeds.
  unsigned caretLine() const { return lines_; }
  // Removes the first `count` characters (all of them when shorter).
  void trimFront(int count);

  const std::string& text() const { return text_; }
  int length() const { return static_cast<int>(text_.size()); }

  // Brings the widget up to date with the text now (it is, at the latest,
  // kShowEveryMs after a change).
  void showPending();
  static constexpr int kShowEveryMs = View::kLogShowEveryMs;

 private:
  void notify(int code);

  std::string text_;
  // The widget shows text_'s first shown_ characters, each "\r\n" (and a
  // lone "\r" or "\n") as one line break.
  std::size_t shown_ = 0;
  QElapsedTimer sinceShown_;
  QTimer showTimer_;
  unsigned lines_ = 0;
  int limit_;
  std::function<void(int)> notify_;
};

}  // namespace kv::qt
