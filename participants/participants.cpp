#include "participants/participants.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/text.h"

namespace kv {

namespace {

// Windows-1252's 0x80 to 0x9F; 0 where it has no character.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The file's text as UTF-8: as it is when it is UTF-8 (its byte-order mark
// dropped), else read as Windows-1252.
std::string asUtf8(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  if (isValidUtf8(bytes.c_str())) return bytes;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else if (c < 0xA0) {
      const std::uint16_t cp = kCp1252High[c - 0x80];
      appendUtf8(out, cp != 0 ? cp : 0xFFFD);
    } else {
      appendUtf8(out, c);
    }
  }
  return out;
}

struct Record {
  int line = 0;  // where it begins, from 1
  std::vector<std::string> cells;
};

// Splits the text into records and cells as RFC 4180 gives it (a quoted
// cell may hold separators, quotes doubled and line breaks), with
// `separator` between cells. Blank records, records of empty cells and
// those beginning with # are left out.
std::vector<Record> records(const std::string& text, char separator) {
  std::vector<Record> out;
  Record r;
  std::string cell;
  bool quoted = false, cellStarted = false;
  int line = 1;
  r.line = 1;
  auto endCell = [&] {
    r.cells.push_back(cell);
    cell.clear();
    cellStarted = false;
  };
  auto endRecord = [&] {
    endCell();
    const bool comment = !r.cells.empty() && !r.cells[0].empty() && r.cells[0][0] == '#';
    bool empty = true;
    for (const std::string& c : r.cells)
      empty = empty && c.find_first_not_of(" \t") == std::string::npos;
    if (!comment && !empty) out.push_back(r);
    r = Record{};
    r.line = line;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        cell += c;
      }
      continue;
    }
    if (c == '"' && !cellStarted) {
      quoted = true;
      cellStarted = true;
    } else if (c == separator) {
      endCell();
    } else if (c == '\n') {
      if (!cell.empty() && cell.back() == '\r') cell.pop_back();
      ++line;
      endRecord();
    } else {
      cell += c;
      if (c != ' ') cellStarted = true;
    }
  }
  if (!cell.empty() || !r.cells.empty()) endRecord();
  return out;
}

// The separator the header line (the first line that is neither blank nor
// a comment) holds most of outside quotes: comma, semicolon or tab.
char separatorOf(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    int comma = 0, semicolon = 0, tab = 0;
    bool quoted = false;
    for (const char c : line) {
      if (c == '"') quoted = !quoted;
      if (quoted) continue;
      comma += c == ',';
      semicolon += c == ';';
      tab += c == '\t';
    }
    if (semicolon > comma && semicolon >= tab) return ';';
    if (tab > comma && tab > semicolon) return '\t';
    return ',';
  }
  return ',';
}

std::string trimmed(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  const std::size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// A header cell as a column's name: "Max HR" and "max-hr" are max_hr.
std::string columnName(const std::string& cell) {
  std::string n = trimmed(cell);
  for (char& c : n) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == ' ' || c == '-') c = '_';
  }
  return n;
}

// A value as a message may quote it: without control characters, cut.
std::string shown(const std::string& value) {
  char text[64];
  decodeText(text, sizeof text, value.c_str());
  return text;
}

// A whole number from `low` to `high`; a decimal (with . or ,) is rounded.
bool wholeNumber(const std::string& text, int low, int high, int* out) {
  std::string t = trimmed(text);
  std::replace(t.begin(), t.end(), ',', '.');
  if (t.empty() || t.size() > 12) return false;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(v)) return false;
  const long r = std::lround(v);
  if (r < low || r > high) return false;
  *out = static_cast<int>(r);
  return true;
}

std::string colonAddress(const char* address) {
  char out[kColonAddressLength + 1];
  formatColonAddress(address, 12, out);
  return out;
}

}  // namespace

bool normalAddress(const std::string& text, char* out13) {
  int n = 0;
  for (const char c : trimmed(text)) {
    if (c == ':' || c == '-' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)) || n == 12) return false;
    out13[n++] = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  out13[n] = '\0';
  return n == 12;
}

