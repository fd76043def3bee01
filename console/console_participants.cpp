// The console's participants: File > "Participants...", "No participants",
// "Save heard devices as participants...", and the file read again when a
// coach changes it during the class.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "console/console.h"
#include "recording/csv.h"
#include "recording/output_file.h"

namespace kv {

namespace {

std::filesystem::path pathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// What tells a changed file from the one read: its time and size; 0 when it
// cannot be looked at.
std::int64_t stampOf(const std::string& path) {
  std::error_code ec;
  const auto time = std::filesystem::last_write_time(pathOf(path), ec);
  if (ec) return 0;
  const auto size = std::filesystem::file_size(pathOf(path), ec);
  if (ec) return 0;
  // Mixed in unsigned arithmetic: a file time in nanoseconds times 31 does
  // not fit a signed 64-bit number.
  const auto ticks = static_cast<std::uint64_t>(time.time_since_epoch().count());
  return static_cast<std::int64_t>(ticks * 31u + static_cast<std::uint64_t>(size));
}

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the file into force; false when it is refused (the table in force
// stays). What is wrong is kept for the status line.
bool readInto(ConsoleCore& core, const std::string& path) {
  auto table = std::make_shared<ParticipantTable>();
  const std::int64_t stamp = stampOf(path);
  const ParticipantsRead read = readParticipantsFile(path, table.get(), "Participants: " + fileNameOf(path));
  core.participantsStamp = stamp;
  if (read.refused) {
    std::snprintf(core.participantsProblem, sizeof core.participantsProblem, "%s", read.refusal.c_str());
    return false;
  }
  core.participants = table;
  core.recording.setParticipants(table);
  core.participantsProblem[0] = '\0';
  if (!read.problems.empty()) {
    std::string said = read.problems.front();
    if (read.problems.size() > 1) said += " (and " + std::to_string(read.problems.size() - 1) + " more)";
    std::snprintf(core.participantsProblem, sizeof core.participantsProblem, "%s", said.c_str());
  }
  return true;
}

}  // namespace

bool loadParticipants(ConsoleCore& core, const char* path) {
  const bool ok = readInto(core, path);
  // Watched even when refused: a file fixed (or plugged in) is read then.
  core.participantsPath = path;
  core.nextParticipantsLookMs = core.clock.nowMs() + kParticipantsLookEveryMs;
  showStatus(core);
  return ok;
}

void forgetParticipants(ConsoleCore& core) {
  core.participants.reset();
  core.recording.setParticipants(nullptr);
  core.participantsPath.clear();
  core.participantsProblem[0] = '\0';
  showStatus(core);
}

void watchParticipants(ConsoleCore& core) {
  if (core.participantsPath.empty()) return;
  const std::int64_t now = core.clock.nowMs();
  if (now < core.nextParticipantsLookMs) return;
  core.nextParticipantsLookMs = now + kParticipantsLookEveryMs;
  const std::int64_t stamp = stampOf(core.participantsPath);
  if (stamp == core.participantsStamp) return;
  // Changed (or gone): read again; a file that cannot be used now keeps the
  // table that was, and the status line says why.
  readInto(core, core.participantsPath);
}

bool saveHeardAsParticipants(ConsoleCore& core, const char* path, char* error, std::size_t size) {
  auto cell = [](std::string& out, const char* text) {
    char buffer[csvFieldRoom(kParticipantNameSize)];
    char* end = putCsvField(buffer, text);
    out.append(buffer, end);
  };
  // A spreadsheet opens UTF-8 right when the file says it is.
  std::string text = "\xEF\xBB\xBF" "address,device,name,max_hr,age\r\n";
  auto row = [&](const char* address12, const char* device, const Participant* known) {
    char colons[kColonAddressLength + 1];
    formatColonAddress(address12, 12, colons);
    text += colons;
    text += ',';
    cell(text, device);
    text += ',';
    if (known != nullptr) {
      cell(text, known->name);
      text += ',';
      if (known->maxHr > 0 && !known->maxHrFromAge) text += std::to_string(known->maxHr);
      text += ',';
      if (known->age > 0) text += std::to_string(known->age);
    } else {
      text += ",,";
    }
    text += "\r\n";
  };
  std::vector<HeardDevice> heard(DeviceTable::kMaxListed);
  std::uint64_t unlisted = 0;
  const int count = core.heard.snapshot(heard.data(), &unlisted);
  const ParticipantTable* people = core.participants.get();
  std::vector<bool> written(people != nullptr ? static_cast<std::size_t>(people->count()) : 0, false);
  for (int i = 0; i < count; ++i) {
    char address[13];
    // A device whose address is not twelve hexadecimal digits cannot be
    // named in the file (it would be refused when read).
    if (!normalAddress(std::string(heard[i].address, strnlen(heard[i].address, kAddressWidth)), address)) continue;
    char device[decodedTextSize(kDeviceNameWidth)];
    recordedName(device, heard[i].name);
    const Participant* known = people != nullptr ? people->find(address) : nullptr;
    if (known != nullptr) written[static_cast<std::size_t>(known - &people->at(0))] = true;
    row(address, device, known);
  }
  // The participants in force who were not heard are kept: saving over the
  // file loses none of them.
  for (int i = 0; people != nullptr && i < people->count(); ++i)
    if (!written[static_cast<std::size_t>(i)]) row(people->at(i).address, "", &people->at(i));

  int err = 0;
  OutputFile* out = outputCreate(path, true, &err);
  std::size_t n = 0;
  const std::atomic<bool> never{false};
  if (out == nullptr || outputWrite(out, text.data(), text.size(), &n, &err, never) != WriteOutcome::Written ||
      !outputSync(out, &err)) {
    outputClose(out);
    errorWords(err, error, size);
    return false;
  }
  outputClose(out);
  return true;
}

}  // namespace kv
