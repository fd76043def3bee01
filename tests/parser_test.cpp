// Receive parser: every frame type and what it does, reassembly across any
// split, the header matcher's magic rules, finding the next frame behind
// unknown, damaged and truncated ones, the start/stop ack, the swallow after
// a soft reset, the paused log, and a seeded stream of mixed traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"
#include "support/recording_view.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kAckLine = "\r\n>> got dongle ack\r\n";
const std::string kConfigLine = "\r\n>> got dongle config data\r\n";

std::string trustLine(int heartRate, int battery) {
  return "\r\ntrust, " + std::to_string(heartRate) + ", " + std::to_string(battery) + "\r\n";
}

std::string hexText(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::string badLine(const char* what, int residual) {
  return std::string("\r\n>> MBD ") + what + " cmd bad chksum " + hexText(residual) + " !!\r\n";
}

std::string hexDump(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

Bytes ack() {
  Bytes b(kAckSize);
  buildDongleAck(b.data());
  return b;
}

Bytes config(const DongleConfig& c) {
  Bytes b(kConfigDataSize);
  buildDongleConfigData(b.data(), c);
  return b;
}

Bytes device(const DeviceReport& r) {
  Bytes b(kDeviceDataSize);
  buildDeviceData(b.data(), r);
  return b;
}

DeviceReport report(const char* name, const char* address, int hr, int rr = 800, int batt = 90) {
  DeviceReport r;
  r.name = name;
  r.address = address;
  r.heartRate = static_cast<std::uint8_t>(hr);
  r.rrInterval = static_cast<std::uint16_t>(rr);
  r.battery = static_cast<std::uint8_t>(batt);
  return r;
}

// A header with no payload behind it, sealed as if it were a short frame.
Bytes header(std::uint8_t cls, std::uint8_t opcode, std::uint8_t high = 0, std::uint8_t low = 0) {
  Bytes b{kMagic0, kMagic1, kMagic2, cls, opcode, high, low, 0};
  sealFrame(b.data(), b.size());
  return b;
}

Bytes resealed(Bytes b) {
  sealFrame(b.data(), b.size());
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The parser with everything it acts on.
struct Rig {
  test::RecordingView view;
  TileBrushCache brushes;
  Roster roster{view, brushes};
  LinkWords words;
  ReceiveParser parser;
  ParserContext context{&view, &words, &roster};

  Rig() { parserInit(parser); }

  void feed(const Bytes& b) { parserFeed(parser, context, b.data(), b.size()); }
  void feedInChunks(const Bytes& b, std::size_t size) {
    for (std::size_t at = 0; at < b.size(); at += size) {
      parserFeed(parser, context, b.data() + at, std::min(size, b.size() - at));
    }
  }
  DeviceSlot slot(int i) const { return roster.table().slot(i); }
  int slotOf(const char* address) const { return roster.table().findSlotByAddress(address); }
  // Every byte fed is framed, dropped or still held.
  bool bytesAccountedFor() const {
    const ReceiveCounters& c = parser.counters;
    return c.bytesIn == c.bytesFramed + c.bytesDropped + parserHeldBytes(parser);
  }
};

// --- the frames and what each does ---

TEST(ParserFrames, AckLogsItsLineAndChangesNothingWhenNothingIsAwaited) {
  Rig rig;
  rig.feed(ack());
  EXPECT_EQ(rig.view.log(), kAckLine);
  EXPECT_EQ(rig.words.scanning.load(), 0);
  EXPECT_EQ(rig.words.pendingCommand.load(), kNothingPending);
  EXPECT_EQ(rig.view.startEnabledCount(), 0);
  EXPECT_EQ(rig.parser.counters.acks, 1u);
  EXPECT_EQ(parserHeldBytes(rig.parser), 0u);
}

TEST(ParserFrames, ConfigDataReplacesTheDongleLine) {
  Rig rig;
  rig.feed(config({"Koravel-Dng1", "A1B2C3D4E5F6", 0x2A, 0x05}));
  EXPECT_EQ(rig.view.log(), kConfigLine);
  EXPECT_EQ(rig.view.dongleLine(), "Koravel-Dng1 @A1:B2:C3:D4:E5:F6  Ver. 2a.05");

  rig.feed(config({"Short", "00112233AABB", 1, 0x10}));
  EXPECT_EQ(rig.view.dongleLine(), "Short        @00:11:22:33:AA:BB  Ver. 1.10");
  EXPECT_EQ(rig.parser.dev_ver[0], 1);
  EXPECT_EQ(rig.parser.dev_ver[1], 0x10);

  // A name with line breaks, an address cut short and padded with NULs:
  // one line, the address still in six pairs.
  Bytes odd(kConfigDataSize);
  buildDongleConfigData(odd.data(), {"Dng\r\nX\tY", "0A1B2C", 3, 1}, '\0');
  rig.feed(odd);
  EXPECT_EQ(rig.view.dongleLine(), "Dng??X?Y @0A:1B:2C:??:??:??  Ver. 3.01");
}

TEST(ParserFrames, ConfigDataWithoutSeparatorIsConsumedSilently) {
  Rig rig;
  Bytes bad = config({"Koravel-Dng1", "A1B2C3D4E5F6", 1, 2});
  bad[off::kDongleAddressSep] = ' ';
  rig.feed(resealed(bad) + ack());
  EXPECT_EQ(rig.view.log(), kAckLine);
  EXPECT_EQ(rig.view.dongleLine(), "");
}

TEST(ParserFrames, DeviceReportRegistersAndShowsTheReading) {
  Rig rig;
  rig.feed(device(report("Mirabeat HR 01", "C0FFEE000001", 72, 0x0312, 88)));
  ASSERT_EQ(rig.slotOf("C0FFEE000001"), 0);
  const DeviceSlot s = rig.slot(0);
  EXPECT_STREQ(s.name, "Mirabeat HR 01           ");  // the field as sent, 25 characters
  EXPECT_EQ(s.heartRate, 72);
  EXPECT_EQ(s.rrInterval, 0x0312);  // big-endian on the wire
  EXPECT_EQ(s.battery, 88);
  EXPECT_EQ(rig.view.tileText(0), "Mirabeat HR 01           \n\n");
  EXPECT_EQ(rig.view.log(), trustLine(72, 88));
  EXPECT_EQ(rig.view.tooltipRequests(), std::vector<int>{0});
  EXPECT_EQ(rig.parser.counters.readingsApplied, 1u);
}

TEST(ParserFrames, EveryAppliedReadingAsksForTheTooltip) {
  Rig rig;
  rig.feed(device(report("Strap A", "AAAAAAAAAAAA", 60)) + device(report("Strap A", "AAAAAAAAAAAA", 61)) +
           device(report("Strap B", "BBBBBBBBBBBB", 62)) + device(report("Strap A", "AAAAAAAAAAAA", 63)));
  EXPECT_EQ(rig.view.tooltipRequests(), (std::vector<int>{0, 0, 1, 0}));
  EXPECT_EQ(rig.slot(0).heartRate, 63);
  EXPECT_EQ(rig.slot(1).heartRate, 62);
}

TEST(ParserFrames, RrOfFfffIsPassedOnSoTheStoredValueStays) {
  Rig rig;
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 70, 0x0102)));
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 71, 0xFFFF)));
  EXPECT_EQ(rig.slot(0).rrInterval, 0x0102);
  EXPECT_EQ(rig.slot(0).heartRate, 71);
}

