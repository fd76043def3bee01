#include "link/parser.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "base/view.h"
#include "link/device_registry.h"
#include "link/link_words.h"

namespace kv {

namespace {

enum class FrameType : std::uint8_t { None, Ack, Config, Device };

// What became of the frame being assembled, once its next decision is taken.
enum class Verdict : std::uint8_t {
  More,      // keep storing up to the next decision
  Consumed,  // handled; the matcher looks for the next magic
  GiveUp,    // not a frame we act on: search the bytes behind its class byte again
  Flush,     // a swallowed ack: drop everything held and the rest of the chunk
};

// Class 1 selects the class-1 rows; any other class value is class 0.
FrameType frameType(std::uint8_t cls, std::uint8_t opcode) {
  if (cls == 1) return opcode == 2 ? FrameType::Config : FrameType::None;
  if (opcode == 0) return FrameType::Ack;
  if (opcode == 4) return FrameType::Device;
  return FrameType::None;
}

std::uint32_t frameSize(FrameType type) {
  switch (type) {
    case FrameType::Ack:
      return kAckSize;
    case FrameType::Config:
      return kConfigDataSize;
    case FrameType::Device:
      return kDeviceDataSize;
    case FrameType::None:
      break;
  }
  return 0;
}

bool codeBytesValid(FrameType type, std::uint8_t high, std::uint8_t low) {
  if (high != 0) return false;
  if (type == FrameType::Device) return low >= 1 && low <= 3;
  return low == 0;
}

void resetMatcher(ReceiveParser& p) {
  p.header = kHeaderIdle;
  p.count = 3;
  p.need = 0;
}

// The frame held is done with: its bytes are accounted for and the matcher
// looks for the next magic.
Verdict finishFrame(ReceiveParser& p) {
  p.counters.bytesFramed += p.count;
  resetMatcher(p);
  return Verdict::Consumed;
}

// The frame held has its full size but is damaged: its bytes are searched
// again for a frame whose start it swallowed, but nothing that lies wholly
// inside them is acted on.
Verdict damaged(ReceiveParser& p) {
  p.damagedUntil = p.streamAt;
  return Verdict::GiveUp;
}

struct BatchCall {
  const ParserContext* ctx;
  ReadingBatch* batch;
};

void showBatchOnUi(void* arg) {
  auto* call = static_cast<BatchCall*>(arg);
  const ParserContext& ctx = *call->ctx;
  for (int i = 0; i < call->batch->count; ++i) {
    const PendingReading& r = call->batch->items[i];
    ctx.roster->applyReading(r.slot, r.address, r.heartRate, r.rrInterval, r.battery);
    if (r.hoverText) ctx.roster->showHoverText(r.slot);
    appendReadingLogUnlessPaused(*ctx.view, *ctx.words, r.trustLine);
  }
}

void showBatch(const ParserContext& ctx, ReadingBatch& batch) {
  if (batch.count == 0) return;
  BatchCall call{&ctx, &batch};
  ctx.view->runOnUiThread(&showBatchOnUi, &call);
  batch.count = 0;
}

// What the feed holds back goes out before anything else it shows.
void showHeldReadings(const ParserContext& ctx) {
  if (ctx.readings != nullptr) showBatch(ctx, *ctx.readings);
}

Verdict badSeal(ReceiveParser& p, const ParserContext& ctx, const char* format, std::uint8_t residual) {
  View& view = *ctx.view;
  showHeldReadings(ctx);
  std::snprintf(p.debugStr, sizeof p.debugStr, format, residual);
  appendLog(view, p.debugStr);
  ++p.counters.badSeals;
  if (ctx.sink != nullptr && ctx.sink->badSeal != nullptr) ctx.sink->badSeal(ctx.sink->arg);
  return damaged(p);
}

Verdict handleAck(ReceiveParser& p, const ParserContext& ctx) {
  const std::uint8_t residual = frameResidual(p.frame + 3, kAckSize - 3);
  if (residual != 0) return badSeal(p, ctx, "\r\n>> MBD ack cmd bad chksum %x !!\r\n", residual);
  // A sealed short frame with a code is nothing we know; its bytes may
  // still hold the start of a frame that is.
  if (p.frame[off::kCodeHigh] != 0 || p.frame[off::kCodeLow] != 0) {
    ++p.counters.rejected;
    return Verdict::GiveUp;
  }

  View& view = *ctx.view;
  LinkWords& words = *ctx.words;
  showHeldReadings(ctx);
  appendLog(view, "\r\n>> got dongle ack\r\n");
  ++p.counters.acks;

  // The ack of an operator's Start or Stop flips the scan.
  std::uint8_t awaited = 0;
  if (words.pendingCommand.compare_exchange_strong(awaited, 1)) {
    const int nowScanning = words.scanning.load() == 0 ? 1 : 0;
    words.scanning.store(nowScanning);
    const char* label = "Stop !!!";
    if (nowScanning != 1) {
      label = "Start ...";
      ctx.roster->resetRoster();
    }
    view.setStartLabel(label);
    view.repaintTiles();
    view.postStatusCheck();  // "scanning" comes or goes with the label
  }

  finishFrame(p);
  // The first good ack after a soft reset empties the parser.
  int swallow = 1;
  if (words.swallowNextAck.compare_exchange_strong(swallow, 0)) {
    ++p.counters.flushes;
    return Verdict::Flush;
  }
  return Verdict::Consumed;
}

Verdict handleConfig(ReceiveParser& p, const ParserContext& ctx) {
  const std::uint8_t residual = frameResidual(p.frame + 3, kConfigDataSize - 3);
  if (residual != 0) return badSeal(p, ctx, "\r\n>> MBD config cmd bad chksum %x !!\r\n", residual);
  ++p.counters.configs;

  copyTextField(p.dev_name, p.frame + off::kDongleName, kDongleNameWidth);
  copyTextField(p.dev_addr, p.frame + off::kDongleAddress, kAddressWidth);
  // A sealed frame without its separators is one that the 8-bit seal let
  // through damaged (a byte left out shifts them): used for nothing, said
  // nowhere, and searched again like any damaged frame.
  if (p.frame[off::kDongleNameSep] != kFieldSeparator || p.frame[off::kDongleAddressSep] != kFieldSeparator) {
    ++p.counters.noSeparator;
    return damaged(p);
  }
  showHeldReadings(ctx);
  appendLog(*ctx.view, "\r\n>> got dongle config data\r\n");
  // The name up to its terminator, decoded; the address always as its 12
  // characters; neither may break or rewrite the line.
  char name[decodedTextSize(kDongleNameWidth)];
  decodeText(name, sizeof name, p.dev_name, kDongleNameWidth);
  char str_addr[kColonAddressLength + 1];
  formatColonAddress(p.dev_addr, kAddressWidth, str_addr);
  p.dev_ver[0] = p.frame[off::kVersionMajor];
  p.dev_ver[1] = p.frame[off::kVersionMinor];
  std::snprintf(p.debugStr, sizeof p.debugStr, "%s @%s  Ver. %x.%02x", name, str_addr,
                static_cast<unsigned>(p.dev_ver[0]), static_cast<unsigned>(p.dev_ver[1]));
  ctx.view->setDongleLine(p.debugStr);
  if (ctx.sink != nullptr && ctx.sink->dongle != nullptr) ctx.sink->dongle(ctx.sink->arg, p.debugStr);
  return finishFrame(p);
}

// Writes "\r\ntrust, <heart rate>, <battery>\r\n" (both 0 to 255) into
// `out`; the same text as the printf form, without printf on the path
// that every reading takes.
void formatTrustLine(char* out, int heartRate, int battery) {
  static_assert(sizeof PendingReading{}.trustLine >= sizeof "\r\ntrust, 255, 255\r\n");
  auto putDecimal = [](char* at, int value) {
    char digits[3];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0);
    while (n > 0) *at++ = digits[--n];
    return at;
  };
  std::memcpy(out, "\r\ntrust, ", 9);
  char* at = putDecimal(out + 9, heartRate);
  *at++ = ',';
  *at++ = ' ';
  at = putDecimal(at, battery);
  std::memcpy(at, "\r\n", 3);
}

Verdict handleDevice(ReceiveParser& p, const ParserContext& ctx) {
  View& view = *ctx.view;
  const std::uint8_t residual = frameResidual(p.frame + 3, kDeviceDataSize - 3);
  if (residual != 0) {
    // The whole frame, magic included, as 110 hex digits, then the line.
    formatHex(p.frame, kDeviceDataSize, p.hexDump, false);
    showHeldReadings(ctx);
    appendLog(view, p.hexDump);
    return badSeal(p, ctx, "\r\n>> MBD reg cmd bad chksum %x !!\r\n", residual);
  }
  ++p.counters.reports;

  copyTextField(p.dev_name, p.frame + off::kDeviceName, kDeviceNameWidth);
  copyTextField(p.dev_addr, p.frame + off::kDeviceAddress, kAddressWidth);
  if (p.frame[off::kDeviceNameSep] != kFieldSeparator || p.frame[off::kDeviceAddressSep] != kFieldSeparator) {
    ++p.counters.noSeparator;
    return damaged(p);
  }
  // The frame's reading, decoded once for whoever takes it.
  const DeviceReport report{
      .kind = p.frame[off::kCodeLow],
      .name = p.dev_name,
      .address = p.dev_addr,
      .check = p.frame[off::kCheck],
      .rssi = static_cast<std::int8_t>(p.frame[off::kRssi]),
      .heartRate = p.frame[off::kHeartRate],
      .rrInterval = static_cast<std::uint16_t>((p.frame[off::kRrInterval] << 8) | p.frame[off::kRrInterval + 1]),
      .battery = p.frame[off::kBattery]};
  if (ctx.sink != nullptr && ctx.sink->report != nullptr) ctx.sink->report(ctx.sink->arg, report);
  const int slot = ctx.roster->registerDevice(p.dev_name, p.dev_addr);
  if (slot < 0) return finishFrame(p);

  if (report.check == kReadingApplied) {
    // A feed that holds its readings back gives the hover text with them;
    // otherwise it is asked for here, as a posted request.
    if (ctx.readings == nullptr) view.postTooltipRequest(slot);
    ++p.counters.readingsApplied;
    // Held back with the feed's others (or shown at once without a batch).
    ReadingBatch single;
    ReadingBatch& batch = ctx.readings != nullptr ? *ctx.readings : single;
    if (batch.count == ReadingBatch::kCapacity) showBatch(ctx, batch);
    PendingReading& r = batch.items[batch.count++];
    r.slot = slot;
    std::memcpy(r.address, p.dev_addr, sizeof r.address);
    r.heartRate = report.heartRate;
    r.rrInterval = report.rrInterval;
    r.battery = report.battery;
    r.hoverText = ctx.readings != nullptr;
    formatTrustLine(r.trustLine, report.heartRate, report.battery);
    if (&batch == &single) showBatch(ctx, single);
  }
  return finishFrame(p);
}

// Called when `count` has reached `need`: decides what the held bytes are.
Verdict decide(ReceiveParser& p, const ParserContext& ctx) {
  const FrameType type = frameType(p.frame[off::kClass], p.frame[off::kOpcode]);
  if (p.count == off::kOpcode + 1) {
    if (type == FrameType::None) {
      ++p.counters.rejected;
      return Verdict::GiveUp;
    }
    // An ack's code bytes are looked at only once its seal has been.
    p.need = type == FrameType::Ack ? kAckSize : off::kCodeLow + 1;
    return Verdict::More;
  }
  if (p.count == off::kCodeLow + 1 && type != FrameType::Ack) {
    if (!codeBytesValid(type, p.frame[off::kCodeHigh], p.frame[off::kCodeLow])) {
      ++p.counters.rejected;
      return Verdict::GiveUp;
    }
    p.need = frameSize(type);
    return Verdict::More;
  }
  // A whole frame among the bytes of a damaged one is part of that frame's
  // payload (a name, say), not something the dongle sent.
  if (p.streamAt <= p.damagedUntil) {
    ++p.counters.insideDamaged;
    return Verdict::GiveUp;
  }
  switch (type) {
    case FrameType::Ack:
      return handleAck(p, ctx);
    case FrameType::Config:
      return handleConfig(p, ctx);
    case FrameType::Device:
      return handleDevice(p, ctx);
    case FrameType::None:
      break;
  }
  return Verdict::GiveUp;  // not reached: a type was decided at byte 4
}

// Runs bytes through the header matcher and into the accumulator until they
// are used up or a frame has been given up or flushed, which changes where
// the next bytes come from. Returns the number of bytes used.
std::size_t scan(ReceiveParser& p, const ParserContext& ctx, const std::uint8_t* b, std::size_t len,
                 std::uint64_t streamBase, Verdict& verdict) {
  verdict = Verdict::More;
  std::size_t i = 0;
  while (i < len) {
    if (p.header == kHeaderIdle) {
      // Only an M can start a magic; everything before it is skipped.
      const void* m = std::memchr(b + i, kMagic0, len - i);
      if (m == nullptr) {
        p.counters.bytesDropped += len - i;
        return len;
      }
      const std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(m) - b);
      p.counters.bytesDropped += at - i;
      p.header = kHeaderM;
      i = at + 1;
      continue;
    }
    if (p.count == 3) {
      // Completing the magic, or right behind it: M, B and D are taken here
      // and never stored; they advance the match only in order.
      const std::uint8_t c = b[i++];
      if (c == kMagic1 && p.header == kHeaderM) {
        p.header = kHeaderMB;
      } else if (c == kMagic2 && p.header == kHeaderMB) {
        p.header = kHeaderInFrame;
      } else if (c == kMagic0 || c == kMagic1 || c == kMagic2) {
        ++p.counters.bytesDropped;  // out of order: skipped, the match stands
      } else if (p.header != kHeaderInFrame) {
        p.counters.bytesDropped += p.header + 2u;  // the partial magic and this byte
        resetMatcher(p);
      } else {
        p.frame[off::kClass] = c;
        p.count = off::kClass + 1;
        p.need = off::kOpcode + 1;
      }
      continue;
    }
    // In a frame: every byte is stored, up to the next decision.
    std::size_t take = p.need - p.count;
    if (take > len - i) take = len - i;
    std::memcpy(p.frame + p.count, b + i, take);
    p.count += static_cast<std::uint32_t>(take);
    i += take;
    if (p.count < p.need) break;
    p.streamAt = streamBase + i;
    verdict = decide(p, ctx);
    if (verdict == Verdict::GiveUp || verdict == Verdict::Flush) return i;
    verdict = Verdict::More;
  }
  return i;
}

