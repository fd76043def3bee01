// Frames and checksum: the check value, the worked frames, sealing and
// verification, and round trips of the dongle's frames through the builders.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "link/frame.h"

namespace kv {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> v;
  for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
  return v;
}

TEST(FrameChecksum, StandardCheckValueAndEmptyInput) {
  const char* digits = "123456789";
  EXPECT_EQ(crcRegister(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x29B1);
  EXPECT_EQ(frameChecksum(reinterpret_cast<const std::uint8_t*>(digits), 9), 0xB1);
  EXPECT_EQ(frameChecksum(nullptr, 0), 0xFF);
  EXPECT_EQ(frameChecksum(nullptr, 0, 0x1234), 0x34);
}

TEST(FrameChecksum, WorkedFrames) {
  const auto zeros = bytes({0, 0, 0, 0});
  EXPECT_EQ(frameChecksum(zeros.data(), zeros.size()), 0xC0);

  std::uint8_t frame[kMaxCommandSize] = {};
  std::uint8_t length = 0;
  buildControlCommand(frame, 0, 1, &length);
  EXPECT_EQ(length, 12);
  EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + length),
            bytes({0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x96}));
  EXPECT_EQ(frameChecksum(frame + 3, 8), 0x6A);

  buildControlCommand(frame, 0, 0, &length);
  EXPECT_EQ(length, 12);
  EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + length),
            bytes({0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0xB5}));
  EXPECT_EQ(frameChecksum(frame + 3, 8), 0x4B);

  std::memset(frame, 0xEE, sizeof frame);
  buildConfigRequest(frame, &length);
  EXPECT_EQ(length, 11);
  EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + length),
            bytes({0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x80, 0x00, 0x01, 0x00, 0xF9}));
  EXPECT_EQ(frame[11], 0xEE) << "a builder touches nothing behind its frame";
  EXPECT_EQ(frameChecksum(frame + 3, 7), 0x07);

  std::uint8_t ack[kAckSize];
  EXPECT_EQ(buildDongleAck(ack), kAckSize);
  EXPECT_EQ(std::vector<std::uint8_t>(ack, ack + 8), bytes({0x4D, 0x42, 0x44, 0, 0, 0, 0, 0x40}));
}

TEST(FrameChecksum, ResidualOfIntactAndDamagedFrames) {
  auto ack = bytes({0x4D, 0x42, 0x44, 0, 0, 0, 0, 0x40});
  EXPECT_EQ(frameResidual(ack.data() + 3, 5), 0);
  ack[7] = 0x41;
  EXPECT_EQ(frameResidual(ack.data() + 3, 5), 0x01);

  // The magic is not covered: another magic leaves the seal as it is.
  std::uint8_t a[kControlCommandSize], b[kControlCommandSize];
  std::uint8_t n = 0;
  buildControlCommand(a, 0, 1, &n);
  std::memcpy(b, a, sizeof a);
  b[0] = b[1] = b[2] = 0x00;
  sealFrame(b, n);
  EXPECT_EQ(a[11], b[11]);
}

TEST(FrameBuilders, DongleFramesCarryTheirFieldsAndVerify) {
  std::uint8_t cfg[kConfigDataSize];
  EXPECT_EQ(buildDongleConfigData(cfg, {"KV-Dongle", "A1B2C3D4E5F6", 0x1, 0x07}), kConfigDataSize);
  EXPECT_EQ(frameResidual(cfg + 3, kConfigDataSize - 3), 0);
  EXPECT_EQ(cfg[3], 1);
  EXPECT_EQ(cfg[4], 2);
  EXPECT_EQ(cfg[7] * 256 + cfg[8], 28);
  char name[13], addr[13];
  copyTextField(name, cfg + off::kDongleName, kDongleNameWidth);
  copyTextField(addr, cfg + off::kDongleAddress, kAddressWidth);
  EXPECT_STREQ(name, "KV-Dongle   ");
  EXPECT_STREQ(addr, "A1B2C3D4E5F6");
  EXPECT_EQ(cfg[off::kDongleNameSep], kFieldSeparator);
  EXPECT_EQ(cfg[off::kDongleAddressSep], kFieldSeparator);

  std::uint8_t dev[kDeviceDataSize];
  DeviceReport r;
  r.kind = 2;
  r.name = "Mirabeat MBD strap";  // the magic inside a payload is plain text
  r.address = "0A1B2C3D4E5F";
  r.check = 0x80;
  r.rssi = -60;
  r.heartRate = 72;
  r.rrInterval = 0xFFFF;
  r.battery = 90;
  EXPECT_EQ(buildDeviceData(dev, r), kDeviceDataSize);
  EXPECT_EQ(frameResidual(dev + 3, kDeviceDataSize - 3), 0);
  EXPECT_EQ(dev[6], 2);
  EXPECT_EQ(dev[7] * 256 + dev[8], 45);
  EXPECT_EQ(static_cast<std::int8_t>(dev[off::kRssi]), -60);
  EXPECT_EQ(dev[off::kHeartRate], 72);
  EXPECT_EQ(dev[off::kRrInterval] * 256 + dev[off::kRrInterval + 1], 0xFFFF);
  EXPECT_EQ(dev[off::kBattery], 90);
  char devName[26];
  copyTextField(devName, dev + off::kDeviceName, kDeviceNameWidth);
  EXPECT_STREQ(devName, "Mirabeat MBD strap       ");

  // Every single-bit error in the sealed bytes shows in the residual.
  for (std::size_t i = 3; i < kDeviceDataSize; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      dev[i] ^= static_cast<std::uint8_t>(1 << bit);
      EXPECT_NE(frameResidual(dev + 3, kDeviceDataSize - 3), 0) << "byte " << i << " bit " << bit;
      dev[i] ^= static_cast<std::uint8_t>(1 << bit);
    }
  }
}

}  // namespace
}  // namespace kv