TEST(ParserFrames, CheckByteOtherThan80RegistersButShowsNothing) {
  Rig rig;
  DeviceReport r = report("Strap", "AAAAAAAAAAAA", 70);
  r.check = 0x00;
  rig.feed(device(r));
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), 0);
  EXPECT_EQ(rig.slot(0).heartRate, kNoReading8);
  EXPECT_EQ(rig.view.tileText(0), "empty");
  EXPECT_TRUE(rig.view.tooltipRequests().empty());
  EXPECT_EQ(rig.view.log(), "");
}

TEST(ParserFrames, ReportsThatAreNotUsedLeaveNoTrace) {
  Rig rig;
  Bytes noSeparator = device(report("Strap", "AAAAAAAAAAAA", 70));
  noSeparator[off::kDeviceNameSep] = 'x';
  rig.feed(resealed(noSeparator) + device(report("Polar H10 1234", "BBBBBBBBBBBB", 70)));
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
  EXPECT_EQ(rig.slotOf("BBBBBBBBBBBB"), -1);
  EXPECT_EQ(rig.view.log(), "");
  EXPECT_TRUE(rig.view.tooltipRequests().empty());
  EXPECT_EQ(rig.parser.counters.reports, 2u);
}

TEST(ParserFrames, LengthFieldIsNotRead) {
  Rig rig;
  Bytes d = device(report("Strap", "AAAAAAAAAAAA", 70));
  d[off::kLengthHigh] = 0x7F;
  d[off::kLengthHigh + 1] = 0x01;
  rig.feed(resealed(d) + ack());
  EXPECT_EQ(rig.view.log(), trustLine(70, 90) + kAckLine);
}

TEST(ParserFrames, MagicBytesInsidePayloadArePayload) {
  // A device name that holds a whole sealed ack: the report is one frame.
  Rig rig;
  const Bytes inner = ack();
  Bytes d = device(report("", "AAAAAAAAAAAA", 70));
  std::memcpy(d.data() + off::kDeviceName + 2, inner.data(), inner.size());
  rig.feed(resealed(d));
  EXPECT_EQ(rig.view.log(), trustLine(70, 90));
  EXPECT_EQ(rig.parser.counters.acks, 0u);
}

// --- bad seals ---

TEST(ParserBadSeal, EachTypeLogsItsLineWithTheResidual) {
  Rig rig;
  Bytes a = ack();
  a[7] = 0x41;  // the worked ack with its seal one off
  Bytes c = config({"Koravel-Dng1", "A1B2C3D4E5F6", 1, 2});
  c.back() = static_cast<std::uint8_t>(c.back() + 0x20);
  rig.feed(a + c);
  EXPECT_EQ(rig.view.log(), badLine("ack", 1) + badLine("config", 0x20));
  EXPECT_EQ(rig.view.dongleLine(), "");
  EXPECT_EQ(rig.parser.counters.badSeals, 2u);
}

