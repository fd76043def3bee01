// libFuzzer target for the receive parser.
//
// Input: byte 0 holds the mode (bit 0), the link words to start with
// (bits 1 to 4) and whether readings are held back for one call a feed, as
// the reader does (bit 5); byte 1 says how many chunk-size bytes follow (0 to 15); the
// stream is fed in chunks of those sizes, in turn (a size byte of 0 stands
// for 4096). The rest is the stream itself (raw mode) or a program that
// builds the stream out of sealed frames whose payloads come from the input
// (frame mode, see buildFrames), so that the fuzzer gets past the seal.
//
// Checked on every input, besides what the sanitizers catch:
// - every byte fed is framed, dropped or still held, and no more than one
//   frame is ever held;
// - the stream fed in one piece has exactly the same effects as in chunks,
//   unless a swallowed ack threw away the rest of a chunk;
// - whatever came before, a run of zeros and an ack bring the ack through.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console/null_view.h"
#include "link/frame.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"

namespace kv::fuzz {
namespace {

// A do-nothing view that folds what it is asked to show into one number.
class DigestView : public NullView {
 public:
  std::uint64_t digest = 1469598103934665603ull;

  void appendLog(const char* text) override { mix('L', text); }
  void setDongleLine(const char* text) override { mix('D', text); }
  void setStartLabel(const char* text) override { mix('S', text); }
  void setTileText(int slot, const char* text) override {
    mixByte(static_cast<std::uint8_t>(slot));
    mix('T', text);
  }
  void postTooltipRequest(int slot) override { mixByte(static_cast<std::uint8_t>(0x80 + slot)); }
  void setTileTooltip(int slot, const char* text) override {
    mixByte(static_cast<std::uint8_t>(0xC0 + slot));
    mix('H', text);
  }
  void repaintTiles() override { mixByte('R'); }

 private:
  void mixByte(std::uint8_t b) { digest = (digest ^ b) * 1099511628211ull; }
  void mix(char tag, const char* text) {
    mixByte(static_cast<std::uint8_t>(tag));
    for (; *text != '\0'; ++text) mixByte(static_cast<std::uint8_t>(*text));
  }
};

#define KV_CHECK(cond)                                            \
  do {                                                            \
    if (!(cond)) {                                                \
      std::fprintf(stderr, "parser_fuzzer: check failed: %s\n", #cond); \
      std::abort();                                               \
    }                                                             \
  } while (0)

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool empty() const { return pos >= size; }
  std::uint8_t next() { return pos < size ? data[pos++] : 0; }
  void fill(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = next();
  }
};

enum FrameKind { kAck, kConfig, kDevice };

// A sealed frame of `kind` whose payload comes from the input. Frames keep
// their separators unless bit 6 of `variant` is set; reports carry check
// byte 0x80 unless bit 5 is set; an ack takes its code bytes from the input
// when bit 7 is set.
std::size_t sealedFrame(Input& in, FrameKind kind, std::uint8_t variant, std::uint8_t* f) {
  const bool separators = (variant & 0x40) == 0;
  switch (kind) {
    case kConfig:
      buildDongleConfigData(f, DongleConfig{});
      in.fill(f + off::kPayload, kConfigDataSize - off::kPayload - 1);
      if (separators) f[off::kDongleNameSep] = f[off::kDongleAddressSep] = kFieldSeparator;
      sealFrame(f, kConfigDataSize);
      return kConfigDataSize;
    case kDevice:
      buildDeviceData(f, DeviceReport{});
      f[off::kCodeLow] = static_cast<std::uint8_t>(1 + in.next() % 3);
      in.fill(f + off::kPayload, kDeviceDataSize - off::kPayload - 1);
      if (separators) f[off::kDeviceNameSep] = f[off::kDeviceAddressSep] = kFieldSeparator;
      if ((variant & 0x20) == 0) f[off::kCheck] = kReadingApplied;
      sealFrame(f, kDeviceDataSize);
      return kDeviceDataSize;
    case kAck:
      break;
  }
  buildDongleAck(f);
  if ((variant & 0x80) != 0) {
    f[off::kCodeHigh] = in.next();
    f[off::kCodeLow] = in.next();
    sealFrame(f, kAckSize);
  }
  return kAckSize;
}

FrameKind kindOf(std::uint8_t op) { return static_cast<FrameKind>(((op >> 3) & 3) % 3); }

// The program: one step per op byte, the low 3 bits picking the step:
//   0, 1, 2  an ack, a dongle config frame, a device report
//   3        raw bytes, as many as the next byte says (mod 64)
//   4        a frame cut short (kind from bits 3 and 4, length from the input)
//   5        a frame with its seal broken
//   6        a header with class and opcode from the input
//   7        an ack behind a magic with out-of-order or repeated bytes
std::vector<std::uint8_t> buildFrames(Input& in) {
  static const char* const kStarts[] = {"MMBD", "MBMD", "MDBD", "MBDMBD"};
  std::vector<std::uint8_t> stream;
  std::uint8_t f[64];  // a raw run or one frame
  static_assert(sizeof f >= kMaxReceivedFrame);
  while (!in.empty()) {
    const std::uint8_t op = in.next();
    std::size_t n = 0;
    switch (op & 7) {
      case 3:
        n = in.next() % 64;
        in.fill(f, n);
        break;
      case 4:
        n = sealedFrame(in, kindOf(op), op, f);
        n = in.next() % n;
        break;
      case 5:
        n = sealedFrame(in, kindOf(op), op, f);
        f[n - 1] = static_cast<std::uint8_t>(f[n - 1] ^ (in.next() | 1));
        break;
      case 6:
        n = sealedFrame(in, kAck, 0, f);
        f[off::kClass] = in.next();
        f[off::kOpcode] = in.next();
        break;
      case 7: {
        const char* start = kStarts[(op >> 3) & 3];
        stream.insert(stream.end(), start, start + std::strlen(start));
        n = sealedFrame(in, kAck, 0, f);
        stream.insert(stream.end(), f + 3, f + n);
        n = 0;
        break;
      }
      default:
        n = sealedFrame(in, static_cast<FrameKind>(op & 7), op, f);
        break;
    }
    stream.insert(stream.end(), f, f + n);
  }
  return stream;
}

struct Run {
  DigestView view;
  TileBrushCache brushes;
  Roster roster{view, brushes};
  LinkWords words;
  ReceiveParser parser;
  ReadingBatch readings;
  ParserContext context{&view, &words, &roster};