const Participant* ParticipantTable::find(const char* address) const {
  char key[13];
  std::string raw(address, strnlen(address, 12));
  if (raw.size() != 12 || !normalAddress(raw, key)) return nullptr;
  const auto it = std::lower_bound(people_.begin(), people_.end(), key,
                                   [](const Participant& p, const char* k) { return std::strcmp(p.address, k) < 0; });
  return it != people_.end() && std::strcmp(it->address, key) == 0 ? &*it : nullptr;
}

bool ParticipantTable::put(const Participant& p) {
  const auto it = std::lower_bound(people_.begin(), people_.end(), p.address, [](const Participant& a, const char* k) {
    return std::strcmp(a.address, k) < 0;
  });
  if (it != people_.end() && std::strcmp(it->address, p.address) == 0) {
    *it = p;
    return true;
  }
  if (count() >= kMaxParticipants) return false;
  people_.insert(it, p);
  return true;
}

int maxHrFromAge(int age) { return static_cast<int>(std::lround(208.0 - 0.7 * age)); }

int percentOfMax(int heartRate, int maxHr) {
  if (maxHr <= 0 || heartRate <= 0 || heartRate >= 255) return -1;
  return heartRate * 100 / maxHr;
}

Rgb zoneColour(int zone) {
  static constexpr Rgb kZones[6] = {
      {0x56, 0xB4, 0xE9},  // rest: sky blue
      {0x00, 0x72, 0xB2},  // 1: blue
      {0x00, 0x9E, 0x73},  // 2: bluish green
      {0xF0, 0xE4, 0x42},  // 3: yellow
      {0xE6, 0x9F, 0x00},  // 4: orange
      {0xD5, 0x5E, 0x00},  // 5: vermillion
  };
  return kZones[std::clamp(zone, 0, 5)];
}

int zoneOf(int heartRate, int maxHr) {
  const int pct = percentOfMax(heartRate, maxHr);
  if (pct < 0) return -1;
  if (pct < 50) return 0;
  return std::min(5, (pct - 40) / 10);
}