TEST(ParserBadSeal, DeviceReportDumpsItsBytesInOneLine) {
  Rig rig;
  Bytes d = device(report("Strap", "AAAAAAAAAAAA", 70));
  d[off::kHeartRate] ^= 0x01;
  const int residual = frameResidual(d.data() + 3, d.size() - 3);
  ASSERT_NE(residual, 0);
  rig.view.clearCalls();
  rig.feed(d);
  const std::string dump = hexDump(d.data(), d.size());
  ASSERT_EQ(dump.size(), 110u);
  EXPECT_EQ(dump.substr(0, 6), "4d4244");
  EXPECT_EQ(rig.view.calls(),
            (std::vector<std::string>{"appendLog " + dump, "appendLog " + badLine("reg", residual)}));
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
}

// --- reassembly ---

Bytes mixedTraffic() {
  return ack() + config({"Koravel-Dng1", "A1B2C3D4E5F6", 3, 7}) + device(report("Strap A", "AAAAAAAAAAAA", 61)) +
         text("noise") + device(report("Strap B", "BBBBBBBBBBBB", 62, 0xFFFF, 40)) + ack();
}

TEST(ParserSplit, AnySplitGivesTheSameEffectsAsOneChunk) {
  const Bytes stream = mixedTraffic();
  Rig whole;
  whole.feed(stream);
  const std::vector<std::string> expected = whole.view.calls();
  EXPECT_EQ(whole.view.log(), kAckLine + kConfigLine + trustLine(61, 90) + trustLine(62, 40) + kAckLine);

  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    Rig rig;
    rig.feed(Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)));
    rig.feed(Bytes(stream.begin() + static_cast<long>(cut), stream.end()));
    ASSERT_EQ(rig.view.calls(), expected) << "cut at " << cut;
  }
  for (std::size_t size : {1u, 2u, 7u, 54u, 55u, 4096u}) {
    Rig rig;
    rig.feedInChunks(stream, size);
    EXPECT_EQ(rig.view.calls(), expected) << "chunks of " << size;
    EXPECT_TRUE(rig.bytesAccountedFor());
  }
}

// Readings held back for one call at the end of a feed (the reader's way)
// come out in their place among the other frames' effects, whatever the
// reads are; each gives its tile the hover text a posted request would.
TEST(ParserSplit, HeldReadingsKeepTheirPlaceAmongTheOtherFramesEffects) {
  const Bytes stream = mixedTraffic();
  Rig one;
  one.feed(stream);
  std::vector<std::string> expected;
  for (const std::string& call : one.view.calls()) {
    if (call.rfind("postTooltipRequest", 0) == 0) continue;
    expected.push_back(call);
    if (call.rfind("setTileText 0 ", 0) == 0) expected.push_back("setTileTooltip 0 AA:AA:AA:AA:AA:AA");
    if (call.rfind("setTileText 1 ", 0) == 0) expected.push_back("setTileTooltip 1 BB:BB:BB:BB:BB:BB");
  }
  for (std::size_t size : {1u, 55u, 298u, 4096u}) {
    Rig rig;
    ReadingBatch batch;
    rig.context.readings = &batch;
    rig.feedInChunks(stream, size);
    EXPECT_EQ(rig.view.calls(), expected) << "reads of " << size;
    EXPECT_EQ(batch.count, 0) << "nothing is left held after a feed";
    EXPECT_TRUE(rig.view.tooltipRequests().empty());
  }
}

// --- the header matcher ---

TEST(ParserMatcher, OutOfOrderMagicBytesDoNotResetTheMatch) {
  const Bytes frame = ack();
  const Bytes tail(frame.begin() + 3, frame.end());
  for (const char* start : {"MBD", "MMBD", "MBMD", "MDBD", "BDMBD", "MBDMBD", "MBDB"}) {
    Rig rig;
    rig.feed(text(start) + tail);
    EXPECT_EQ(rig.view.log(), kAckLine) << start;
  }
}

TEST(ParserMatcher, AnyOtherByteBeforeTheClassStartsTheSearchAgain) {
  const Bytes frame = ack();
  const Bytes tail(frame.begin() + 3, frame.end());
  for (const char* start : {"MxBD", "MBxD", "xBD"}) {
    Rig rig;
    rig.feed(text(start) + tail);
    EXPECT_EQ(rig.view.log(), "") << start;
    EXPECT_EQ(parserHeldBytes(rig.parser), 0u);
  }
  // Only an M starts a magic: B D alone does nothing.
  Rig rig;
  rig.feed(text("BD") + tail);
  EXPECT_EQ(rig.view.log(), "");
}

TEST(ParserMatcher, BytesBehindTheClassAreStoredWhateverTheyAre) {
  // Class 0, then "M" as the opcode byte: no handler, not a skipped M.
  Rig rig;
  rig.feed(Bytes{kMagic0, kMagic1, kMagic2, 0x00, kMagic0, 0x00, 0x00, 0x00});
  EXPECT_EQ(rig.parser.counters.rejected, 1u);
  EXPECT_EQ(rig.parser.counters.acks, 0u);
}

