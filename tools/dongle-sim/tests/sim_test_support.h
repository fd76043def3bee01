// What the simulator's tests share: the console's end of the pty, frames the
// console sends, splitting the dongle's byte stream into frames, and reading
// the record file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kv::sim::test {

using Bytes = std::vector<std::uint8_t>;

// The slave side as the console opens it: O_RDWR | O_NOCTTY, raw, 115200.
class ConsoleEnd {
 public:
  explicit ConsoleEnd(const std::string& path);
  ~ConsoleEnd();
  ConsoleEnd(const ConsoleEnd&) = delete;
  ConsoleEnd& operator=(const ConsoleEnd&) = delete;

  bool ok() const { return fd_ >= 0; }
  void send(const Bytes& bytes);
  // Reads into received() until `done` says so or timeoutMs pass.
  bool readUntil(const std::function<bool(const Bytes&)>& done, int timeoutMs);
  // Reads whatever arrives within ms; returns how many bytes came.
  std::size_t readFor(int ms);
  // True when the other side hangs up within timeoutMs.
  bool waitHangup(int timeoutMs);
  Bytes& received() { return received_; }
  int reads() const { return reads_; }  // reads that returned bytes

 private:
  int fd_ = -1;
  int reads_ = 0;
  Bytes received_;
};

Bytes startAdvFrame();
Bytes softResetFrame();
Bytes configRequestFrame();
Bytes ackFrame();

std::uint8_t residualOf(const Bytes& frame);

// Splits a stream of the dongle's frames (ack, config data, device data) by
// their fixed sizes. Stops at bytes that are not such a frame or at an
// incomplete one; *consumed says how far it got.
std::vector<Bytes> splitDongleFrames(const Bytes& stream, std::size_t* consumed = nullptr);

// The frames of `stream` that are device reports.
std::vector<Bytes> reportsIn(const Bytes& stream);

struct RecordLine {
  std::map<std::string, std::string> fields;
  Bytes bytes;  // the hex field
  const std::string& operator[](const std::string& key) const;
};
// The record's frame lines; comment lines go to *comments if given.
std::vector<RecordLine> readRecord(const std::string& path, std::vector<std::string>* comments = nullptr);

// A fresh directory under the system's temporary directory.
std::string makeTempDir();
void removeTree(const std::string& path);

}  // namespace kv::sim::test
