#include "report/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "participants/participants.h"

namespace kv::report {

namespace {

// At most this many problems are listed; the rest are counted.
constexpr std::size_t kProblemsListed = 20;

// A row's cells past this many, and a cell's bytes past this many, are
// passed over: a recording's row has 15 cells of at most a few hundred
// bytes, and a line of a million commas (or a quote never closed) would
// otherwise take many times its own size in memory.
constexpr std::size_t kMostCells = 1024;
constexpr std::size_t kLongestCell = 1 << 16;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(const char* s, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

// "2026-12-09T15:34:19.123Z" as milliseconds since 1970.
bool isoMs(const std::string& t, std::int64_t* out) {
  int y, mo, d, h, mi, s, ms;
  if (t.size() != 24 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != '.' ||
      t[23] != 'Z' || !digits(&t[0], 4, &y) || !digits(&t[5], 2, &mo) || !digits(&t[8], 2, &d) ||
      !digits(&t[11], 2, &h) || !digits(&t[14], 2, &mi) || !digits(&t[17], 2, &s) || !digits(&t[20], 3, &ms) ||
      mo < 1 || mo > 12 || d < 1 || d > 31)
    return false;
  *out = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400000 +
         ((h * 60 + mi) * 60 + s) * 1000LL + ms;
  return true;
}

// "12.345" as milliseconds; false when it is not such a number.
bool secondsMs(const std::string& text, std::int64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e10) return false;
  *out = std::llround(v * 1000.0);
  return true;
}

// A whole number from `low` to `high`; an empty cell is `none`.
bool cellNumber(const std::string& text, int low, int high, int none, int* out) {
  if (text.empty()) {
    *out = none;
    return true;
  }
  if (text.size() > 6) return false;
  int v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// A cell as written: an apostrophe put in front so that a spreadsheet
// would not take it for a formula is not part of the text.
std::string unguarded(std::string cell) {
  if (cell.size() >= 2 && cell[0] == '\'' && std::strchr("=+-@\t\r", cell[1]) != nullptr) cell.erase(0, 1);
  return cell;
}

// A cell's text for a message: short, without control characters.
std::string shown(const std::string& text) {
  std::string out;
  for (const char c : text.substr(0, 24)) out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  return out;
}

// The recording's bytes, a block at a time: a recording is never held in
// memory whole (one of a day is gigabytes; what is kept of a row is a
// tenth of its text).
class Source {
 public:
  explicit Source(std::istream& in) : in_(in), buffer_(1 << 16) {}

  // The next byte; false at the end.
  bool next(char* c) {
    if (at_ == size_ && !fill()) return false;
    *c = buffer_[at_++];
    return true;
  }
  // The next byte, left to come; false at the end.
  bool peek(char* c) {
    if (at_ == size_ && !fill()) return false;
    *c = buffer_[at_];
    return true;
  }
  // Reads what is left.
  void drain() {
    while (fill()) {
    }
  }
  // A NUL byte came: it is no text.
  bool sawNul() const { return nul_; }

 private:
  bool fill() {
    in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    size_ = static_cast<std::size_t>(in_.gcount());
    at_ = 0;
    if (std::memchr(buffer_.data(), '\0', size_) != nullptr) nul_ = true;
    return size_ > 0;
  }

  std::istream& in_;
  std::vector<char> buffer_;
  std::size_t at_ = 0, size_ = 0;
  bool nul_ = false;
};

class Parser {
 public:
  Parser(std::istream& in, Session* s) : source_(in), s_(s) {}

  bool run(std::string* refusal) {
    const bool read = runText(refusal);
    // A file with a NUL byte anywhere is no recording, whatever came first.
    if (!read) source_.drain();
    if (source_.sawNul()) {
      *refusal = "it is not a text file";
      return false;
    }
    return read;
  }

 private:
  bool runText(std::string* refusal) {
    std::vector<std::string> header;
    bool ended = false;
    std::uint64_t headerLine = 0;
    while (header.empty()) {
      headerLine = line_;
      if (!nextRow(&header, &ended)) {
        *refusal = "it is empty";
        return false;
      }
      if (header.size() == 1 && header[0].empty()) header.clear();
    }
    // A file saved with a byte-order mark.
    if (header[0].compare(0, 3, "\xEF\xBB\xBF") == 0) header[0].erase(0, 3);
    for (std::size_t i = 0; i < header.size(); ++i) {
      const std::string& n = header[i];
      int* column = n == "time"         ? &time_
                    : n == "seconds"    ? &seconds_
                    : n == "address"    ? &address_
                    : n == "name"       ? &name_
                    : n == "brand"      ? &brand_
                    : n == "heart_rate" ? &heartRate_
                    : n == "rr_ms"      ? &rr_
                    : n == "marker"     ? &marker_
                    : n == "person"     ? &person_
                    : n == "max_hr"     ? &maxHr_
                                        : nullptr;
      if (column != nullptr && *column < 0) *column = static_cast<int>(i);
    }
    if (address_ < 0 || seconds_ < 0 || heartRate_ < 0) {
      *refusal = "it is not a recording: line " + std::to_string(headerLine) +
                 " has no address, seconds and heart_rate columns";
      return false;
    }
    columns_ = header.size();
    std::vector<std::string> row;
    while (true) {
      const std::uint64_t at = line_;
      if (!nextRow(&row, &ended)) break;
      if (source_.sawNul()) return false;
      if (!ended) {
        problem(at, "cut short (the recording ends in the middle of a row); left out");
        break;
      }
      if (row.size() == 1 && row[0].empty()) continue;
      take(at, row);
    }
    finish();
    return true;
  }

  // The next row's cells (RFC 4180); false at the end of the text.
  // *ended: the row ended with a line break, as every whole row does.
  bool nextRow(std::vector<std::string>* cells, bool* ended) {
    cells->clear();
    char c = 0;
    if (!source_.peek(&c)) return false;
    std::string cell;
    bool quoted = false;
    *ended = false;
    while (source_.next(&c)) {
      if (quoted) {
        char after = 0;
        if (c == '"') {
          if (source_.peek(&after) && after == '"') {
            cell += '"';
            source_.next(&after);
          } else {
            quoted = false;
          }
        } else {
          if (c == '\n') ++line_;
          if (cell.size() < kLongestCell) cell += c;
        }
      } else if (c == '"' && cell.empty()) {
        quoted = true;
      } else if (c == ',') {
        if (cells->size() < kMostCells) cells->push_back(std::move(cell));
        cell.clear();
      } else if (c == '\n') {
        ++line_;
        *ended = true;
        break;
      } else if (c != '\r' && cell.size() < kLongestCell) {
        cell += c;
      }
    }
    if (cells->size() < kMostCells) cells->push_back(std::move(cell));
    return true;
  }

  void problem(std::uint64_t line, const std::string& what) {
    if (s_->problems.size() < kProblemsListed) {
      s_->problems.push_back("line " + std::to_string(line) + ": " + what);
    } else {
      ++unlisted_;
    }
  }

  const std::string& cell(const std::vector<std::string>& row, int column) const {
    static const std::string none;
    return column >= 0 && static_cast<std::size_t>(column) < row.size() ? row[static_cast<std::size_t>(column)] : none;
  }

  void take(std::uint64_t line, const std::vector<std::string>& row) {
    if (row.size() < columns_) {
      problem(line, std::to_string(row.size()) + " cells where the header has " + std::to_string(columns_) +
                        "; left out");
      return;
    }
    std::int64_t ms = 0;
    if (!secondsMs(cell(row, seconds_), &ms)) {
      problem(line, "seconds '" + shown(cell(row, seconds_)) + "' is not a number of seconds; left out");
      return;
    }
    std::int64_t unixMs = 0;
    if (!timeKnown_ && time_ >= 0 && isoMs(cell(row, time_), &unixMs)) {
      s_->startUnixMs = unixMs - ms;
      timeKnown_ = true;
    }
    if (brand_ >= 0 && cell(row, brand_) == "dongle") {
      // The dongle's row: who it was (and whether it changed).
      const std::string& line = cell(row, name_);
      if (std::find(s_->dongles.begin(), s_->dongles.end(), line) == s_->dongles.end()) {
        if (s_->dongles.size() < kDongleLinesKept) s_->dongles.push_back(line);
        else ++s_->otherDongleRows;
      }
      see(ms);
      return;
    }
    const std::string& marker = cell(row, marker_);
    if (!marker.empty()) {
      s_->markers.push_back(Marker{ms, unguarded(marker)});
      see(ms);
      return;
    }
    int hr = 0, rr = 0;
    if (!cellNumber(cell(row, heartRate_), 0, 255, 0, &hr)) {
      problem(line, "heart_rate '" + shown(cell(row, heartRate_)) + "' is not a number from 0 to 255; left out");
      return;
    }
    if (!cellNumber(cell(row, rr_), 0, 65535, 0, &rr)) {
      problem(line, "rr_ms '" + shown(cell(row, rr_)) + "' is not a number from 0 to 65535; left out");
      return;
    }
    const std::string address = unguarded(cell(row, address_));
    auto [it, fresh] = index_.try_emplace(address, static_cast<int>(s_->devices.size()));
    if (fresh) {
      s_->devices.emplace_back();
      s_->devices.back().address = address;
    }
    Device& d = s_->devices[static_cast<std::size_t>(it->second)];
    if (name_ >= 0) d.name = unguarded(cell(row, name_));
    const std::string& person = cell(row, person_);
    if (!person.empty()) d.person = unguarded(person);
    int maxHr = 0;
    if (cellNumber(cell(row, maxHr_), 1, 255, 0, &maxHr) && maxHr > 0) d.maxHr = maxHr;
    if (!d.samples.empty() && ms < d.samples.back().ms) ++outOfOrder_;
    d.samples.push_back(Sample{ms, static_cast<std::uint8_t>(hr == 255 ? 0 : hr),
                               static_cast<std::uint16_t>(rr == 65535 ? 0 : rr)});
    see(ms);
  }

  void see(std::int64_t ms) {
    if (!s_->hasTimes || ms < s_->firstMs) s_->firstMs = ms;
    if (!s_->hasTimes || ms > s_->lastMs) s_->lastMs = ms;
    s_->hasTimes = true;
    ++s_->rows;
  }

  void finish() {
    if (outOfOrder_ != 0) {
      for (Device& d : s_->devices)
        std::stable_sort(d.samples.begin(), d.samples.end(), [](const Sample& a, const Sample& b) { return a.ms < b.ms; });
      s_->problems.push_back(std::to_string(outOfOrder_) + " rows were out of time order; they are put in order");
    }
    std::stable_sort(s_->markers.begin(), s_->markers.end(),
                     [](const Marker& a, const Marker& b) { return a.ms < b.ms; });
    if (unlisted_ != 0) s_->problems.push_back("and " + std::to_string(unlisted_) + " more problems");
  }

  Source source_;
  Session* s_;
  std::uint64_t line_ = 1;
  std::size_t columns_ = 0;
  int time_ = -1, seconds_ = -1, address_ = -1, name_ = -1, brand_ = -1, heartRate_ = -1, rr_ = -1, marker_ = -1, person_ = -1,
      maxHr_ = -1;
  bool timeKnown_ = false;
  std::uint64_t outOfOrder_ = 0;
  std::uint64_t unlisted_ = 0;
  std::unordered_map<std::string, int> index_;
};

}  // namespace

bool readSession(std::istream& in, Session* session, std::string* refusal) {
  *session = Session{};
  if (Parser(in, session).run(refusal)) return true;
  *session = Session{};
  return false;
}

bool readSessionFile(const std::string& path, Session* session, std::string* refusal) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) {
    *refusal = "it cannot be read";
    return false;
  }
  return readSession(in, session, refusal);
}

}  // namespace kv::report

namespace kv::report {

void nameParticipants(Session* session, const ParticipantTable& people) {
  for (Device& d : session->devices) {
    if (!d.person.empty()) continue;
    const Participant* p = people.find(d.address.c_str());
    if (p == nullptr) continue;
    d.person = p->name;
    d.maxHr = p->maxHr;
  }
}

}  // namespace kv::report
