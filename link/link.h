// The link to the dongle: the open serial port, the reader thread that
// parses what arrives, the writer thread that writes the one pending
// command, and the order in which they start and stop.
//
// Every public operation runs on the UI thread. The threads reach the window
// only through the View, and nobody holds a lock of the link across a call
// into the view. The port is guarded by one mutex: the reader holds it for
// a read (and for its wait for input, which anybody else who wants the port
// cuts short through the waker), the writer for a write, the UI thread while
// it swaps or closes the port; so no thread touches a closed port.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/view.h"
#include "base/core_clock.h"
#include "link/frame.h"
#include "link/latency.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "link/serial_port.h"
#include "link/tx_event.h"
#include "link/device_registry.h"

namespace kv {

class Link;

// What the link takes from the operating system: the serial port's calls
// and the starting of its two threads. The system's own unless the link is
// given others (the tests give it a fake port, or a thread start that
// fails). startThread may throw, as std::thread does when the system cannot
// make a thread; the link catches that.
struct LinkPlatform {
  SerialPort* (*open)(const char* path, int* rc) = serialOpen;
  void (*close)(SerialPort* port) = serialClose;
  int (*read)(SerialPort* port, std::uint8_t* buf, int size, int* rc) = serialRead;
  int (*write)(SerialPort* port, const std::uint8_t* data, int size, int* rc) = serialWrite;
  int (*clearError)(SerialPort* port, int* rc) = serialClearError;
  PortWait (*wait)(SerialPort* port, PortWaker& waker, int timeoutMs) = serialWait;
  bool (*errorMeansGone)(int code) = serialErrorMeansGone;
  void (*startThread)(std::thread& thread, void (*body)(Link*), Link* link) = startSystemThread;

  static void startSystemThread(std::thread& thread, void (*body)(Link*), Link* link) {
    thread = std::thread(body, link);
  }
};

// What the operator is told about the port (Link::portState).
struct PortState {
  char name[kPortNameSize] = {};  // the port picked last, "" before any
  bool open = false;              // it is open and has not been lost
  bool lost = false;              // it was open and went away
  int lostRc = 0;
  bool failed = false;            // it could not be opened
  int failRc = 0;
  std::int64_t openedMs = 0;      // when it was opened
  std::int64_t lastInputMs = 0;   // when a byte last came from it, 0: none yet
};

class Link {
 public:
  Link(View& view, LinkWords& words, DeviceRegistry& roster, const LinkPlatform& platform = LinkPlatform{},
       const CoreClock& clock = systemClock());
  // Stops the link if stopLink has not run.
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Start-up: the transmit event (always there: 0), the port list and the
  // writer thread (0, or -1 when the system could not start it).
  int createTxEvent();
  // Lists the ports that are there now in the view's port list, a port
  // another program holds with kHeldPortSuffix; -1 when the list refused
  // one.
  int enumerateComPorts();
  int startWriter();

  // Closes the open port, opens `portName` and, on success, starts the
  // reader when none runs and submits a soft reset. Logs "Port %s opened" or
  // "Couldn't open port %s. rc=%d". True when the port is open. A reader
  // the system cannot start is logged; the next successful open tries again.
  bool openPort(const char* portName);
  // openPort's result as 0 or -1.
  int selectPort(const char* portName);

  // Hands a command frame to the writer: a copy is taken now, and the writer
  // writes the latest copy once when it wakes. Returns 0.
  int submitCommand(const std::uint8_t* frame, int length);
  // Builds into commandFrame and submits: the soft reset (which sets
  // swallowNextAck first, so that however fast the dongle answers, its ack
  // finds the word set), and the request for the dongle's configuration.
  int softResetDongle();
  int requestDongleConfig();

  // Stops both threads (serving the view while they finish), closes the port
  // and the event. When a port is open, a command still waiting to be
  // written (the soft reset at shutdown) is written first, waiting at most
  // kFinalWriteWaitMs. Returns 0, or -1 when a thread did not end in time.
  int stopLink();

  // Hands every device report and bad seal the reader finds to `sink` too
  // (on the reader thread). Only before the first port is opened.
  void setReportSink(const ReportSink& sink) { sink_ = sink; }

  // The one command being built (UI thread).
  std::uint8_t commandFrame[kMaxCommandSize] = {};
  std::uint8_t commandLength = 0;

