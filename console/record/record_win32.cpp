#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "console/record/record_platform.h"

namespace kv::record {

namespace {

std::atomic<bool> stopAsked{false};
HANDLE doneEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type) {
  stopAsked = true;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return TRUE;
    default:
      // The window closed, log-off, shut-down: the process ends when this
      // returns, so let the recording finish its file first (the system
      // allows a few seconds).
      if (doneEvent != nullptr) WaitForSingleObject(doneEvent, 4000);
      return TRUE;
  }
}

}  // namespace

void installStopHandlers() {
  doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Console output in UTF-8, as every text of ours is.
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested() { return stopAsked.load(); }

void stopDone() {
  if (doneEvent != nullptr) SetEvent(doneEvent);
}

bool liveTerminal() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == INVALID_HANDLE_VALUE || err == nullptr || !GetConsoleMode(err, &mode)) return false;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

int terminalRows() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Bottom - info.srWindow.Top + 1;
  return 24;
}

int terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

namespace {

// Standard input is read by a thread of its own (a console's or a pipe's
// read cannot be waited on with a time-out); it hands over whole lines.
struct InputLines {
  std::mutex mutex;
  std::deque<std::string> lines;
  bool ended = false;
  bool started = false;
};

InputLines& inputLines() {
  static InputLines* lines = new InputLines;  // outlives the thread, which is never joined
  return *lines;
}

void readInput() {
  InputLines& in = inputLines();
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buffer[512];
  for (;;) {
    DWORD n = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !ReadFile(h, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
    pending.append(buffer, n);
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      std::lock_guard lock(in.mutex);
      in.lines.push_back(pending.substr(0, nl + 1));
      pending.erase(0, nl + 1);
    }
    if (pending.size() > 4096) pending.resize(4096);
  }
  std::lock_guard lock(in.mutex);
  if (!pending.empty()) in.lines.push_back(pending);
  in.ended = true;
}

}  // namespace

bool readInputLine(std::string* line, bool* eof) {
  InputLines& in = inputLines();
  std::lock_guard lock(in.mutex);
  if (!in.started) {
    in.started = true;
    try {
      std::thread(readInput).detach();
    } catch (const std::exception&) {
      in.ended = true;
    }
  }
  if (!in.lines.empty()) {
    *line = in.lines.front();
    in.lines.pop_front();
    return true;
  }
  if (in.ended) *eof = true;
  return false;
}

std::string portErrorText(int code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s;
}

bool isSerialPort(const char* path, std::string* reason) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;  // the port's own open says why
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool serial = GetCommState(h, &dcb) != 0;
  CloseHandle(h);
  if (!serial) *reason = "not a serial port";
  return serial;
}

}  // namespace kv::record