ParticipantsRead parseParticipants(const std::string& bytes, const std::string& file, ParticipantTable* table) {
  ParticipantsRead result;
  if (bytes.find('\0') != std::string::npos) {
    result.refused = true;
    result.refusal = file + " is not a text file";
    return result;
  }
  const std::string text = asUtf8(bytes);
  const std::vector<Record> rows = records(text, separatorOf(text));
  if (rows.empty()) {
    result.refused = true;
    result.refusal = file + " is empty: it needs a header line with an 'address' and a 'name' column";
    return result;
  }
  int address = -1, name = -1, maxHr = -1, age = -1;
  const Record& header = rows.front();
  for (std::size_t i = 0; i < header.cells.size(); ++i) {
    const std::string n = columnName(header.cells[i]);
    int* column = n == "address" ? &address : n == "name" ? &name : n == "max_hr" ? &maxHr : n == "age" ? &age : nullptr;
    if (column != nullptr && *column < 0) *column = static_cast<int>(i);
  }
  if (address < 0 || name < 0) {
    result.refused = true;
    result.refusal = file + " line " + std::to_string(header.line) + ": no " +
                     (address < 0 && name < 0 ? "'address' or 'name' column"
                      : address < 0           ? "'address' column"
                                              : "'name' column") +
                     " in the header";
    return result;
  }

  ParticipantTable read;
  struct Seen {
    char address[13];
    int line;
  };
  std::vector<Seen> seen;
  bool full = false;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const Record& row = rows[r];
    const std::string at = file + " line " + std::to_string(row.line) + ": ";
    auto cell = [&](int column) { return column >= 0 && static_cast<std::size_t>(column) < row.cells.size()
                                             ? trimmed(row.cells[static_cast<std::size_t>(column)])
                                             : std::string(); };
    Participant p;
    const std::string a = cell(address);
    if (a.empty()) {
      result.problems.push_back(at + "no address");
      continue;
    }
    if (!normalAddress(a, p.address)) {
      result.problems.push_back(at + "address '" + shown(a) + "' is not 12 hexadecimal digits");
      continue;
    }
    // The name: control characters shown as '?', at most so many characters.
    char decoded[kParticipantNameSize * 2];
    decodeText(decoded, sizeof decoded, cell(name).c_str());
    std::string n = trimmed(decoded);
    if (n.empty()) {
      result.problems.push_back(at + "no name for " + colonAddress(p.address));
      continue;
    }
    std::size_t chars = 0, cut = 0;
    for (; cut < n.size(); ++cut) {
      if ((static_cast<unsigned char>(n[cut]) & 0xC0) != 0x80 && chars++ == kParticipantNameCharacters) break;
    }
    n.resize(cut);
    std::snprintf(p.name, sizeof p.name, "%s", n.c_str());
    const std::string hr = cell(maxHr), years = cell(age);
    if (!hr.empty()) {
      if (!wholeNumber(hr, kMinMaxHr, kMaxMaxHr, &p.maxHr)) {
        result.problems.push_back(at + "max_hr '" + shown(hr) + "' is not a number from " + std::to_string(kMinMaxHr) +
                                  " to " + std::to_string(kMaxMaxHr));
        continue;
      }
    } else if (!years.empty()) {
      int y = 0;
      if (!wholeNumber(years, kMinAge, kMaxAge, &y)) {
        result.problems.push_back(at + "age '" + shown(years) + "' is not a number from " + std::to_string(kMinAge) +
                                  " to " + std::to_string(kMaxAge));
        continue;
      }
      p.maxHr = maxHrFromAge(y);
      p.age = y;
      p.maxHrFromAge = true;
    }
    const auto before = std::find_if(seen.begin(), seen.end(),
                                     [&](const Seen& s) { return std::strcmp(s.address, p.address) == 0; });
    if (before != seen.end()) {
      result.problems.push_back(at + colonAddress(p.address) + " is on line " + std::to_string(before->line) +
                                " too; this line counts");
      before->line = row.line;
    } else if (read.count() >= kMaxParticipants) {
      if (!full) result.problems.push_back(at + "more than " + std::to_string(kMaxParticipants) +
                                           " participants; this line and those after it are left out");
      full = true;
      continue;
    } else {
      Seen s{};
      std::memcpy(s.address, p.address, sizeof s.address);
      s.line = row.line;
      seen.push_back(s);
    }
    read.put(p);
  }
  *table = read;
  return result;
}

ParticipantsRead readParticipantsFile(const std::string& path, ParticipantTable* table, const std::string& label) {
  ParticipantsRead result;
  const std::filesystem::path p(std::u8string(path.begin(), path.end()));
  const std::string file = label.empty() ? path : label;
  std::error_code ec;
  const auto status = std::filesystem::status(p, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    result.refused = true;
    result.refusal = file + " cannot be read: it is not there";
    return result;
  }
  if (ec) {
    result.refused = true;
    result.refusal = file + " cannot be read: " + ec.message();
    return result;
  }
  if (!std::filesystem::is_regular_file(status)) {
    result.refused = true;
    result.refusal = file + " is not a file";
    return result;
  }
  const auto size = std::filesystem::file_size(p, ec);
  if (!ec && size > kMaxParticipantsFileBytes) {
    result.refused = true;
    result.refusal = file + " is too big for a participants file (" + std::to_string(size / 1024) +
                     " KB; at most " + std::to_string(kMaxParticipantsFileBytes / 1024) + " KB)";
    return result;
  }
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    result.refused = true;
    result.refusal = file + " cannot be read";
    return result;
  }
  std::string bytes;
  bytes.resize(kMaxParticipantsFileBytes + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > kMaxParticipantsFileBytes) {
    result.refused = true;
    result.refusal = file + " is too big for a participants file (at most " +
                     std::to_string(kMaxParticipantsFileBytes / 1024) + " KB)";
    return result;
  }
  return parseParticipants(bytes, file, table);
}

}  // namespace kv
