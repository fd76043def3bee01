// Which failed reads mean the device is gone, and what a failed open is
// called, on each system. The codes are the systems' own numbers, spelled
// out so that both rules build anywhere.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/serial_port.h"

namespace kv {

bool win32ErrorMeansGone(int code) {
  switch (code) {
    case 2:     // ERROR_FILE_NOT_FOUND
    case 5:     // ERROR_ACCESS_DENIED: a USB adapter pulled out
    case 6:     // ERROR_INVALID_HANDLE
    case 21:    // ERROR_NOT_READY
    case 22:    // ERROR_BAD_COMMAND: a USB adapter pulled out
    case 31:    // ERROR_GEN_FAILURE
    case 55:    // ERROR_DEV_NOT_EXIST
    case 433:   // ERROR_NO_SUCH_DEVICE
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
    case 1617:  // ERROR_DEVICE_REMOVED
      return true;
    default:
      // ERROR_OPERATION_ABORTED (995) and the like: a line error; clearing
      // the port's error state decides.
      return false;
  }
}

bool posixErrorMeansGone(int code) {
  return code == EIO || code == ENXIO || code == ENODEV || code == EBADF;
}

bool serialErrorMeansGone(int code) {
#ifdef _WIN32
  return win32ErrorMeansGone(code);
#else
  return posixErrorMeansGone(code);
#endif
}

const char* win32OpenFailure(int code) {
  switch (code) {
    case 2:  // ERROR_FILE_NOT_FOUND
    case 3:  // ERROR_PATH_NOT_FOUND
      return "not found";
    case 5:  // ERROR_ACCESS_DENIED: a COM port another program has open
    case 32:  // ERROR_SHARING_VIOLATION
      return "held by another program";
    case kOwnTerminalRc:
      return "it is this program's own terminal";
    default:
      return nullptr;
  }
}

const char* posixOpenFailure(int code) {
  if (code == EACCES || code == EPERM) return "permission denied";
  if (code == EBUSY || code == EAGAIN || code == EWOULDBLOCK) return "held by another program";
  if (code == ENOENT || code == ENODEV || code == ENXIO) return "not found";
  if (code == ENOTTY) return "not a serial port";
  if (code == kOwnTerminalRc) return "it is this program's own terminal";
  return nullptr;
}

const char* serialOpenFailure(int code) {
#ifdef _WIN32
  return win32OpenFailure(code);
#else
  return posixOpenFailure(code);
#endif
}

void describeOpenFailure(int code, const char* path, char* out) {
#ifndef _WIN32
  if (code == EACCES || code == EPERM) {
    char group[kPortTextSize / 2];
    if (path != nullptr && groupThatWouldHelp(path, group, static_cast<int>(sizeof group))) {
      std::snprintf(out, kPortTextSize, "permission denied: add your user to the %s group (then log in again)", group);
      return;
    }
  }
#else
  (void)path;
#endif
  if (const char* words = serialOpenFailure(code)) {
    std::snprintf(out, kPortTextSize, "%s", words);
    return;
  }
  systemErrorText(code, out, kPortTextSize);
}

void listEntryOfPort(const char* path, PortFind find, char* out) {
  std::snprintf(out, kPortEntrySize, "%s%s", path, find == PortFind::Held ? kHeldPortSuffix : "");
}

void portOfListEntry(const char* entry, char* out) {
  std::size_t len = std::strlen(entry);
  const std::size_t suffix = std::strlen(kHeldPortSuffix);
  if (len > suffix && std::strcmp(entry + len - suffix, kHeldPortSuffix) == 0) len -= suffix;
  if (len >= static_cast<std::size_t>(kPortNameSize)) len = 0;
  std::memcpy(out, entry, len);
  out[len] = '\0';
}

int serialGoneCode() {
#ifdef _WIN32
  return 1167;  // ERROR_DEVICE_NOT_CONNECTED
#else
  return EIO;
#endif
}

}  // namespace kv