// Gives up the frame held: its magic and class byte are dropped and the
// bytes behind the class byte go back in front of whatever is still to be
// searched again. Searching from there, not from one byte past the first
// M, cannot meet the same frame again: every byte between that M and the
// class byte is an M, B or D, so any magic found among them would lead to
// the same class byte.
void giveBack(ReceiveParser& p) {
  const std::uint32_t back = p.count - (off::kClass + 1);
  const std::uint32_t rest = p.rescanLen - p.rescanPos;
  // What is held and still to be searched is always part of one earlier
  // frame's bytes behind its class byte, so it fits. Were it ever not to,
  // all of it is dropped (and counted) rather than written past the buffer.
  if (back + rest > sizeof p.rescan) {
    p.counters.bytesDropped += 4 + back + rest;
    ++p.counters.rescanOverflows;
    p.rescanPos = p.rescanLen = 0;
    resetMatcher(p);
    return;
  }
  std::memmove(p.rescan + back, p.rescan + p.rescanPos, rest);
  std::memcpy(p.rescan, p.frame + off::kClass + 1, back);
  p.rescanPos = 0;
  p.rescanLen = back + rest;
  p.counters.bytesDropped += 4;  // magic and class byte
  resetMatcher(p);
}

}  // namespace

void parserInit(ReceiveParser& parser) { parser = ReceiveParser{}; }