  // Any thread: the port as the status line tells it.
  PortState portState() const;

  // For tests and measurements.
  bool portOpen();
  bool readerStarted() const { return readerStarted_; }
  std::uint64_t commandsWritten() const { return written_.load(); }
  std::uint64_t bytesRead() const { return bytesRead_.load(); }
  std::uint64_t emptyWaits() const { return emptyWaits_.load(); }
  // Failed reads after which the port's error state was cleared and the
  // port kept.
  std::uint64_t readErrorsCleared() const { return readErrorsCleared_.load(); }
  // From a read that brought readings to the end of their calls into the
  // view (their tiles' texts shown).
  const LatencyHistogram& readToShown() const { return readToShown_; }
  // The parser's counters; only once stopLink has returned (the reader
  // owns them while it runs).
  const ReceiveCounters& receiveCounters() const { return parser_.counters; }

  static constexpr int kFinalWriteWaitMs = 500;
  static constexpr int kThreadStopWaitMs = 2000;
  // Reads that bring nothing right after the port was reported readable,
  // in a row, before the port counts as gone (a hung-up device that does
  // not say so).
  static constexpr int kHollowReadsToGone = 3;
  // How long a port may bring nothing before the reader asks whether it is
  // still there (a Win32 port whose device has gone reads as empty).
  static constexpr int kIdleCheckMs = 500;
  // While input keeps coming, the reader reads at most every kReadEveryMs
  // (a USB serial adapter hands its bytes over in such slices anyway), so
  // that a read brings several reports and their readings reach the UI
  // thread in one call rather than one call each.
  static constexpr int kReadEveryMs = 10;

 private:
  void readerLoop();
  void writerLoop();
  static void readerBody(Link* link) { link->readerLoop(); }
  static void writerBody(Link* link) { link->writerLoop(); }
  // Starts a thread; false (and the system's code in *rc) when it failed.
  bool startThread(std::thread& thread, void (*body)(Link*), int* rc);
  // One read of the open port. A failed read is followed by clearing the
  // port's error state and reading again; -1 (with *rc) only when the port
  // is gone: its code says so or the clearing fails.
  int readPort(SerialPort* port, std::uint8_t* buf, int size, int* rc);
  // Takes the port mutex from outside the reader: the reader's wait for
  // input is cut short and the reader stays out until release.
  std::unique_lock<std::mutex> claimPort();
  void releasePort(std::unique_lock<std::mutex>& lock);
  void logLine(const char* format, const char* name, int rc);
  void setState(const char* name, bool open, bool lost, int lostRc, bool failed, int failRc);

  View& view_;
  LinkWords& words_;
  DeviceRegistry& roster_;
  const LinkPlatform platform_;
  const CoreClock& clock_;
  ManualResetEvent txEvent_;
  PortWaker waker_;

  mutable std::mutex portMutex_;
  SerialPort* port_ = nullptr;           // guarded by portMutex_
  char portName_[kPortNameSize] = {};    // guarded by portMutex_
  bool portLost_ = false;                // guarded by portMutex_
  std::uint64_t portOpens_ = 0;          // guarded by portMutex_
  std::atomic<int> portClaims_{0};
  mutable std::mutex stateMutex_;
  PortState state_;                      // guarded by stateMutex_, but for lastInputMs:
  std::atomic<std::int64_t> lastInputMs_{0};  // set by the reader at every read that brings bytes

  // The command hand-over: the latest submitted frame and its number.
  std::mutex commandMutex_;
  std::uint8_t pendingFrame_[kMaxCommandSize] = {};
  int pendingLength_ = 0;
  std::uint64_t submitted_ = 0;           // guarded by commandMutex_
  std::atomic<std::uint64_t> writtenUpTo_{0};

  std::thread reader_;
  std::thread writer_;
  bool readerStarted_ = false;
  bool writerStarted_ = false;
  bool stopped_ = false;
  std::atomic<bool> readerDone_{false};
  std::atomic<bool> writerDone_{false};

  ReceiveParser parser_;
  ReportSink sink_;
  std::atomic<std::uint64_t> written_{0};
  std::atomic<std::uint64_t> bytesRead_{0};
  std::atomic<std::uint64_t> emptyWaits_{0};
  std::atomic<std::uint64_t> readErrorsCleared_{0};
  LatencyHistogram readToShown_;
};

}  // namespace kv
