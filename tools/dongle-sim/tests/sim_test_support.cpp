#include "sim_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/frame.h"

namespace kv::sim::test {

ConsoleEnd::ConsoleEnd(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return;
  termios tio{};
  ::tcgetattr(fd_, &tio);
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd_, TCSANOW, &tio);
}

ConsoleEnd::~ConsoleEnd() {
  if (fd_ >= 0) ::close(fd_);
}

void ConsoleEnd::send(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    else ::usleep(1000);
  }
}

bool ConsoleEnd::readUntil(const std::function<bool(const Bytes&)>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(received_)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    if (!(p.revents & POLLIN)) return done(received_);  // hung up
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      received_.insert(received_.end(), buffer, buffer + n);
      ++reads_;
    }
  }
  return true;
}

std::size_t ConsoleEnd::readFor(int ms) {
  const std::size_t before = received_.size();
  readUntil([](const Bytes&) { return false; }, ms);
  return received_.size() - before;
}

bool ConsoleEnd::waitHangup(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      if (p.revents & (POLLHUP | POLLERR)) return true;
      std::uint8_t buffer[1024];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) received_.insert(received_.end(), buffer, buffer + n);
    }
  }
  return false;
}

Bytes startAdvFrame() {
  Bytes f(kMaxCommandSize);
  std::uint8_t n = 0;
  buildControlCommand(f.data(), 0, 1, &n);
  f.resize(n);
  return f;
}

Bytes softResetFrame() {
  Bytes f(kMaxCommandSize);
  std::uint8_t n = 0;
  buildControlCommand(f.data(), 0, 0, &n);
  f.resize(n);
  return f;
}

Bytes configRequestFrame() {
  Bytes f(kMaxCommandSize);
  std::uint8_t n = 0;
  buildConfigRequest(f.data(), &n);
  f.resize(n);
  return f;
}

Bytes ackFrame() {
  Bytes f(kAckSize);
  buildDongleAck(f.data());
  return f;
}

std::uint8_t residualOf(const Bytes& frame) { return frameResidual(frame.data() + 3, frame.size() - 3); }

std::vector<Bytes> splitDongleFrames(const Bytes& stream, std::size_t* consumed) {
  std::vector<Bytes> frames;
  std::size_t pos = 0;
  while (stream.size() - pos >= 5) {
    if (stream[pos] != kMagic0 || stream[pos + 1] != kMagic1 || stream[pos + 2] != kMagic2) break;
    const std::uint8_t cls = stream[pos + 3];
    const std::uint8_t opcode = stream[pos + 4];
    std::size_t size = 0;
    if (cls == 1 && opcode == 2) size = kConfigDataSize;
    else if (cls != 1 && opcode == 0) size = kAckSize;
    else if (cls != 1 && opcode == 4) size = kDeviceDataSize;
    else break;
    if (stream.size() - pos < size) break;
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                        stream.begin() + static_cast<std::ptrdiff_t>(pos + size));
    pos += size;
  }
  if (consumed != nullptr) *consumed = pos;
  return frames;
}

std::vector<Bytes> reportsIn(const Bytes& stream) {
  std::vector<Bytes> reports;
  for (auto& f : splitDongleFrames(stream))
    if (f.size() == kDeviceDataSize) reports.push_back(std::move(f));
  return reports;
}

const std::string& RecordLine::operator[](const std::string& key) const {
  static const std::string none;
  const auto it = fields.find(key);
  return it == fields.end() ? none : it->second;
}

std::vector<RecordLine> readRecord(const std::string& path, std::vector<std::string>* comments) {
  std::vector<RecordLine> lines;
  std::ifstream in(path);
  std::string text;
  while (std::getline(in, text)) {
    if (text.starts_with("#")) {
      if (comments != nullptr) comments->push_back(text);
      continue;
    }
    RecordLine line;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
      const auto eq = word.find('=');
      if (eq != std::string::npos) line.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    const std::string& hex = line["hex"];
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      line.bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kv-dongle-sim-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

}  // namespace kv::sim::test