  explicit Run(std::uint8_t flags) {
    parserInit(parser);
    if ((flags & 16) != 0) context.readings = &readings;
    words.pendingCommand = (flags & 1) != 0 ? 0 : kNothingPending;
    words.swallowNextAck = (flags >> 1) & 1;
    words.logPaused = (flags >> 2) & 1;
    words.scanning = (flags >> 3) & 1;
  }

  void feed(const std::uint8_t* data, std::size_t n) {
    parserFeed(parser, context, data, n);
    const ReceiveCounters& c = parser.counters;
    const std::uint32_t held = parserHeldBytes(parser);
    KV_CHECK(held <= kMaxReceivedFrame);
    KV_CHECK(c.bytesIn == c.bytesFramed + c.bytesDropped + held);
    KV_CHECK(readings.count == 0);
  }
};

bool sameCounters(const ReceiveCounters& a, const ReceiveCounters& b) {
  return a.bytesIn == b.bytesIn && a.bytesFramed == b.bytesFramed && a.bytesDropped == b.bytesDropped &&
         a.acks == b.acks && a.configs == b.configs && a.reports == b.reports &&
         a.readingsApplied == b.readingsApplied && a.badSeals == b.badSeals && a.rejected == b.rejected;
}

}  // namespace
}  // namespace kv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kv;
  using namespace kv::fuzz;
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  std::size_t splitCount = data[1] % 16;
  if (splitCount > size - 2) splitCount = size - 2;
  const std::uint8_t* splits = data + 2;
  Input in{data + 2 + splitCount, size - 2 - splitCount};

  std::vector<std::uint8_t> stream;
  if ((mode & 1) != 0) stream = buildFrames(in);
  else stream.assign(in.data, in.data + in.size);

  const std::uint8_t flags = static_cast<std::uint8_t>(mode >> 1);
  Run chunked(flags);
  for (std::size_t at = 0, k = 0; at < stream.size(); ++k) {
    std::size_t n = stream.size() - at;
    if (splitCount > 0) {
      const std::uint8_t s = splits[k % splitCount];
      n = std::min<std::size_t>(n, s == 0 ? 4096 : s);
    }
    chunked.feed(stream.data() + at, n);
    at += n;
  }

  Run whole(flags);
  whole.feed(stream.data(), stream.size());
  if (chunked.parser.counters.flushes == 0 && whole.parser.counters.flushes == 0) {
    KV_CHECK(whole.view.digest == chunked.view.digest);
    KV_CHECK(sameCounters(whole.parser.counters, chunked.parser.counters));
  }

  // Whatever is held completes or is given up within two frames' worth of
  // zeros (a frame found again in what it gave back included); an ack
  // behind them is then seen.
  const std::uint8_t zeros[2 * kMaxReceivedFrame] = {};
  chunked.feed(zeros, sizeof zeros);
  KV_CHECK(parserHeldBytes(chunked.parser) == 0);
  const std::uint32_t acksBefore = chunked.parser.counters.acks;
  std::uint8_t ack[kAckSize];
  buildDongleAck(ack);
  chunked.feed(ack, sizeof ack);
  KV_CHECK(chunked.parser.counters.acks == acksBefore + 1);
  return 0;
}
