#include "link/frame.h"

#include <cstring>

namespace kv {

std::uint16_t crcRegister(const std::uint8_t* data, std::size_t count, std::uint16_t start) {
  std::uint16_t r = start;
  for (std::size_t i = 0; i < count; ++i) {
    r = static_cast<std::uint16_t>((r >> 8) | (r << 8));
    r ^= data[i];
    r ^= static_cast<std::uint16_t>((r & 0xFF) >> 4);
    r ^= static_cast<std::uint16_t>(r << 12);
    r ^= static_cast<std::uint16_t>((r & 0xFF) << 5);
  }
  return r;
}

std::uint8_t frameChecksum(const std::uint8_t* data, std::size_t count, std::uint16_t start) {
  return static_cast<std::uint8_t>(crcRegister(data, count, start) & 0xFF);
}

void sealFrame(std::uint8_t* frame, std::size_t n) {
  const std::uint8_t value = frameChecksum(frame + 3, n - 4);
  frame[n - 1] = static_cast<std::uint8_t>((0x100 - value) & 0xFF);
}

std::uint8_t frameResidual(const std::uint8_t* fromClass, std::size_t count) {
  if (count == 0) return 0;
  return static_cast<std::uint8_t>(frameChecksum(fromClass, count - 1) + fromClass[count - 1]);
}

namespace {

void putHeader(std::uint8_t* frame, std::uint8_t cls, std::uint8_t opcode, std::uint8_t codeHigh,
               std::uint8_t codeLow) {
  frame[0] = kMagic0;
  frame[1] = kMagic1;
  frame[2] = kMagic2;
  frame[3] = cls;
  frame[4] = opcode;
  frame[5] = codeHigh;
  frame[6] = codeLow;
}

void putLength(std::uint8_t* frame, std::uint16_t length) {
  frame[7] = static_cast<std::uint8_t>(length >> 8);
  frame[8] = static_cast<std::uint8_t>(length & 0xFF);
}

void putText(std::uint8_t* field, std::size_t width, const char* text, char pad) {
  std::size_t i = 0;
  for (; text != nullptr && i < width && text[i] != '\0'; ++i) field[i] = static_cast<std::uint8_t>(text[i]);
  for (; i < width; ++i) field[i] = static_cast<std::uint8_t>(pad);
}

}  // namespace

void buildControlCommand(std::uint8_t* frame, std::uint8_t arg, std::uint8_t mode, std::uint8_t* lengthOut) {
  putHeader(frame, 0x01, 0x04, 0x00, 0x00);
  putLength(frame, 2);
  frame[9] = arg;
  frame[10] = mode;
  sealFrame(frame, kControlCommandSize);
  *lengthOut = static_cast<std::uint8_t>(kControlCommandSize);
}

void buildConfigRequest(std::uint8_t* frame, std::uint8_t* lengthOut) {
  putHeader(frame, 0x01, 0x04, 0x00, 0x80);
  putLength(frame, 1);
  frame[9] = 0x00;
  sealFrame(frame, kConfigRequestSize);
  *lengthOut = static_cast<std::uint8_t>(kConfigRequestSize);
}

std::size_t buildDongleAck(std::uint8_t* frame) {
  putHeader(frame, 0x00, 0x00, 0x00, 0x00);
  sealFrame(frame, kAckSize);
  return kAckSize;
}

std::size_t buildDongleConfigData(std::uint8_t* frame, const DongleConfig& config, char pad) {
  putHeader(frame, 0x01, 0x02, 0x00, 0x00);
  putLength(frame, kConfigDataSize - 10);
  putText(frame + off::kDongleName, kDongleNameWidth, config.name, pad);
  frame[off::kDongleNameSep] = kFieldSeparator;
  putText(frame + off::kDongleAddress, kAddressWidth, config.address, pad);
  frame[off::kDongleAddressSep] = kFieldSeparator;
  frame[off::kVersionMajor] = config.versionMajor;
  frame[off::kVersionMinor] = config.versionMinor;
  sealFrame(frame, kConfigDataSize);
  return kConfigDataSize;
}

std::size_t buildDeviceData(std::uint8_t* frame, const DeviceReport& report, char pad) {
  putHeader(frame, 0x00, 0x04, 0x00, report.kind);
  putLength(frame, kDeviceDataSize - 10);
  putText(frame + off::kDeviceName, kDeviceNameWidth, report.name, pad);
  frame[off::kDeviceNameSep] = kFieldSeparator;
  putText(frame + off::kDeviceAddress, kAddressWidth, report.address, pad);
  frame[off::kDeviceAddressSep] = kFieldSeparator;
  frame[off::kCheck] = report.check;
  frame[off::kRssi] = static_cast<std::uint8_t>(report.rssi);
  frame[off::kHeartRate] = report.heartRate;
  frame[off::kRrInterval] = static_cast<std::uint8_t>(report.rrInterval >> 8);
  frame[off::kRrInterval + 1] = static_cast<std::uint8_t>(report.rrInterval & 0xFF);
  frame[off::kBattery] = report.battery;
  sealFrame(frame, kDeviceDataSize);
  return kDeviceDataSize;
}

}  // namespace kv
