// The simulated dongle: answers the console's commands on the master side of
// a pseudo-terminal and, while scanning, sends every device's reading as a
// register device data frame, paced to a 115200 8N1 line.
//
// It runs in its own thread (start/stop), in the calling thread (run), or
// one round at a time (step). All randomness comes from SimOptions::seed:
// the same seed gives the same devices and, as long as the line keeps up
// and the console sends the same commands, the same readings and faults in
// the same order. Reply faults (--fault-replies) draw from a second engine
// seeded from the same seed, so that the time a command arrives does not
// change the reports.
//
// openPty keeps a descriptor of the slave open for the pty's whole life, so
// the console may close and reopen the port at will. While nobody reads the
// slave, what the dongle sends piles up there as in a host's receive buffer;
// past 3.5 KB it overruns: the unread bytes are dropped and the record gets
// an "event=overrun" comment.
//
// Record file (SimOptions::recordPath), one line per frame sent or received:
//   t_ms=1234.567 dir=tx kind=report fault=none intact=1 dev=3 len=55 hex=4D4244...
// t_ms counts from the opening of the pty; for sent frames it is the time the
// last byte was written. dir is tx or rx. kind, for tx: ack, config, report,
// unknown (an injected frame of an unknown class/opcode), garbage; for rx:
// start-adv, soft-reset, control (another mode), config-request, unknown,
// bad-seal, garbage. fault is none or a comma-joined list of bad-seal,
// drop-byte, split, injected; on rx, bad-seal or garbage. intact is 1 when
// the bytes on the line are the whole frame with a good seal (a split frame
// is intact). dev, only on reports, is the device's index. len and hex are
// the bytes as they crossed the line. Lines starting with '#' are comments:
// the settings at the top, then events ("# t_ms=... event=scan-start").
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/dongle-sim/command_scanner.h"
#include "tools/dongle-sim/device_model.h"
#include "tools/dongle-sim/sim_options.h"
#include "tools/dongle-sim/sim_random.h"

namespace kv::sim {

// 115200 baud with a start and a stop bit: 11,520 bytes a second.
inline constexpr std::chrono::nanoseconds kByteTime{1'000'000'000 / 11'520};

enum class EndReason { Running, Stopped, Duration, Unplugged, LinkError };

struct SimCounters {
  // Sent.
  std::uint64_t framesSent = 0;         // every frame, garbage runs not included
  std::uint64_t reportsSent = 0;
  std::uint64_t reportsIntact = 0;      // reports sent whole with a good seal
  std::uint64_t reportsSkipped = 0;     // due while the line was full
  std::uint64_t reportsSilenced = 0;    // due while the device was silent or the dongle hung
  std::uint64_t acksSent = 0;
  std::uint64_t configsSent = 0;
  std::uint64_t unknownFramesSent = 0;
  std::uint64_t garbageRunsSent = 0;
  std::uint64_t bytesWritten = 0;
  // Received.
  std::uint64_t startAdvReceived = 0;
  std::uint64_t softResetReceived = 0;
  std::uint64_t otherControlReceived = 0;
  std::uint64_t configRequestReceived = 0;
  std::uint64_t unknownReceived = 0;    // well sealed, not a command of ours
  std::uint64_t badSealReceived = 0;
  std::uint64_t garbageBytesReceived = 0;
  std::uint64_t bytesRead = 0;
};

struct DeviceIdentity {
  std::string name;
  std::string address;
  std::uint8_t kind = 1;
};

class DongleSim {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DongleSim(const SimOptions& options);
  ~DongleSim();  // stops the run and closes the pty
  DongleSim(const DongleSim&) = delete;
  DongleSim& operator=(const DongleSim&) = delete;

  // Opens a pty pair (slave in raw 115200 8N1), keeps the master and the
  // slave open, claims the pty as controlling terminal if asked to, places
  // the --link, and opens the record file.
  bool openPty(std::string* slavePath, std::string* error);
  // Runs on a pty master the caller opened; the simulator owns and closes it.
  bool attachMaster(int masterFd, std::string* error);