void parserFeed(ReceiveParser& p, const ParserContext& ctx, const std::uint8_t* data, std::size_t n) {
  // Stream positions: data[i] is byte base + i of everything fed; the bytes
  // to be searched again are always the ones right before data[pos].
  const std::uint64_t base = p.counters.bytesIn;
  p.counters.bytesIn += n;
  std::size_t pos = 0;
  for (;;) {
    Verdict verdict = Verdict::More;
    if (p.rescanPos < p.rescanLen) {
      const std::uint64_t at = base + pos - (p.rescanLen - p.rescanPos);
      p.rescanPos += static_cast<std::uint32_t>(
          scan(p, ctx, p.rescan + p.rescanPos, p.rescanLen - p.rescanPos, at, verdict));
    } else if (pos < n) {
      p.rescanPos = p.rescanLen = 0;
      pos += scan(p, ctx, data + pos, n - pos, base + pos, verdict);
    } else {
      break;
    }
    if (verdict == Verdict::GiveUp) {
      giveBack(p);
    } else if (verdict == Verdict::Flush) {
      p.counters.bytesDropped += (n - pos) + (p.rescanLen - p.rescanPos);
      pos = n;
      p.rescanPos = p.rescanLen = 0;
    }
  }
  p.rescanPos = p.rescanLen = 0;
  showHeldReadings(ctx);
}

std::uint32_t parserHeldBytes(const ReceiveParser& parser) {
  if (parser.header == kHeaderIdle) return 0;
  if (parser.header == kHeaderInFrame) return parser.count;
  return parser.header + 1u;  // M, or M and B
}

}  // namespace kv
