// A pseudo-terminal pair standing in for a serial device in the tests: the
// code under test opens the slave by its path, the test plays the device on
// the master. Closing the master unplugs the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

class Pty {
 public:
  // Opens the pair; ok() tells whether it worked.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0; }
  int masterFd() const { return master_; }
  // A descriptor of the slave kept open by the pair, for looking at or
  // changing the line settings; it holds no lock.
  int slaveFd() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }

  // Writes all of `data` to the master (the device sends it).
  bool send(const std::vector<std::uint8_t>& data);
  // Reads from the master until `count` bytes have come or `timeoutMs` has
  // passed; returns what came.
  std::vector<std::uint8_t> receive(std::size_t count, int timeoutMs);
  // Reads and discards whatever the master holds now.
  void drain();

  // Unplugs the device: the slave side hangs up.
  void closeMaster();

  // The slave's line settings (flags, control characters, speeds) as text,
  // to compare before and after something that must leave them alone.
  std::string lineSettings() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace kv::test
