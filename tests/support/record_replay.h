// What the console should have applied of a simulated dongle's recorded
// byte stream: the stream fed to a parser of its own, as the console's
// reader meets it after its port pick (a soft reset awaiting its ack).
#pragma once

#include <string>

#include "console/null_view.h"
#include "link/link_words.h"
#include "link/parser.h"
#include "roster/roster.h"
#include "support/sim_record.h"

namespace kv::bench {

inline ReceiveCounters replayRecord(const std::string& path) {
  NullView view;
  LinkWords words;
  words.swallowNextAck = 1;
  TileBrushCache brushes;
  Roster roster(view, brushes);
  static ReceiveParser parser;
  parserInit(parser);
  const ParserContext context{&view, &words, &roster};
  test::forEachSimRecordLine(path, [&](const test::SimRecordLine& line) {
    if (!line.isEvent && line.tx) parserFeed(parser, context, line.bytes.data(), line.bytes.size());
  });
  return parser.counters;
}

}  // namespace kv::bench