// --- finding the next frame (nothing good is lost to what comes before it) ---

TEST(ParserResync, FrameWithoutHandlerDoesNotBlockTheFramesBehindIt) {
  const std::pair<int, int> types[] = {{0, 1}, {0, 2}, {0, 3}, {0, 5}, {0, 255}, {1, 0}, {1, 4}, {1, 9}, {7, 3}};
  for (auto [cls, opcode] : types) {
    Rig rig;
    const Bytes unknown = header(static_cast<std::uint8_t>(cls), static_cast<std::uint8_t>(opcode));
    rig.feed(unknown + device(report("Strap", "AAAAAAAAAAAA", 70)) + unknown + ack());
    EXPECT_EQ(rig.view.log(), trustLine(70, 90) + kAckLine) << cls << "/" << opcode;
    EXPECT_EQ(rig.parser.counters.rejected, 2u);
    EXPECT_TRUE(rig.bytesAccountedFor());
  }
  // Class values other than 1 are class 0: class 9 opcode 0 is an ack.
  Rig rig;
  rig.feed(resealed(header(9, 0)));
  EXPECT_EQ(rig.view.log(), kAckLine);
}

TEST(ParserResync, WrongCodeBytesGiveUpTheFrameWithoutALine) {
  Bytes kind0 = device(report("Strap", "AAAAAAAAAAAA", 70));
  kind0[off::kCodeLow] = 0;
  Bytes kind4 = kind0;
  kind4[off::kCodeLow] = 4;
  Bytes high = kind0;
  high[off::kCodeLow] = 1;
  high[off::kCodeHigh] = 1;
  Bytes cfg = config({"Dongle", "A1B2C3D4E5F6", 1, 2});
  cfg[off::kCodeLow] = 0x80;
  Bytes ackWithCode = header(0, 0, 0, 5);  // sealed, but not an ack
  for (const Bytes& bad : {kind0, kind4, high, cfg, ackWithCode}) {
    Rig rig;
    // The good frame starts inside the bytes the bad one would have taken.
    rig.feed(resealed(bad) + ack() + device(report("Strap", "BBBBBBBBBBBB", 71)));
    EXPECT_EQ(rig.view.log(), kAckLine + trustLine(71, 90));
    EXPECT_EQ(rig.parser.counters.rejected, 1u);
  }
}

TEST(ParserResync, GarbageAndBrokenMagicsBetweenFrames) {
  Rig rig;
  rig.feed(text("xxMB") + ack() + text("M") + text("MB\x01zzD") + config({"Dongle", "A1B2C3D4E5F6", 1, 2}) +
           text("BDBDMMM") + device(report("Strap", "AAAAAAAAAAAA", 70)));
  EXPECT_EQ(rig.view.log(), kAckLine + kConfigLine + trustLine(70, 90));
}

TEST(ParserResync, BadSealIsReportedOnceAndTheNextFrameIsTaken) {
  Rig rig;
  Bytes bad = ack();
  bad[7] = 0x00;
  rig.feed(bad + ack() + bad + bad + device(report("Strap", "AAAAAAAAAAAA", 70)));
  EXPECT_EQ(rig.view.log(), badLine("ack", 0xC0) + kAckLine + badLine("ack", 0xC0) + badLine("ack", 0xC0) +
                                trustLine(70, 90));
}

TEST(ParserResync, FrameStartingInsideATruncatedFrameIsFound) {
  // A report that lost one byte takes the first byte of the next frame as
  // its seal; that frame must still be seen.
  Bytes cut = device(report("Strap", "AAAAAAAAAAAA", 70));
  cut.erase(cut.begin() + 20);
  const Bytes next = device(report("Strap", "BBBBBBBBBBBB", 71));
  Bytes window = cut + Bytes(next.begin(), next.begin() + 1);
  int residual = frameResidual(window.data() + 3, window.size() - 3);
  ASSERT_NE(residual, 0);
  {
    Rig rig;
    rig.feed(cut + next);
    EXPECT_EQ(rig.view.log(), hexDump(window.data(), 55) + badLine("reg", residual) + trustLine(71, 90));
    EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
  }
  // A report cut short by 30 bytes, with an ack and another report behind
  // it, both starting within its 55 bytes: the report, which reaches past
  // them, is taken; the ack, wholly within them, cannot be told from an ack
  // inside the damaged frame's name and is not.
  Bytes shortened = device(report("Strap", "AAAAAAAAAAAA", 70));
  shortened.resize(25);
  const Bytes behind = ack() + device(report("Strap", "BBBBBBBBBBBB", 72));
  window = shortened + Bytes(behind.begin(), behind.begin() + 30);
  residual = frameResidual(window.data() + 3, window.size() - 3);
  ASSERT_NE(residual, 0);
  for (std::size_t chunk : {1u, 9u, 4096u}) {
    Rig rig;
    rig.feedInChunks(shortened + behind, chunk);
    EXPECT_EQ(rig.view.log(), hexDump(window.data(), 55) + badLine("reg", residual) + trustLine(72, 90))
        << "chunks of " << chunk;
    EXPECT_EQ(rig.parser.counters.badSeals, 1u);
    EXPECT_EQ(rig.parser.counters.insideDamaged, 1u);
    EXPECT_TRUE(rig.bytesAccountedFor());
  }
}

