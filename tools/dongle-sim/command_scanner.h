// Finds the console's frames in the byte stream that reaches the dongle.
//
// Every frame the console sends is in the long form: magic "MBD", class,
// opcode, 16-bit code, 16-bit length, payload, seal. The scanner hands out
// each complete frame with a good seal, and everything else as bad frames or
// garbage, so that no byte is lost from the record. It resynchronises on the
// next magic: stray bytes before a magic are garbage; a candidate frame with
// a bad seal ends where another magic starts inside it; a header whose length
// no command of ours can have, and a partial frame that has waited longer than
// the time-out, are garbage up to the next magic.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kv::sim {

struct ScannedBytes {
  enum class Kind { Frame, BadSeal, Garbage };
  Kind kind = Kind::Garbage;
  std::vector<std::uint8_t> bytes;
};

class CommandScanner {
 public:
  using Clock = std::chrono::steady_clock;

  // The dongle's commands carry a few bytes of payload at most.
  static constexpr std::size_t kMaxPayload = 32;
  static constexpr std::chrono::milliseconds kPartialTimeout{200};

  void feed(const std::uint8_t* data, std::size_t count, Clock::time_point now, std::vector<ScannedBytes>* out);
  // Gives up on a partial frame that has waited kPartialTimeout.
  void expire(Clock::time_point now, std::vector<ScannedBytes>* out);
  // When a held partial frame will expire, if one is held.
  std::optional<Clock::time_point> deadline() const;
  std::size_t held() const { return buffer_.size(); }

 private:
  void scan(std::vector<ScannedBytes>* out);
  void emit(ScannedBytes::Kind kind, std::size_t from, std::size_t to, std::vector<ScannedBytes>* out);
  // First position at or after `from` where a magic begins, or a prefix of
  // one ("M", "MB") runs to the end of the buffer; the buffer's size if none.
  std::size_t findMagic(std::size_t from, bool allowPrefix) const;

  std::vector<std::uint8_t> buffer_;
  Clock::time_point heldSince_{};
};

}  // namespace kv::sim
