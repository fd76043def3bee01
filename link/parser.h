// Receive parser: turns the bytes read from the dongle into frames and acts
// on each one (log lines, the dongle line, the roster, the start/stop state).
//
// The reader thread owns one ReceiveParser and feeds it every chunk it
// reads, in order, with parserFeed. The parser does no I/O, allocates
// nothing, throws nothing and keeps all of its state in the struct, so a
// recorded byte stream can be fed to it by a test, a replay or a fuzzer in
// any split.
//
// Finding a frame. There is no byte stuffing: a frame starts where the
// magic "MBD" is found. Until the magic is complete, M, B and D advance it
// when they come in order and are otherwise ignored (MMBD, MBMD and MDBD
// all complete it); any other byte starts the search again. Right after the
// magic, further M, B and D bytes are skipped; the first other byte is the
// class byte, and every byte behind it belongs to the frame whatever its
// value. The size of a frame is fixed by its type (ack 8, dongle config 38,
// device report 55); the length field is not read.
//
// Each frame is decided as soon as enough of it is held: its type by bytes 3
// and 4, its code bytes by bytes 5 and 6, its seal when its fixed size is
// held. A frame that turns out not to be one we act on (no handler for its
// class and opcode, wrong code bytes, bad seal, an ack with non-zero code)
// gives up only its magic: the bytes behind its class byte are searched
// again for the next magic. So a good frame whose start a damaged or unknown
// one in front of it swallowed (a frame that lost a byte takes the next
// one's M as its seal) is still found, at most one frame is ever held (55
// bytes), and no chunk size loses a byte for lack of room.
//
// But a frame with a bad seal, or a sealed one without its separators, had a
// known size: a frame found wholly among its bytes lay in its payload (a name
// that holds a sealed ack, say) and is not acted on. Only a frame that reaches past the damaged one's last byte
// counts; a short frame behind a frame cut short by more than its own size
// is the price.
//
// The one deliberate loss: the first good ack after a soft reset (link word
// swallowNextAck at 1) throws away everything held and the rest of the
// chunk it came in, so that stale traffic from before the reset is not
// taken for new.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame.h"

namespace kv {

class View;
class DeviceRegistry;
struct LinkWords;

// The longest frame the parser takes; nothing longer is ever held.
inline constexpr std::size_t kMaxReceivedFrame = kDeviceDataSize;

// Header match states.
inline constexpr std::uint8_t kHeaderIdle = 255;    // looking for M
inline constexpr std::uint8_t kHeaderM = 0;         // M seen
inline constexpr std::uint8_t kHeaderMB = 1;        // M and B seen
inline constexpr std::uint8_t kHeaderInFrame = 2;   // magic complete

// What the parser has seen since parserInit. Every byte fed ends up in
// exactly one of bytesFramed, bytesDropped or the bytes still held
// (parserHeldBytes). The three bytes that make up a magic count with its
// frame; an M, B or D that the matcher skips counts as dropped.
struct ReceiveCounters {
  std::uint64_t bytesIn = 0;       // bytes fed
  std::uint64_t bytesFramed = 0;   // bytes of frames with a good seal, magic included
  std::uint64_t bytesDropped = 0;  // bytes skipped, given up or flushed
  std::uint32_t acks = 0;          // good acks acted on
  std::uint32_t configs = 0;       // dongle config frames with a good seal
  std::uint32_t reports = 0;       // device reports with a good seal
  std::uint32_t readingsApplied = 0;  // reports with check byte 0x80 and a slot
  std::uint32_t badSeals = 0;      // frames whose seal did not verify
  std::uint32_t rejected = 0;      // frames given up for their class, opcode or code bytes
  std::uint32_t flushes = 0;       // swallowed acks that emptied the parser
  std::uint32_t noSeparator = 0;   // sealed config or report frames without their 0x1F separators
  std::uint32_t insideDamaged = 0;  // whole frames found among a damaged frame's bytes, not acted on
  std::uint32_t rescanOverflows = 0;  // given-back bytes that would not fit to be searched again (never seen)
};

struct ReceiveParser {
  // Header matcher and accumulator. frame[0..2] always hold the magic; the
  // frame's bytes from its class byte on go to frame[3..count-1].
  std::uint8_t header = kHeaderIdle;
  std::uint32_t count = 3;         // bytes held, magic included
  std::uint32_t need = 0;          // count at which the next decision is taken
  std::uint8_t frame[kMaxReceivedFrame] = {kMagic0, kMagic1, kMagic2};

  // Bytes given back by a frame that was given up, searched again before
  // the rest of the chunk. Empty between calls of parserFeed.
  std::uint8_t rescan[kMaxReceivedFrame] = {};
  std::uint32_t rescanLen = 0;
  std::uint32_t rescanPos = 0;
  // Positions in the whole stream fed since parserInit: just past the byte
  // that completed the frame being decided, and just past the last byte of
  // the last frame with a bad seal (0: none yet).
  std::uint64_t streamAt = 0;
  std::uint64_t damagedUntil = 0;

  // Fields copied out of the last frame handled, and the texts built from them.
  char dev_name[kDeviceNameWidth + 1] = {};
  char dev_addr[kAddressWidth + 1] = {};
  std::uint8_t dev_ver[2] = {};
  char debugStr[100] = {};
  char hexDump[2 * kMaxReceivedFrame + 1] = {};

  ReceiveCounters counters;
};

// Readings of device reports held back so that several of them reach the
// UI thread in one call: each is applied to its tile, gives the tile its
// hover text (what a posted tooltip request would do) and is followed by
// its "trust" line, in the order the reports came. They go out before anything
// else the parser shows, and at the end of every feed.
struct PendingReading {
  int slot;
  char address[kAddressWidth + 1];
  int heartRate, rrInterval, battery;
  bool hoverText;  // give the tile its hover text here, as no request was posted
  char trustLine[24];
};
struct ReadingBatch {
  static constexpr int kCapacity = 8;
  PendingReading items[kCapacity];
  int count = 0;
};

// Somebody besides the console who wants every report (a recorder). Called
// on the feeding thread: `report` for each device report with a good seal
// and both separators, decoded (the name and address as the parser copied
// them, NUL-terminated), before the roster sees it; `badSeal` for each frame
// of any type whose seal did not verify; `dongle` with the dongle's line
// ("MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07", as the window shows it)
// for each configuration it sends. Any may be null. What the parser does
// with the frame is the same with or without a sink.
struct ReportSink {
  void (*report)(void* arg, const DeviceReport& report) = nullptr;
  void (*badSeal)(void* arg) = nullptr;
  void* arg = nullptr;
  void (*dongle)(void* arg, const char* line) = nullptr;
};

// Where the parser's effects go. view, words and roster must be set; the
// parser calls them on the thread that feeds it (the reader thread).
// Without `readings`, each reading is shown on its own.
struct ParserContext {
  View* view;
  LinkWords* words;
  DeviceRegistry* roster;
  ReadingBatch* readings = nullptr;
  const ReportSink* sink = nullptr;
};

// Puts the parser back to its starting state: nothing held, looking for a
// magic, counters zero.
void parserInit(ReceiveParser& parser);

// Feeds `n` bytes, in order, and carries out every frame they complete.
void parserFeed(ReceiveParser& parser, const ParserContext& context, const std::uint8_t* data, std::size_t n);

// Bytes the parser holds now toward a frame not yet complete: the part of
// the magic matched so far and the frame's bytes behind it.
std::uint32_t parserHeldBytes(const ReceiveParser& parser);

}  // namespace kv
