// Writes the seed inputs of parser_fuzzer into the directory given:
//   parser_corpus DIR
// Each input is: mode byte, count of chunk sizes, the sizes, then the raw
// stream (mode bit 0 clear) or a frame program (bit 0 set); see
// parser_fuzzer.cpp.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void add(Bytes& out, const std::uint8_t* f, std::size_t n) { out.insert(out.end(), f, f + n); }

void addAck(Bytes& out) {
  std::uint8_t f[kv::kAckSize];
  add(out, f, kv::buildDongleAck(f));
}

void addConfig(Bytes& out) {
  std::uint8_t f[kv::kConfigDataSize];
  add(out, f, kv::buildDongleConfigData(f, {"Koravel-Dng1", "A1B2C3D4E5F6", 2, 7}));
}

void addDevice(Bytes& out, const char* name, const char* address, std::uint8_t hr, std::size_t keep = 55) {
  std::uint8_t f[kv::kDeviceDataSize];
  kv::DeviceReport r;
  r.name = name;
  r.address = address;
  r.heartRate = hr;
  r.rrInterval = 812;
  r.battery = 77;
  kv::buildDeviceData(f, r);
  add(out, f, keep);
}

void addText(Bytes& out, const char* text) {
  for (; *text != '\0'; ++text) out.push_back(static_cast<std::uint8_t>(*text));
}

Bytes input(std::uint8_t mode, const Bytes& splits, const Bytes& body) {
  Bytes out{mode, static_cast<std::uint8_t>(splits.size())};
  out.insert(out.end(), splits.begin(), splits.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool write(const std::string& dir, const char* name, const Bytes& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  Bytes mixed;
  addAck(mixed);
  addConfig(mixed);
  addDevice(mixed, "Mirabeat 01", "C0FFEE000001", 64);
  addText(mixed, "noise MB MxD");
  addDevice(mixed, "Strap", "C0FFEE000002", 65);
  ok &= write(dir, "raw-mixed", input(0x00, {7, 55, 0}, mixed));

  Bytes damaged;
  addDevice(damaged, "Mirabeat 01", "C0FFEE000001", 64, 30);  // cut short
  addAck(damaged);
  addDevice(damaged, "Mirabeat 02", "C0FFEE000003", 66);
  damaged.insert(damaged.end(), {0x4D, 0x42, 0x44, 0x00, 0x01, 0x00, 0x00, 0x00});  // no handler
  damaged.insert(damaged.end(), {0x4D, 0x42, 0x44, 0x00, 0x04, 0x00, 0x09});        // wrong kind
  addDevice(damaged, "Mirabeat 01", "C0FFEE000001", 67);
  ok &= write(dir, "raw-damaged", input(0x00, {1}, damaged));

  // Start pressed (nothing pending), then acks with a swallow pending.
  Bytes acks;
  for (int i = 0; i < 3; ++i) addAck(acks);
  addDevice(acks, "Strap", "C0FFEE000004", 70);
  ok &= write(dir, "raw-acks-swallow", input(0x00 | (1 << 1) | (1 << 2), {9, 3}, acks));

  Bytes busy;
  for (int i = 0; busy.size() < 6000; ++i) {
    char address[13];
    std::snprintf(address, sizeof address, "C0FFEE%06d", i % 45);
    addDevice(busy, "Mirabeat busy", address, static_cast<std::uint8_t>(i));
    if (i % 10 == 0) addAck(busy);
  }
  ok &= write(dir, "raw-busy-4096", input(0x00, {0, 200}, busy));

  // Frame mode: one of each step (payload bytes as they come).
  Bytes program;
  program.push_back(0);  // ack
  program.push_back(1);  // config, 28 payload bytes
  addText(program, "Koravel-Dng1\x1f" "A1B2C3D4E5F6\x1f\x02\x07");
  program.push_back(2);  // device: kind, 45 payload bytes
  program.push_back(1);
  addText(program, "Mirabeat fuzz seed       \x1f" "C0FFEE000009\x1f\x80\xc0\x48\x03\x2c\x55");
  program.insert(program.end(), {3, 5, 'n', 'o', 'i', 's', 'e'});
  program.push_back(5);  // an ack with a broken seal
  program.push_back(0x40);
  program.insert(program.end(), {6, 0x00, 0x01});  // class 0 opcode 1
  program.push_back(7 | 0x08);                     // MBMD and an ack
  program.push_back(0x80);                         // an ack with code bytes 01 02
  program.insert(program.end(), {0x01, 0x02});
  program.insert(program.end(), {4 | 0x10, 2});  // a device report of kind 3 cut to 30 bytes
  program.insert(program.end(), 45, 'x');
  program.push_back(30);
  ok &= write(dir, "frames-each-step", input(0x01, {3, 11}, program));

  if (!ok) {
    std::fprintf(stderr, "could not write the corpus into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
