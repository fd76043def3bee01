// Dongle frames: layout, checksum, sealing, and builders for every message
// that crosses the serial line.
//
// A long frame is: magic "MBD", class, opcode, 16-bit code, 16-bit length
// (big-endian), payload, one checksum byte. The dongle ack is the short
// form: magic, class, opcode, code, checksum (8 bytes). The checksum covers
// everything between the magic and the checksum byte itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

inline constexpr std::uint8_t kMagic0 = 0x4D;  // 'M'
inline constexpr std::uint8_t kMagic1 = 0x42;  // 'B'
inline constexpr std::uint8_t kMagic2 = 0x44;  // 'D'
inline constexpr std::uint8_t kFieldSeparator = 0x1F;
inline constexpr std::uint8_t kReadingApplied = 0x80;  // check byte of a reading the console shows

// Sizes of the frames on the wire.
inline constexpr std::size_t kAckSize = 8;
inline constexpr std::size_t kConfigDataSize = 38;
inline constexpr std::size_t kDeviceDataSize = 55;
inline constexpr std::size_t kControlCommandSize = 12;
inline constexpr std::size_t kConfigRequestSize = 11;
inline constexpr std::size_t kMaxCommandSize = 12;

// Field widths of the text fields, without a terminator.
inline constexpr std::size_t kDongleNameWidth = 12;
inline constexpr std::size_t kDeviceNameWidth = 25;
inline constexpr std::size_t kAddressWidth = 12;

// Offsets inside the dongle's frames.
namespace off {
inline constexpr std::size_t kClass = 3;
inline constexpr std::size_t kOpcode = 4;
inline constexpr std::size_t kCodeHigh = 5;
inline constexpr std::size_t kCodeLow = 6;  // device kind in device data
inline constexpr std::size_t kLengthHigh = 7;
inline constexpr std::size_t kPayload = 9;
// dongle config data
inline constexpr std::size_t kDongleName = 9;
inline constexpr std::size_t kDongleNameSep = 21;
inline constexpr std::size_t kDongleAddress = 22;
inline constexpr std::size_t kDongleAddressSep = 34;
inline constexpr std::size_t kVersionMajor = 35;
inline constexpr std::size_t kVersionMinor = 36;
// register device data
inline constexpr std::size_t kDeviceName = 9;
inline constexpr std::size_t kDeviceNameSep = 34;
inline constexpr std::size_t kDeviceAddress = 35;
inline constexpr std::size_t kDeviceAddressSep = 47;
inline constexpr std::size_t kCheck = 48;
inline constexpr std::size_t kRssi = 49;
inline constexpr std::size_t kHeartRate = 50;
inline constexpr std::size_t kRrInterval = 51;
inline constexpr std::size_t kBattery = 53;
}  // namespace off

// The whole CRC-16/CCITT-FALSE register after `count` bytes from `start`.
std::uint16_t crcRegister(const std::uint8_t* data, std::size_t count, std::uint16_t start = 0xFFFF);

// Low byte of CRC-16/CCITT-FALSE (poly 0x1021, no reflection, no final
// XOR), computed bytewise from `start` (0xFFFF unless told otherwise).
std::uint8_t frameChecksum(const std::uint8_t* data, std::size_t count, std::uint16_t start = 0xFFFF);

// Writes the seal of an n-byte frame into byte n-1: the two's-complement
// negation of frameChecksum over bytes 3 to n-2. n must be at least 4.
void sealFrame(std::uint8_t* frame, std::size_t n);

// Verification of a received frame. `fromClass` points at byte 3, `count`
// is n-3 (class through checksum). Returns frameChecksum of all but the
// last byte plus the last byte, modulo 256: 0 for an intact frame.
std::uint8_t frameResidual(const std::uint8_t* fromClass, std::size_t count);

// Frames the console sends. Each writes every byte, magic included, into the
// start of `frame` and stores the frame's length through `lengthOut`.
// buildControlCommand: mode 0 = soft reset, mode 1 = start ADV; arg is 0.
void buildControlCommand(std::uint8_t* frame, std::uint8_t arg, std::uint8_t mode, std::uint8_t* lengthOut);
void buildConfigRequest(std::uint8_t* frame, std::uint8_t* lengthOut);

// Frames the dongle sends (for the simulated dongle and the tests). Text
// fields are copied as given up to their width and padded with `pad`.
// Return the frame size.
std::size_t buildDongleAck(std::uint8_t* frame);

struct DongleConfig {
  const char* name = "";     // up to 12 characters
  const char* address = "";  // 12 characters
  std::uint8_t versionMajor = 0;
  std::uint8_t versionMinor = 0;
};
std::size_t buildDongleConfigData(std::uint8_t* frame, const DongleConfig& config, char pad = ' ');

struct DeviceReport {
  std::uint8_t kind = 1;     // 1, 2 or 3
  const char* name = "";     // up to 25 characters
  const char* address = "";  // 12 characters
  std::uint8_t check = kReadingApplied;
  std::int8_t rssi = 0;
  std::uint8_t heartRate = 0;
  std::uint16_t rrInterval = 0;
  std::uint8_t battery = 0;
};
std::size_t buildDeviceData(std::uint8_t* frame, const DeviceReport& report, char pad = ' ');

}  // namespace kv
