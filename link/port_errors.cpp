// Which failed reads mean the device is gone, on each system. The codes are
// the systems' own numbers, spelled out so that both rules build anywhere.
#include <cerrno>

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
    default:
      return nullptr;
  }
}

const char* posixOpenFailure(int code) {
  if (code == EACCES || code == EPERM) return "permission denied: add your user to the dialout group (then log in again)";
  if (code == EBUSY || code == EAGAIN || code == EWOULDBLOCK) return "held by another program";
  if (code == ENOENT || code == ENODEV || code == ENXIO) return "not found";
  if (code == ENOTTY) return "not a serial port";
  return nullptr;
}

const char* serialOpenFailure(int code) {
#ifdef _WIN32
  return win32OpenFailure(code);
#else
  return posixOpenFailure(code);
#endif
}

int serialGoneCode() {
#ifdef _WIN32
  return 1167;  // ERROR_DEVICE_NOT_CONNECTED
#else
  return EIO;
#endif
}

}  // namespace kv
