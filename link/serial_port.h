// The serial port to the dongle: one small interface, one implementation per
// operating system (serial_posix.cpp on termios, serial_win32.cpp on the
// Win32 comm API).
//
// A port is opened for exclusive read and write and set to 115200 baud,
// 8 data bits, no parity, one stop bit, raw bytes; a read returns at once
// with whatever has arrived, possibly nothing, and a write is given about
// 10 ms. Failures come back as -1 (or nullptr) plus the system's own error
// code through `rc`: errno on POSIX, GetLastError() on Win32. `rc` may be
// null when the caller does not want the code. Nothing here throws.
//
// Threads: a port may be read by one thread and written by another at the
// same time; it must not be closed while another thread is still using it.
#pragma once

#include <cstdint>

namespace kv {

// Room for any path the enumeration lists, terminator included.
inline constexpr int kPortNameSize = 256;
// Room for an entry of the port list (a path and kHeldPortSuffix).
inline constexpr int kPortEntrySize = kPortNameSize + 32;
// Room for a line about a port for the operator, terminator included.
inline constexpr int kPortTextSize = 384;
// The code a port is refused with when it is this program's own terminal
// (see serialOpen). Not a code of either system: errno values are small,
// and Win32 keeps bit 29 for the codes of applications.
inline constexpr int kOwnTerminalRc = 0x20000001;
// The enumeration lists at most this many ports.
inline constexpr int kMaxListedPorts = 64;
inline constexpr std::uint32_t kLineBaudRate = 115200;
// A write that cannot complete within this many milliseconds gives up.
inline constexpr int kWriteTimeoutMs = 10;

// One open port.
struct SerialPort;

// Opens `path` exclusively and configures the line. On failure returns
// nullptr and stores the system error code in *rc (a port held by another
// program: EWOULDBLOCK / EBUSY on POSIX, ERROR_ACCESS_DENIED on Win32;
// a missing port: ENOENT / ERROR_FILE_NOT_FOUND). Failing to apply the line
// settings does not fail the open: the port is then used as it is.
//
// On POSIX only a terminal device is a serial port: anything else (a FIFO,
// a regular file, /dev/null, a directory) fails with ENOTTY, and a FIFO is
// never opened, so nothing waits for its other end. This program's own
// terminal (/dev/tty, its controlling terminal, the terminal one of its
// standard streams is on, by any name or link) fails with kOwnTerminalRc
// and is left exactly as it was: setting it raw would take the operator's
// terminal away.
SerialPort* serialOpen(const char* path, int* rc);

// Closes the port and frees it. Null is ignored.
void serialClose(SerialPort* port);

// Reads at most `size` bytes without waiting. Returns the count read (> 0),
// 0 when nothing is there, or -1 with *rc set when the port has failed
// (POSIX: EIO when the device is gone). A null port fails with the
// invalid-handle code (EBADF / ERROR_INVALID_HANDLE).
int serialRead(SerialPort* port, std::uint8_t* buf, int size, int* rc);

// Writes `size` bytes with one synchronous write bounded by kWriteTimeoutMs.
// Returns 0, or -1 with *rc set. As with a Win32 write time-out, bytes the
// line could not take within the time-out are dropped without an error.
// A null port fails with EBADF / ERROR_INVALID_HANDLE.
int serialWrite(SerialPort* port, const std::uint8_t* data, int size, int* rc);

// Clears the port's error state (Win32: ClearCommError) or checks that the
// device is still usable (POSIX). Returns 0, or -1 with *rc set.
int serialClearError(SerialPort* port, int* rc);

// Whether the code of a failed read says that the device itself is gone
// (unplugged, removed, the handle dead) rather than that the line had an
// error the port can be cleared of (Win32: a port that aborts on errors
// fails every read with ERROR_OPERATION_ABORTED until ClearCommError runs).
// One rule per system; both are built everywhere so that each can be tested.
bool win32ErrorMeansGone(int code);
bool posixErrorMeansGone(int code);
// This system's rule.
bool serialErrorMeansGone(int code);
// The code a port is reported lost with when it is gone without the system
// saying so (EIO / ERROR_DEVICE_NOT_CONNECTED).
int serialGoneCode();

// Why a port could not be opened, in words for the operator, from the code
// serialOpen gave ("held by another program", "permission denied"...);
// null when the code says nothing more than the system's own text for it.
// Again one rule per system, and this system's.
const char* win32OpenFailure(int code);
const char* posixOpenFailure(int code);
const char* serialOpenFailure(int code);

// The line the operator reads about a failed open of `path`, into `out`
// (kPortTextSize characters): serialOpenFailure's words; for a permission
// refused, "permission denied: add your user to the GROUP group (then log in
// again)" when joining the group that owns the device would help (its
// members may read and write it), else "permission denied"; for any other
// code the system's own text (strerror, FormatMessage), never a bare number.
// The console's status line and koravel-record both say it so.
void describeOpenFailure(int code, const char* path, char* out);

// The system's own text for an error code of its own (errno /
// GetLastError), into `out` (`size` characters), without a trailing period.
void systemErrorText(int code, char* out, int size);

// POSIX: the name of the group that owns the device at `path`, into `out`
// (`size` characters), when joining that group would let this user open it:
// the group may read and write it. False otherwise, and always on Win32.
bool groupThatWouldHelp(const char* path, char* out, int size);

enum class PortWait {
  Readable,  // bytes are waiting on the port
  Gone,      // the device has hung up or failed; reads will not recover
  Woken,     // the waker was raised (and is now cleared)
  TimedOut,  // nothing happened within the time-out
};

// A wake-up signal for a thread blocked in serialWait, raised from any
// thread. A raise is not lost: if nobody waits yet, the next wait returns
// Woken at once. Several raises before a wait count as one.
class PortWaker {
 public:
  PortWaker() noexcept;
  ~PortWaker();
  PortWaker(const PortWaker&) = delete;
  PortWaker& operator=(const PortWaker&) = delete;

