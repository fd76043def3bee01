#include "tools/dongle-sim/command_scanner.h"

#include "link/frame.h"

namespace kv::sim {

void CommandScanner::feed(const std::uint8_t* data, std::size_t count, Clock::time_point now,
                          std::vector<ScannedBytes>* out) {
  if (count == 0) return;
  const bool wasEmpty = buffer_.empty();
  buffer_.insert(buffer_.end(), data, data + count);
  const std::size_t before = buffer_.size();
  scan(out);
  // A partial frame's clock starts when its first byte is held.
  if (!buffer_.empty() && (wasEmpty || buffer_.size() != before)) heldSince_ = now;
}

void CommandScanner::expire(Clock::time_point now, std::vector<ScannedBytes>* out) {
  if (buffer_.empty() || now - heldSince_ < kPartialTimeout) return;
  emit(ScannedBytes::Kind::Garbage, 0, findMagic(1, true), out);
  scan(out);
  heldSince_ = now;
}

std::optional<CommandScanner::Clock::time_point> CommandScanner::deadline() const {
  if (buffer_.empty()) return std::nullopt;
  return heldSince_ + kPartialTimeout;
}

std::size_t CommandScanner::findMagic(std::size_t from, bool allowPrefix) const {
  const std::size_t n = buffer_.size();
  for (std::size_t i = from; i < n; ++i) {
    if (buffer_[i] != kMagic0) continue;
    if (i + 2 < n) {
      if (buffer_[i + 1] == kMagic1 && buffer_[i + 2] == kMagic2) return i;
    } else if (allowPrefix && (i + 1 == n || buffer_[i + 1] == kMagic1)) {
      return i;
    }
  }
  return n;
}

void CommandScanner::emit(ScannedBytes::Kind kind, std::size_t from, std::size_t to, std::vector<ScannedBytes>* out) {
  if (to <= from) return;
  out->push_back({kind, std::vector<std::uint8_t>(buffer_.begin() + static_cast<std::ptrdiff_t>(from),
                                                  buffer_.begin() + static_cast<std::ptrdiff_t>(to))});
  buffer_.erase(buffer_.begin() + static_cast<std::ptrdiff_t>(from), buffer_.begin() + static_cast<std::ptrdiff_t>(to));
}

void CommandScanner::scan(std::vector<ScannedBytes>* out) {
  for (;;) {
    emit(ScannedBytes::Kind::Garbage, 0, findMagic(0, true), out);
    if (buffer_.size() < off::kPayload) return;  // a partial magic or header: wait
    const std::size_t length = static_cast<std::size_t>(buffer_[off::kLengthHigh]) << 8 | buffer_[off::kLengthHigh + 1];
    if (length > kMaxPayload) {
      emit(ScannedBytes::Kind::Garbage, 0, findMagic(1, true), out);
      continue;
    }
    const std::size_t total = off::kPayload + length + 1;
    if (buffer_.size() < total) return;  // wait for the rest
    if (frameResidual(buffer_.data() + 3, total - 3) == 0) {
      emit(ScannedBytes::Kind::Frame, 0, total, out);
      continue;
    }
    // A bad seal: if another frame starts inside, the bad one ends there.
    const std::size_t inner = findMagic(1, false);
    emit(ScannedBytes::Kind::BadSeal, 0, inner < total ? inner : total, out);
  }
}

}  // namespace kv::sim
