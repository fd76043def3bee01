#include "link/tx_event.h"

#include <chrono>

namespace kv {

void ManualResetEvent::set() {
  {
    std::lock_guard lock(m_);
    signalled_ = true;
  }
  cv_.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard lock(m_);
  signalled_ = false;
}

void ManualResetEvent::pulse() {
  {
    std::lock_guard lock(m_);
    ++pulses_;
    signalled_ = false;
  }
  cv_.notify_all();
}

ManualResetEvent::Wait ManualResetEvent::wait(int timeoutMs) {
  std::unique_lock lock(m_);
  const std::uint64_t pulsesAtStart = pulses_;
  auto released = [&] { return closed_ || signalled_ || pulses_ != pulsesAtStart; };
  if (timeoutMs < 0) {
    cv_.wait(lock, released);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), released)) {
    return Wait::TimedOut;
  }
  return closed_ ? Wait::Closed : Wait::Signalled;
}

void ManualResetEvent::close() {
  {
    std::lock_guard lock(m_);
    closed_ = true;
  }
  cv_.notify_all();
}

bool ManualResetEvent::isSet() const {
  std::lock_guard lock(m_);
  return signalled_;
}

}  // namespace kv