  // False when the system refused the underlying object; waits then only
  // time out.
  bool valid() const noexcept;
  void wake() noexcept;

 private:
  friend PortWait serialWait(SerialPort*, PortWaker&, int);
  // POSIX: descriptors (both the same eventfd, or a pipe's two ends);
  // Win32: the auto-reset event in waitHandle_. -1 when absent.
  std::intptr_t waitHandle_ = -1;
  std::intptr_t wakeHandle_ = -1;
};

// Waits until the port has data, the port is gone, the waker is raised or
// `timeoutMs` has passed (negative: no time-out). With a null port only the
// waker and the time-out count. When several hold at once, Woken wins, then
// Gone, then Readable.
//
// Win32 serialises all I/O on the synchronous port handle, so there the wait
// does not look at the port: it sleeps on the waker for the time-out and
// reports Woken or TimedOut, and the caller then simply tries a read.
// POSIX also reports TimedOut for a wait cut short by a signal.
PortWait serialWait(SerialPort* port, PortWaker& waker, int timeoutMs);

// How the enumeration found a port.
enum class PortFind {
  Free,  // it can be opened now (or it is the caller's own, see `ours`)
  Held,  // another program has it open (POSIX: EBUSY or a lock refused;
         // Win32: ERROR_ACCESS_DENIED / ERROR_SHARING_VIOLATION)
};
// Called once for each port found, with its path and how it was found;
// returning false stops the enumeration.
using PortFound = bool (*)(void* ctx, const char* path, PortFind find);
// Called with a line for the operator about something the listing left
// out: a port this user may not open and would be able to as a member of
// the group that owns it ("Port P: permission denied: add your user to the
// G group (then log in again)"), or the user's port folder, not used, and
// why (checkPortFolder).
using PortRemark = void (*)(void* ctx, const char* text);

// A held port is listed as its path followed by this; a pick of such an
// entry is a pick of the path (portOfListEntry).
inline constexpr const char* kHeldPortSuffix = " (held by another program)";
// The port list's entry for `path` as found, into `out` (kPortEntrySize).
void listEntryOfPort(const char* path, PortFind find, char* out);
// The path a port list entry names (the entry without kHeldPortSuffix),
// into `out` (kPortNameSize); "" when it does not fit.
void portOfListEntry(const char* entry, char* out);

// Lists the ports that are there right now, each probed by an exclusive
// open that is closed again (the line settings are left alone), in probing
// order, at most kMaxListedPorts. A port another program holds is listed as
// Held; what cannot be opened for any other reason (missing, no terminal,
// this program's own terminal, no permission) is not listed. Returns 0, or
// -1 when `add` returned false.
//   Win32: \\.\COM1 to \\.\COM64.
//   POSIX: /dev/ttyUSB0.., /dev/ttyACM0.., /dev/ttyS0.. (numbers 0 to 255),
//          on macOS every /dev/cu.* in name order, then every entry of the
//          user's own port folder (userPortFolder) in name order, when
//          checkPortFolder allows it (else `remark` is told why).
// `ours`, when given, is the path of a port the caller has open itself: it
// is listed in its place, as Free, without being probed (the probe would
// find it taken).
int enumerateSerialPorts(PortFound add, void* ctx, PortRemark remark = nullptr, const char* ours = nullptr);

// The same over the given families of paths, in the order given. A family is
// a path prefix probed with increasing decimal numbers appended (POSIX 0 to
// 255, Win32 1 to 64); on POSIX a family ending in '*' instead means every
// entry of that directory whose name begins with what precedes the '*', in
// name order, less the leftover links of simulated dongles that no longer
// run (leftoverSimulatorLink).
int enumerateSerialPortsIn(const char* const* families, int familyCount, PortFound add, void* ctx,
                           PortRemark remark = nullptr, const char* ours = nullptr);

// POSIX: the folder of this user's own ports, where a simulated dongle puts
// a link to its pseudo-terminal so that the console lists it without root:
// $XDG_RUNTIME_DIR/koravel, else /tmp/koravel-UID. Into `out` (kPortNameSize
// characters); false when there is none (Win32).
bool userPortFolder(char* out);

// Whether the port folder `folder` may be used: it must be a directory, not
// a symbolic link, owned by this user, that nobody else may enter or change
// (no group or other permission bits), since /tmp/koravel-UID could have
// been made in advance by another user. False with the reason in `why`
// (kPortTextSize characters, "Port folder F not used: ..."); false with ""
// when it is simply not there. Win32: false, "".
bool checkPortFolder(const char* folder, char* why);

// A simulated dongle's link in the port folder is named kSimulatorLinkPrefix
// and its process id.
inline constexpr const char* kSimulatorLinkPrefix = "dongle-sim-";
// Whether `name` (an entry of a port folder) is such a link's name and its
// process no longer runs (POSIX: kill(pid, 0) fails with ESRCH): the link is
// a leftover and may point at another program's terminal by now. Win32:
// false.
bool leftoverSimulatorLink(const char* name);

}  // namespace kv