  void start();        // runs in a thread of its own
  void stop();         // ends the run and waits for the thread; idempotent
  void run();          // runs in the calling thread until the run ends
  // One round: waits at most maxWaitMs for input or due work and does it.
  // Returns false once the run has ended. Not with start().
  bool step(int maxWaitMs);
  // Asks the run to end; safe from a signal handler and any thread.
  void requestStop();
  // Closes the master, as an unplugged dongle does (and --unplug-after):
  // done by the thread that runs the simulator, in its next round. Any thread.
  void unplug();
  // Device `index` stops being heard, or is heard again; the dongle hangs
  // (sends nothing, answers nothing, the port stays open) or carries on. On
  // top of what the options say; done in the next round. Any thread.
  void setDeviceSilent(std::size_t index, bool silent);
  void setStalled(bool stalled);
  // Removes the link and closes the pty and the record; done by the
  // destructor too. Only while the simulator is not running.
  void closePty();

  EndReason endReason() const;
  bool scanning() const;
  SimCounters counters() const;
  std::uint64_t seed() const { return seed_; }
  std::vector<DeviceIdentity> deviceList() const;
  std::string slavePath() const { return slavePath_; }
  // Progress lines (commands received, scan start and stop...); called from
  // the thread that runs the simulator.
  void setLogger(std::function<void(const std::string&)> logger) { logger_ = std::move(logger); }

 private:
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> cuts;  // end of each write, the last one is bytes.size()
    std::vector<std::chrono::microseconds> pauses;  // before each write after the first
    std::size_t written = 0;
    std::size_t cut = 0;
    Clock::time_point notBefore{};
    std::string kind;
    std::string fault;
    bool intact = true;
    int device = -1;
    bool droppable = false;  // dropped by a soft reset before its first byte
  };

  bool setUp(std::string* error);
  bool ended() const { return ended_; }
  void finish(EndReason reason);
  void service(Clock::time_point now);
  void waitForWork(int maxWaitMs);
  void doUnplug(Clock::time_point now);
  void checkOverrun(Clock::time_point now);
  Clock::time_point nextWake(Clock::time_point now) const;
  void readInput(Clock::time_point now);
  void handle(const ScannedBytes& item, Clock::time_point now);
  void reply(std::vector<std::uint8_t> frame, const char* kind);
  void startScan(Clock::time_point now);
  void produceReports(Clock::time_point now);
  void enqueue(std::vector<std::uint8_t> frame, const char* kind, int device, bool droppable, bool faulty,
               SimRandom& random);
  void flushOutput(Clock::time_point now);
  void updateSilenceAndStall(Clock::time_point now);
  bool inWindow(Clock::time_point now, Clock::time_point from, double forSeconds) const;
  void wake(char why);
  void recordLine(Clock::time_point when, const char* dir, const std::string& kind, const std::string& fault,
                  bool intact, int device, const std::vector<std::uint8_t>& bytes);
  void recordEvent(Clock::time_point when, const std::string& text);
  void log(const std::string& line);
  void count(const std::function<void(SimCounters&)>& change);
  void removeLink();

  const SimOptions options_;
  const std::uint64_t seed_;
  SimRandom random_;       // devices, reports and their faults
  SimRandom replyRandom_;  // faults of acks and config data
  std::vector<SimDevice> devices_;
  std::vector<Clock::time_point> base_;  // each device's report schedule, without jitter
  std::vector<Clock::time_point> due_;   // its next report, with jitter
  const std::chrono::nanoseconds period_;

  int master_ = -1;
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  bool linkPlaced_ = false;
  std::FILE* record_ = nullptr;

  Clock::time_point epoch_{};
  Clock::time_point lineFreeAt_{};
  Clock::time_point lineDownUntil_{};  // after the other side hung up
  bool waitWritable_ = false;
  bool scanning_ = false;
  Clock::time_point scanStart_{};
  std::vector<bool> silencePicked_;  // the devices the silence options name
  std::vector<bool> silentNow_;      // as last recorded
  bool stalledNow_ = false;
  bool ended_ = false;
  std::deque<Outgoing> out_;
  CommandScanner scanner_;

  mutable std::mutex mutex_;  // guards counters_, endReason_ and scanningShared_
  SimCounters counters_;
  EndReason endReason_ = EndReason::Running;
  bool scanningShared_ = false;
  std::vector<bool> silencedByCall_;
  bool stalledByCall_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> unplugRequested_{false};
  std::thread thread_;
  std::function<void(const std::string&)> logger_;
};

}  // namespace kv::sim