TEST(ParserResync, AReportThatLostAByteAndStillSealsDoesNotHideTheNext) {
  // One byte of the name left out, and the seal happens to hold over the
  // 55 bytes that end with the next frame's M: the shifted separators give
  // it away, and the next report is found.
  Bytes cut = device(report("Strap", "AAAAAAAAAAAA", 70));
  cut.erase(cut.begin() + 12);
  const Bytes next = device(report("Strap", "BBBBBBBBBBBB", 71));
  Bytes window = cut + Bytes(next.begin(), next.begin() + 1);
  for (int v = 0; v < 65536 && frameResidual(window.data() + 3, window.size() - 3) != 0; ++v) {
    window[20] = static_cast<std::uint8_t>('a' + v % 26);
    window[21] = static_cast<std::uint8_t>('a' + v / 26 % 26);
    window[22] = static_cast<std::uint8_t>('a' + v / 676 % 26);
  }
  ASSERT_EQ(frameResidual(window.data() + 3, window.size() - 3), 0);
  std::copy(window.begin() + 20, window.begin() + 23, cut.begin() + 20);
  for (std::size_t chunk : {1u, 55u, 4096u}) {
    Rig rig;
    rig.feedInChunks(cut + next, chunk);
    EXPECT_EQ(rig.view.log(), trustLine(71, 90)) << "chunks of " << chunk;
    EXPECT_EQ(rig.parser.counters.noSeparator, 1u);
    EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
    EXPECT_TRUE(rig.bytesAccountedFor());
  }
}

TEST(ParserResync, AFrameInsideADamagedFramesNameIsNotActedOn) {
  // A report whose name holds a sealed ack, with a flipped seal bit, while
  // a Start awaits its ack: the ack in the name must not start the scan.
  const Bytes inner = ack();
  Bytes outer = device(report("Ab", "AAAAAAAAAAAA", 70));
  std::copy(inner.begin(), inner.end(), outer.begin() + off::kDeviceName + 2);
  outer = resealed(outer);
  outer.back() ^= 0x04;
  for (std::size_t chunk : {1u, 13u, 4096u}) {
    Rig rig;
    rig.words.pendingCommand = 0;
    rig.feedInChunks(outer + device(report("Strap", "BBBBBBBBBBBB", 71)), chunk);
    EXPECT_EQ(rig.words.scanning, 0) << "chunks of " << chunk;
    EXPECT_EQ(rig.words.pendingCommand, 0);
    EXPECT_EQ(rig.view.startLabel(), "Start ...");
    EXPECT_EQ(rig.view.log().find(kAckLine), std::string::npos);
    EXPECT_NE(rig.view.log().find(trustLine(71, 90)), std::string::npos) << "the next frame is taken";
    EXPECT_EQ(rig.parser.counters.insideDamaged, 1u);
    EXPECT_TRUE(rig.bytesAccountedFor());
  }
}

TEST(ParserResync, NothingIsHeldBeyondOneFrameWhateverArrives) {
  Rig rig;
  Bytes garbage;
  std::mt19937 rng(7);
  const std::uint8_t alphabet[] = {kMagic0, kMagic1, kMagic2, 0x00, 0x01, 0x04, 0x1F, 0x80};
  for (int i = 0; i < 20000; ++i) garbage.push_back(alphabet[rng() % sizeof alphabet]);
  rig.feedInChunks(garbage, 4096);
  EXPECT_LE(parserHeldBytes(rig.parser), kMaxReceivedFrame);
  // Start clean (garbage may leave a partial frame held), then frames.
  rig.feed(Bytes(4 * kMaxReceivedFrame, 0x00));
  ASSERT_EQ(parserHeldBytes(rig.parser), 0u);
  const std::string before = rig.view.log();
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 70)) + ack());
  EXPECT_EQ(rig.view.log(), before + trustLine(70, 90) + kAckLine);
  EXPECT_TRUE(rig.bytesAccountedFor());
}

// --- start and stop ---

TEST(ParserAck, AwaitedAcksStartAndStopTheScan) {
  Rig rig;
  rig.words.pendingCommand = 0;
  rig.feed(ack());
  EXPECT_EQ(rig.words.scanning.load(), 1);
  EXPECT_EQ(rig.words.pendingCommand.load(), 1);
  EXPECT_EQ(rig.view.startLabel(), "Stop !!!");
  EXPECT_EQ(rig.view.startEnabledCount(), 1);

  // While scanning a device shows up; an ack nobody awaits changes nothing.
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 70)) + ack());
  EXPECT_EQ(rig.words.scanning.load(), 1);
  EXPECT_EQ(rig.view.startEnabledCount(), 1);
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), 0);

  // Stop: the roster is emptied before the button says Start again, then
  // the tiles are repainted.
  rig.words.pendingCommand = 0;
  rig.view.clearCalls();
  rig.feed(ack());
  EXPECT_EQ(rig.words.scanning.load(), 0);
  EXPECT_EQ(rig.view.startLabel(), "Start ...");
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
  EXPECT_EQ(rig.view.tileText(0), "empty");
  const std::vector<std::string> calls = rig.view.calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls.front(), "appendLog " + kAckLine);
  EXPECT_EQ(calls[calls.size() - 2], "setStartLabel Start ...");
  EXPECT_EQ(calls.back(), "repaintTiles");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "setTileText 0 empty"), calls.end());
}

