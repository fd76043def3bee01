// A manual-reset event: set, reset, pulse, wait, close. It wakes the writer
// thread when a command has been submitted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kv {

class ManualResetEvent {
 public:
  enum class Wait { Signalled, Closed, TimedOut };

  // Signals the event: every waiter returns, and so does every later wait
  // until it is reset.
  void set();
  void reset();
  // Releases the threads waiting now and leaves the event unsignalled.
  void pulse();
  // Waits until the event is signalled or pulsed, or it is closed.
  // A negative time-out waits without limit.
  Wait wait(int timeoutMs = -1);
  // Every wait, now and later, returns Closed.
  void close();
  bool isSet() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
  bool closed_ = false;
  std::uint64_t pulses_ = 0;
};

}  // namespace kv
