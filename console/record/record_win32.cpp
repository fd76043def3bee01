#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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

std::FILE* createNewFile(const char* path, std::string* reason) {
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *reason = errno == EEXIST ? "it exists, and a recording is never overwritten" : errorText(errno);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) {
    *reason = errorText(errno);
    _close(fd);
    _unlink(path);
  }
  return f;
}

std::FILE* rowsToStdout() {
  _setmode(_fileno(stdout), _O_BINARY);
  return stdout;
}

bool syncToDisk(std::FILE* file, std::string* reason) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) return true;
  if (FlushFileBuffers(h)) return true;
  *reason = "error " + std::to_string(GetLastError());
  return false;
}

void removeFile(const char* path) { _unlink(path); }

std::string errorText(int code) { return std::strerror(code); }

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