TEST(ParserAck, ScanningOfAnyOtherValueBecomesZero) {
  Rig rig;
  rig.words.scanning = 7;
  rig.words.pendingCommand = 0;
  rig.feed(ack());
  EXPECT_EQ(rig.words.scanning.load(), 0);
  EXPECT_EQ(rig.view.startLabel(), "Start ...");
}

TEST(ParserAck, AckThatIsNotGoodDoesNotCountAsTheAnswer) {
  Rig rig;
  rig.words.pendingCommand = 0;
  rig.words.swallowNextAck = 1;
  Bytes bad = ack();
  bad[7] ^= 0x10;
  rig.feed(bad);
  rig.feed(header(0, 0, 1, 0));
  EXPECT_EQ(rig.words.scanning.load(), 0);
  EXPECT_EQ(rig.words.pendingCommand.load(), 0);
  EXPECT_EQ(rig.words.swallowNextAck.load(), 1);
}

TEST(ParserAck, FirstGoodAckAfterSoftResetDropsWhatCameWithIt) {
  Rig rig;
  rig.words.swallowNextAck = 1;
  const Bytes a = ack();
  // The ack arrives over two reads; the report behind it in the second read
  // goes with it.
  rig.feed(Bytes(a.begin(), a.begin() + 5));
  rig.feed(Bytes(a.begin() + 5, a.end()) + device(report("Strap", "AAAAAAAAAAAA", 70)));
  EXPECT_EQ(rig.view.log(), kAckLine);
  EXPECT_EQ(rig.words.swallowNextAck.load(), 0);
  EXPECT_EQ(rig.slotOf("AAAAAAAAAAAA"), -1);
  EXPECT_EQ(parserHeldBytes(rig.parser), 0u);
  EXPECT_TRUE(rig.bytesAccountedFor());

  // Once swallowed, the next read is taken as usual.
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 70)) + ack());
  EXPECT_EQ(rig.view.log(), kAckLine + trustLine(70, 90) + kAckLine);
}

TEST(ParserLog, PausedLogDropsOnlyTheTrustLine) {
  Rig rig;
  rig.words.logPaused = 1;
  Bytes bad = ack();
  bad[7] = 0x41;
  rig.feed(device(report("Strap", "AAAAAAAAAAAA", 70)) + ack() + bad + config({"Dongle", "A1B2C3D4E5F6", 1, 2}));
  EXPECT_EQ(rig.view.log(), kAckLine + badLine("ack", 1) + kConfigLine);
  EXPECT_EQ(rig.slot(0).heartRate, 70);
  EXPECT_EQ(rig.view.tooltipRequests(), std::vector<int>{0});
}

// --- a seeded stream of mixed traffic ---

// Builds traffic in which the byte M occurs only where a frame (intact or
// damaged) starts, so what the parser must do is known item by item: every
// intact frame acts once, in order; every damaged frame that comes to a
// seal check is reported once; unknown and wrong-code frames say nothing;
// but a frame that lies wholly within the fixed size of a reported damaged
// frame does nothing at all.
class TrafficModel {
 public:
  explicit TrafficModel(std::uint32_t seed) : rng_(seed) {}

  Bytes stream;

  // What the parser must have done after the whole stream.
  std::string log;
  std::vector<int> tooltipRequests;
  std::string dongleLine;
  std::map<std::string, DeviceSlot> readings;  // by address
  std::map<std::string, int> slots;
  std::size_t intactFrames = 0;   // intact frames acted on
  std::size_t insideDamaged = 0;  // frames, intact or damaged, within a damaged frame's size

  // Makes `items` items; returns false when a damaged frame happened to
  // seal with the bytes that follow it (the caller draws another stream).
  bool build(int items) {
    std::vector<Damaged> damaged;
    for (int i = 0; i < items; ++i) {
      const std::uint32_t kind = pick(12);
      if (kind < 5) addIntact();
      else if (kind < 7) addGarbage();
      else if (kind < 10) addDamaged(damaged);
      else if (kind < 11) addUnknown();
      else addWrongCode();
    }
    // Room behind the last frame start for the longest frame.
    for (std::size_t i = 0; i < kMaxReceivedFrame; ++i) stream.push_back(notM());
    // A damaged frame's line depends on the bytes its fixed size takes in,
    // which may belong to what follows it (last first, so that earlier
    // placeholders keep their place).
    for (auto it = damaged.rbegin(); it != damaged.rend(); ++it) {
      const Damaged& t = *it;
      const std::uint8_t* window = stream.data() + t.offset;
      const int residual = frameResidual(window + 3, t.size - 3);
      if (residual == 0) return false;
      std::string line;
      if (t.size == kDeviceDataSize) line = hexDump(window, t.size) + badLine("reg", residual);
      else line = badLine(t.size == kAckSize ? "ack" : "config", residual);
      log.replace(t.logAt, 1, line);
    }
    return true;
  }

