// Serial ports on Windows, over the Win32 comm API.
//
// The port is opened without sharing and for synchronous I/O. Its time-outs
// make a read return at once with whatever has arrived and give a write at
// most 10 ms.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_port.h"

namespace kv {

struct SerialPort {
  HANDLE handle;
};

namespace {

constexpr int kFirstPortNumber = 1;
constexpr int kLastPortNumber = 64;

static_assert(sizeof(DCB) == 28, "the DCB's length field is set to 28");

void setRc(int* rc, DWORD code) {
  if (rc != nullptr) *rc = static_cast<int>(code);
}

HANDLE openHandle(const char* path) {
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Line settings on top of what the port reports; flow control, XON/XOFF and
// the DTR/RTS settings stay as they are. Failures are not reported: the port
// is then used with whatever settings it has.
void configureLine(HANDLE h) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  ::GetCommState(h, &dcb);
  dcb.BaudRate = kLineBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = FALSE;
  dcb.fNull = FALSE;
  ::SetCommState(h, &dcb);

  COMMTIMEOUTS cto;
  cto.ReadIntervalTimeout = MAXDWORD;
  cto.ReadTotalTimeoutMultiplier = 0;
  cto.ReadTotalTimeoutConstant = 0;
  cto.WriteTotalTimeoutMultiplier = 0;
  cto.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  ::SetCommTimeouts(h, &cto);
}

HANDLE eventOf(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

SerialPort* serialOpen(const char* path, int* rc) {
  if (path == nullptr) {
    setRc(rc, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const HANDLE h = openHandle(path);
  if (h == INVALID_HANDLE_VALUE) {
    setRc(rc, ::GetLastError());
    return nullptr;
  }
  configureLine(h);
  auto* port = new (std::nothrow) SerialPort{h};
  if (port == nullptr) {
    ::CloseHandle(h);
    setRc(rc, ERROR_NOT_ENOUGH_MEMORY);
  }
  return port;
}

void serialClose(SerialPort* port) {
  if (port == nullptr) return;
  ::CloseHandle(port->handle);
  delete port;
}

int serialRead(SerialPort* port, std::uint8_t* buf, int size, int* rc) {
  if (port == nullptr) {
    setRc(rc, ERROR_INVALID_HANDLE);
    return -1;
  }
  if (size <= 0) return 0;
  DWORD got = 0;
  if (!::ReadFile(port->handle, buf, static_cast<DWORD>(size), &got, nullptr)) {
    setRc(rc, ::GetLastError());
    return -1;
  }
  return static_cast<int>(got);
}

int serialWrite(SerialPort* port, const std::uint8_t* data, int size, int* rc) {
  if (port == nullptr) {
    setRc(rc, ERROR_INVALID_HANDLE);
    return -1;
  }
  // A write cut short by the time-out still succeeds; the count is not
  // examined.
  DWORD written = 0;
  if (!::WriteFile(port->handle, data, static_cast<DWORD>(size), &written, nullptr)) {
    setRc(rc, ::GetLastError());
    return -1;
  }
  return 0;
}

int serialClearError(SerialPort* port, int* rc) {
  if (port == nullptr) {
    setRc(rc, ERROR_INVALID_HANDLE);
    return -1;
  }
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  if (!::ClearCommError(port->handle, &errors, &stat)) {
    setRc(rc, ::GetLastError());
    return -1;
  }
  return 0;
}

// ---- waking ----

PortWaker::PortWaker() noexcept {
  const HANDLE ev = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (ev != nullptr) waitHandle_ = wakeHandle_ = reinterpret_cast<std::intptr_t>(ev);
}

PortWaker::~PortWaker() {
  if (valid()) ::CloseHandle(eventOf(waitHandle_));
}

bool PortWaker::valid() const noexcept { return waitHandle_ != -1; }

void PortWaker::wake() noexcept {
  if (valid()) ::SetEvent(eventOf(wakeHandle_));
}

PortWait serialWait(SerialPort* /*port*/, PortWaker& waker, int timeoutMs) {
  // The port handle is synchronous and serialises its I/O: waiting on it
  // would hold up the writer. Sleep on the waker instead; the caller reads
  // after the wait either way.
  const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (!waker.valid()) {
    ::Sleep(ms);
    return PortWait::TimedOut;
  }
  // The event resets itself as the wait takes it.
  return ::WaitForSingleObject(eventOf(waker.waitHandle_), ms) == WAIT_OBJECT_0 ? PortWait::Woken
                                                                                  : PortWait::TimedOut;
}

// ---- enumeration ----

int enumerateSerialPortsIn(const char* const* families, int familyCount, PortFound add, void* ctx,
                           PortRemark /*remark*/, const char* ours) {
  if (add == nullptr) return 0;
  int listed = 0;
  char path[kPortNameSize];
  for (int i = 0; i < familyCount; ++i) {
    const char* prefix = families[i];
    // Directory families ("...*") have no meaning here.
    if (prefix == nullptr || std::strchr(prefix, '*') != nullptr) continue;
    for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
      const int len = std::snprintf(path, sizeof path, "%s%d", prefix, n);
      if (len < 0 || len >= static_cast<int>(sizeof path)) break;
      // The port we hold ourselves is opened without sharing: a probe would
      // be refused. Another program's port is refused the same way.
      PortFind find = PortFind::Free;
      if (ours == nullptr || std::strcmp(path, ours) != 0) {
        const HANDLE h = openHandle(path);
        if (h == INVALID_HANDLE_VALUE) {
          const DWORD err = ::GetLastError();
          if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) continue;
          find = PortFind::Held;
        } else {
          ::CloseHandle(h);
        }
      }
      if (!add(ctx, path, find)) return -1;
      if (++listed >= kMaxListedPorts) return 0;
    }
  }
  return 0;
}

int enumerateSerialPorts(PortFound add, void* ctx, PortRemark remark, const char* ours) {
  static const char* const kFamilies[] = {"\\\\.\\COM"};
  return enumerateSerialPortsIn(kFamilies, 1, add, ctx, remark, ours);
}

bool userPortFolder(char* out) {
  out[0] = '\0';
  return false;
}

bool checkPortFolder(const char* /*folder*/, char* why) {
  why[0] = '\0';
  return false;
}

bool leftoverSimulatorLink(const char* /*name*/) { return false; }

bool groupThatWouldHelp(const char* /*path*/, char* /*out*/, int /*size*/) { return false; }

void systemErrorText(int code, char* out, int size) {
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, out, static_cast<DWORD>(size), nullptr);
  // The system's text ends in a period and a line break.
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ' || out[n - 1] == '.')) --n;
  if (n == 0) {
    std::snprintf(out, static_cast<std::size_t>(size), "system error %d", code);
    return;
  }
  out[n] = '\0';
}

}  // namespace kv
