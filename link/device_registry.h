// What the receive parser needs of the roster above it: a slot for each
// reported device, the readings applied to their tiles, the hover texts,
// and the reset when the scan stops. The roster implements it; the link
// knows nothing more of the roster than this.
#pragma once

namespace kv {

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;

  // Reader thread: the slot now holding the device with this name and
  // address (NUL-terminated, as the frame carried them), or -1 when it gets
  // none (refused, or no slot free). The device counts as heard now.
  virtual int registerDevice(const char* name, const char* address) = 0;
  // UI thread: applies a reading to the slot that registerDevice gave for
  // `address`; false, changing nothing, when the slot no longer holds that
  // device.
  virtual bool applyReading(int slot, const char* address, int heartRate, int rrInterval, int battery) = 0;
  // UI thread: gives tile `slot` its address hover text.
  virtual void showHoverText(int slot) = 0;
  // Any thread: empties the roster and its tiles (the scan has stopped).
  virtual void resetRoster() = 0;
};

}  // namespace kv