 private:
  struct Damaged {
    std::size_t offset, size, logAt;
  };

  std::uint32_t pick(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
  std::uint8_t notM() {
    std::uint8_t b;
    do b = static_cast<std::uint8_t>(rng_()); while (b == kMagic0);
    return b;
  }
  static bool hasMBehindMagic(const Bytes& f) {
    return std::find(f.begin() + 3, f.end(), kMagic0) != f.end();
  }
  void append(const Bytes& f) { stream.insert(stream.end(), f.begin(), f.end()); }

  // An intact frame of a random type, with no M behind its magic, and what
  // it does.
  Bytes makeFrame(std::string& effect, int& type) {
    static const char* const kNames[] = {"Strap 1", "Chest belt", "HRX", "Polar H10 77", "Arm band 2"};
    static const char* const kAddresses[] = {"A00000000001", "A00000000002", "A00000000003", "B0000000000F",
                                             "C000000000C0", "D0000000000D", "E0000000000E"};
    Bytes f;
    type = static_cast<int>(pick(3));
    do {
      if (type == 0) {
        f = ack();
        effect = kAckLine;
      } else if (type == 1) {
        char name[13];
        std::snprintf(name, sizeof name, "Dongle %u", pick(1000));
        DongleConfig c{name, "A1B2C3D4E5F6", static_cast<std::uint8_t>(pick(256)),
                       static_cast<std::uint8_t>(pick(256))};
        f = config(c);
        effect = kConfigLine;
        char line[100];
        std::snprintf(line, sizeof line, "%-12s @A1:B2:C3:D4:E5:F6  Ver. %x.%02x", name, c.versionMajor,
                      c.versionMinor);
        pendingDongleLine_ = line;
      } else {
        DeviceReport r;
        r.kind = static_cast<std::uint8_t>(1 + pick(3));
        r.name = kNames[pick(5)];
        r.address = kAddresses[pick(7)];
        r.check = pick(5) == 0 ? 0x00 : kReadingApplied;
        r.rssi = static_cast<std::int8_t>(pick(256));
        r.heartRate = static_cast<std::uint8_t>(pick(256));
        r.rrInterval = pick(8) == 0 ? 0xFFFF : static_cast<std::uint16_t>(pick(65536));
        r.battery = static_cast<std::uint8_t>(pick(256));
        f = device(r);
        pendingReport_ = r;
        effect = r.check == kReadingApplied ? trustLine(r.heartRate, r.battery) : "";
      }
    } while (hasMBehindMagic(f));
    return f;
  }

  // Whether a frame of `size` bytes starting here ends within the last
  // reported damaged frame.
  bool withinDamaged(std::size_t size) const { return stream.size() + size <= damagedUntil_; }

  void addIntact() {
    std::string effect;
    int type = 0;
    const Bytes f = makeFrame(effect, type);
    if (withinDamaged(f.size())) {
      append(f);
      ++insideDamaged;
      return;
    }
    append(f);
    ++intactFrames;
    if (type == 1) dongleLine = pendingDongleLine_;
    if (type == 2) {
      const DeviceReport& r = pendingReport_;
      std::string address = r.address;
      if (!slots.count(address)) {
        // A new device named Polar... is refused; a known address is not.
        if (std::strncmp(r.name, "Polar", 5) == 0) return;
        const int slot = static_cast<int>(slots.size());
        slots[address] = slot;
      }
      if (r.check != kReadingApplied) return;
      tooltipRequests.push_back(slots[address]);
      DeviceSlot& s = readings[address];
      s.heartRate = r.heartRate;
      if (r.rrInterval != 0xFFFF) s.rrInterval = r.rrInterval;
      s.battery = r.battery;
    }
    log += effect;
  }

  void addGarbage() {
    const std::uint32_t n = pick(80);
    for (std::uint32_t i = 0; i < n; ++i) stream.push_back(notM());
  }

  // A frame with its seal changed, or cut short behind its code bytes.
  void addDamaged(std::vector<Damaged>& reported) {
    std::string effect;
    int type = 0;
    Bytes f = makeFrame(effect, type);
    const Damaged t{stream.size(), f.size(), log.size()};
    if (withinDamaged(t.size)) {
      ++insideDamaged;
    } else {
      log += "#";  // replaced once the following bytes are known
      reported.push_back(t);
      damagedUntil_ = t.offset + t.size;
    }
    if (pick(3) == 0) {
      do f.back() = static_cast<std::uint8_t>(f.back() + 1 + pick(255));
      while (f.back() == kMagic0);
    } else {
      f.resize(7 + pick(static_cast<std::uint32_t>(f.size() - 7)));
    }
    append(f);
  }

  void addUnknown() {
    std::uint8_t cls, opcode;
    do {
      cls = notM();
      opcode = notM();
    } while (cls == kMagic1 || cls == kMagic2 || (cls == 1 ? opcode == 2 : opcode == 0 || opcode == 4));
    append(Bytes{kMagic0, kMagic1, kMagic2, cls, opcode});
    addGarbage();
  }

  void addWrongCode() {
    Bytes f{kMagic0, kMagic1, kMagic2, 0, 4, 0, 0};
    if (pick(2) == 0) {
      f[3] = 1;
      f[4] = 2;
      f[6] = notM();
      if (f[6] == 0) f[5] = 1;
    } else {
      f[5] = static_cast<std::uint8_t>(pick(2));
      f[6] = notM();
      if (f[5] == 0 && f[6] >= 1 && f[6] <= 3) f[6] = 0;
    }
    append(f);
    addGarbage();
  }

  std::mt19937 rng_;
  std::size_t damagedUntil_ = 0;
  std::string pendingDongleLine_;
  DeviceReport pendingReport_;
};

void expectModelSeen(const TrafficModel& model, Rig& rig) {
  EXPECT_EQ(rig.view.log(), model.log);
  EXPECT_EQ(rig.view.tooltipRequests(), model.tooltipRequests);
  EXPECT_EQ(rig.view.dongleLine(), model.dongleLine);
  for (const auto& [address, slot] : model.slots) {
    EXPECT_EQ(rig.slotOf(address.c_str()), slot) << address;
    const DeviceSlot s = rig.slot(slot);
    const auto it = model.readings.find(address);
    const DeviceSlot expected = it == model.readings.end() ? DeviceSlot{} : it->second;
    EXPECT_EQ(s.heartRate, expected.heartRate) << address;
    EXPECT_EQ(s.rrInterval, expected.rrInterval) << address;
    EXPECT_EQ(s.battery, expected.battery) << address;
  }
  EXPECT_TRUE(rig.bytesAccountedFor());
}

TrafficModel buildModel(std::uint32_t seed, int items) {
  for (std::uint32_t attempt = 0;; ++attempt) {
    TrafficModel model(seed * 7919 + attempt);
    if (model.build(items)) return model;
  }
}

TEST(ParserProperty, SeededTrafficInRandomSplits) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    const TrafficModel model = buildModel(seed, 300);
    Rig rig;
    std::mt19937 split(seed);
    for (std::size_t at = 0; at < model.stream.size();) {
      std::size_t size = split() % 8 == 0 ? 4096 : 1 + split() % 298;
      size = std::min(size, model.stream.size() - at);
      parserFeed(rig.parser, rig.context, model.stream.data() + at, size);
      at += size;
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    expectModelSeen(model, rig);
    EXPECT_EQ(rig.parser.counters.acks + rig.parser.counters.configs + rig.parser.counters.reports,
              model.intactFrames);
    EXPECT_EQ(rig.parser.counters.insideDamaged, model.insideDamaged);
  }
}

