// The window operations that the core needs from a front end.
//
// Threads. The UI thread owns every window. The link threads (reader and
// writer) call into the view too; every operation marked "synchronous" is
// then carried out on the UI thread while the calling thread waits, so that
// a log line is in the log, in order, before its thread goes on (Win32:
// SendMessage; Qt: a blocking queued call, or a direct call when already on
// the UI thread). Called on the UI thread itself, each runs directly.
// Because a link thread may be waiting inside such a call, the UI thread
// must never wait for a link thread, and nobody may hold a lock of the core
// across a call into the view.
//
// The posted operations (postTooltipRequest, and repaintTiles from a link
// thread) queue their work and return at once.
#pragma once

namespace kv {

inline constexpr int kTileCount = 40;

class View {
 public:
  virtual ~View() = default;

  // --- used by the link threads and the UI thread (synchronous) ---

  // Inserts `text` at the end of the traffic log (the caret stays there).
  virtual void appendLog(const char* text) = 0;
  // The same for a reading's line, called on the UI thread. A view may hold
  // such lines back for at most kLogShowEveryMs and show them together; the
  // log's other operations then see them as already there.
  virtual void appendReadingLog(const char* text) { appendLog(text); }
  static constexpr int kLogShowEveryMs = 100;
  // Replaces the whole dongle information line.
  virtual void setDongleLine(const char* text) = 0;
  // Relabels the Start button and enables it.
  virtual void setStartLabel(const char* text) = 0;
  // Replaces tile `slot`'s text (0 to 39).
  virtual void setTileText(int slot, const char* text) = 0;
  // Replaces the whole text of the linked-count field.
  virtual void setLinkedCount(const char* text) = 0;
  // Gives tile `slot` its hover text and switches it on; one hover text per
  // tile, replaced on every call.
  virtual void setTileTooltip(int slot, const char* text) = 0;
  // Switches tile `slot`'s hover text off.
  virtual void deactivateTooltip(int slot) = 0;
  // Runs fn(arg) on the UI thread and returns when it has run. The core uses
  // it for updates whose text must be worked out at the moment it is shown.
  virtual void runOnUiThread(void (*fn)(void*), void* arg) = 0;

  // --- posted ---

  // Queues a tooltip request for `slot`; the UI thread later hands it to the
  // command handler as command 1400 + slot.
  virtual void postTooltipRequest(int slot) = 0;
  // Asks for every tile to be painted again (the scan started or stopped).
  // From a link thread it may be queued rather than waited for.
  virtual void repaintTiles() = 0;
  // Asks the UI thread to bring the status line up to date soon (showStatus,
  // console.h), at once rather than at the next tick of its watch: the port
  // has gone.
  virtual void postStatusCheck() {}

  // --- UI thread only (the operator command handler) ---

  // Relabels the log button.
  virtual void setLogButtonLabel(const char* text) = 0;
  // Empties the traffic log.
  virtual void clearLog() = 0;
  // 0-based line index of the caret in the traffic log.
  virtual unsigned logCaretLine() = 0;
  // Removes the first `count` characters of the traffic log (all of it when
  // shorter) and puts the caret back at the end.
  virtual void trimLogFront(int count) = 0;
  // Appends a port to the port list; false when the list refuses it.
  virtual bool addPort(const char* path) = 0;
  // Index of the selected port in the port list, -1 when none; its text.
  virtual int selectedPort() = 0;
  virtual void portName(int index, char* out, int size) = 0;
  // Modal error box; returns when the operator has closed it.
  virtual void showErrorBox(const char* text, const char* caption) = 0;
  // Modal About box; returns when it is closed.
  virtual void showAboutBox() = 0;
  // Queues the shutdown of the main window (it runs when taken from the queue).
  virtual void postShutdown() = 0;
  // Destroys the main window now, which runs the shutdown.
  virtual void destroyWindow() = 0;
  // Waits `ms` milliseconds on the UI thread while still serving the link
  // threads' synchronous calls (and nothing else: no operator input).
  virtual void waitServingLink(int ms) = 0;
  // The same, until done(arg) is true or `timeoutMs` has passed; returns
  // done(arg).
  virtual bool waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) = 0;

  // --- UI thread only: what the operator is told beyond the controls above
  // (a view without such a control does nothing) ---

  // Replaces the text of the status line.
  virtual void setStatusLine(const char* /*text*/) {}
  // Empties the port list.
  virtual void clearPorts() {}
  // Selects item `index` of the port list, as the program's own doing: no
  // port is picked by it.
  virtual void selectPortItem(int /*index*/) {}
  // A recording has begun or ended: the File menu's recording item reads
  // `recordText` ("Record readings..." or "Stop recording"), and "Mark" can
  // be used only while one runs.
  virtual void showRecording(const char* /*recordText*/, bool /*markable*/) {}
  // Opens a document (the session report, UTF-8 path) in the program the
  // user has for it: the web browser.
  virtual void openDocument(const char* /*path*/) {}
};

}  // namespace kv
