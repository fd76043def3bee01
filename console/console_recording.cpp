// The console's recording: File > "Record readings..." / "Stop recording"
// and "Mark", what the status line says of it, and its end when the console
// closes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/console.h"

namespace kv {

namespace {

void showMenu(ConsoleCore& core) {
  const bool running = core.recording.running();
  core.recordingShown = running;
  core.view.showRecording(running ? kStopRecordingMenuText : kRecordMenuText, running);
}

void note(ConsoleCore& core, const char* text) {
  std::snprintf(core.recordingNote, sizeof core.recordingNote, "%s", text);
  core.noteUntilMs = core.clock.nowMs() + kRecordingNoteMs;
}

}  // namespace

bool startRecording(ConsoleCore& core, const char* path, bool replace) {
  int err = 0;
  core.recordingFault[0] = '\0';
  core.markShown = 0;
  if (!core.recording.startFile(path, replace, &err)) {
    char words[160];
    if (err == EEXIST) {
      std::snprintf(words, sizeof words, "it exists");
    } else {
      errorWords(err, words, sizeof words);
    }
    char text[kStatusTextSize];
    std::snprintf(text, sizeof text, "Cannot record to %s: %s", path, words);
    note(core, text);
    showMenu(core);
    showStatus(core);
    return false;
  }
  core.noteUntilMs = 0;
  showMenu(core);
  showStatus(core);
  return true;
}

void stopRecording(ConsoleCore& core) {
  if (!core.recording.running()) return;
  // The link threads are served while the writer finishes: the UI thread
  // never waits for them.
  struct Serve {
    static bool serve(void* arg) {
      static_cast<View*>(arg)->waitServingLink(0);
      return true;
    }
  };
  const RecordingStats st = core.recording.stop(kRecordingFinishMs, &Serve::serve, &core.view);
  char text[kStatusTextSize];
  if (st.unwritten != 0 || st.lost != 0) {
    std::snprintf(text, sizeof text, "Recording stopped: %llu rows in %s, %llu rows could not be written",
                  static_cast<unsigned long long>(st.rows), core.recording.path(),
                  static_cast<unsigned long long>(st.unwritten + st.lost));
  } else {
    std::snprintf(text, sizeof text, "Recording saved: %llu rows in %s; File > Session report makes its report",
                  static_cast<unsigned long long>(st.rows), core.recording.path());
  }
  note(core, text);
  core.markShown = 0;
  showMenu(core);
  showStatus(core);
}

std::uint64_t markRecording(ConsoleCore& core) {
  const std::uint64_t n = core.recording.mark();
  if (n != 0) {
    core.markShown = n;
    core.markUntilMs = core.clock.nowMs() + kMarkShownMs;
  }
  showStatus(core);
  return n;
}

void finishRecording(ConsoleCore& core, char* out, std::size_t size) {
  out[0] = '\0';
  const bool wasRunning = core.recording.running();
  const RecordingStats st = core.recording.stop(kRecordingFinishMs);
  if (!wasRunning && st.fault == RecordingFault::None) return;
  char fault[200] = "";
  if (st.fault != RecordingFault::None) {
    char words[160];
    recordingFaultWords(st, words, sizeof words);
    std::snprintf(fault, sizeof fault, " The recording had stopped: %s.", words);
  }
  const std::uint64_t missing = st.unwritten + st.lost;
  if (missing == 0 && fault[0] == '\0') return;
  char lostRows[80] = "";
  if (missing != 0)
    std::snprintf(lostRows, sizeof lostRows, " %llu rows could not be written.", static_cast<unsigned long long>(missing));
  std::snprintf(out, size, "%llu rows are in %s.%s%s", static_cast<unsigned long long>(st.rows), core.recording.path(),
                fault, lostRows);
}

// What the status line says of the recording now (showStatus).
RecordingFacts recordingFacts(ConsoleCore& core, std::int64_t nowMs) {
  RecordingFacts r;
  const RecordingStats st = core.recording.stats();
  r.running = st.running;
  r.name = core.recording.fileName();
  r.rows = st.rows;
  r.lost = st.lost;
  r.remade = st.remade != 0;
  // A recording that stopped by itself: its fault stays said until the next.
  if (!st.running && st.fault != RecordingFault::None && core.recordingShown) {
    recordingFaultWords(st, core.recordingFault, sizeof core.recordingFault);
    showMenu(core);
  }
  if (core.recordingShown != st.running) showMenu(core);
  r.fault = core.recordingFault;
  if (core.markShown != 0 && nowMs < core.markUntilMs) r.mark = core.markShown;
  if (nowMs < core.noteUntilMs) r.note = core.recordingNote;
  return r;
}

}  // namespace kv