// A sink sees every sealed report, Polar and unapplied ones too, and every
// bad seal; what the console is shown is the same, call for call.
TEST(ParserProperty, ASinkSeesEveryReportAndChangesNothing) {
  struct Seen {
    std::vector<std::string> reports;
    int badSeals = 0;
  };
  for (std::uint32_t seed = 1; seed <= 10; ++seed) {
    const TrafficModel model = buildModel(seed, 300);
    Bytes extra = device(report("Polar H10 77", "CCCCCCCCCCCC", 81));
    Bytes unapplied = device(report("Strap 9", "DDDDDDDDDDDD", 82));
    unapplied[off::kCheck] = 0x00;
    const Bytes stream = model.stream + extra + resealed(unapplied);
    Rig plain, watched;
    Seen seen;
    const ReportSink sink{[](void* arg, const DeviceReport& r) {
                            static_cast<Seen*>(arg)->reports.push_back(std::string(r.address) + " " + r.name + " " +
                                                                      std::to_string(r.heartRate) + " " +
                                                                      std::to_string(r.check));
                          },
                          [](void* arg) { ++static_cast<Seen*>(arg)->badSeals; }, &seen};
    watched.context.sink = &sink;
    plain.feedInChunks(stream, 1 + seed * 7);
    watched.feedInChunks(stream, 1 + seed * 7);
    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_EQ(watched.view.calls(), plain.view.calls());
    EXPECT_EQ(watched.view.log(), plain.view.log());
    const ReceiveCounters& c = watched.parser.counters;
    EXPECT_EQ(seen.reports.size(), c.reports - c.noSeparator + 0u);
    EXPECT_EQ(seen.badSeals, static_cast<int>(c.badSeals));
    ASSERT_GE(seen.reports.size(), 2u);
    // The name as the field carries it, padding and all.
    EXPECT_EQ(seen.reports[seen.reports.size() - 2], "CCCCCCCCCCCC Polar H10 77" + std::string(13, ' ') + " 81 128");
    EXPECT_EQ(seen.reports.back(), "DDDDDDDDDDDD Strap 9" + std::string(18, ' ') + " 82 0");
  }
}

TEST(ParserProperty, MixedTrafficIn4096ByteChunks) {
  const TrafficModel model = buildModel(99, 3000);
  ASSERT_GT(model.stream.size(), 3 * 4096u);
  Rig rig;
  rig.feedInChunks(model.stream, 4096);
  expectModelSeen(model, rig);
}

}  // namespace
}  // namespace kv
