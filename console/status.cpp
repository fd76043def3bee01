#include "console/status.h"

#include <cstdio>

#include "console/watch.h"
#include "link/serial_port.h"

namespace kv {

void formatStatus(const StatusFacts& f, char* out) {
  const PortState& p = f.port;
  const bool named = p.name[0] != '\0';
  // What has gone wrong, the port's own troubles first.
  if (named && p.lost) {
    std::snprintf(out, kStatusTextSize, "Port %s lost", p.name);
    return;
  }
  if (named && p.failed) {
    char why[kPortTextSize];
    describeOpenFailure(p.failRc, p.name, why);
    // A long path leaves less room for the words: the line is cut short.
    if (std::snprintf(out, kStatusTextSize, "Port %s: %s", p.name, why) < 0) out[0] = '\0';
    return;
  }
  const RecordingFacts& r = f.recording;
  if (r.fault[0] != '\0') {
    std::snprintf(out, kStatusTextSize, "Recording stopped: %s (%llu rows kept in %s)", r.fault,
                  static_cast<unsigned long long>(r.rows), r.name);
    return;
  }
  if (f.noAnswer) {
    if (named && p.open) {
      std::snprintf(out, kStatusTextSize, "Port %s: no answer from the dongle", p.name);
    } else {
      std::snprintf(out, kStatusTextSize, "No port open: no answer from the dongle");
    }
    return;
  }
  if (named && p.open && f.scanning) {
    const std::int64_t heard = p.lastInputMs != 0 ? p.lastInputMs : p.openedMs;
    const std::int64_t quiet = f.nowMs - heard;
    if (quiet >= kDongleQuietAfterMs) {
      std::snprintf(out, kStatusTextSize, "Port %s: no data from the dongle for %lld s", p.name,
                    static_cast<long long>(quiet / 1000));
      return;
    }
  }
  if (r.running && (r.lost != 0 || r.remade)) {
    char trouble[160] = "";
    if (r.lost != 0)
      std::snprintf(trouble, sizeof trouble, ", %llu rows LOST: the disk cannot keep up",
                    static_cast<unsigned long long>(r.lost));
    std::snprintf(out, kStatusTextSize, "Recording to %s: %llu rows%s%s", r.name, static_cast<unsigned long long>(r.rows),
                  trouble, r.remade ? "; the file was deleted and made again" : "");
    return;
  }
  // The answers to the operator's own acts, for the few seconds they last:
  // also while the participants file has a fault, also while recording.
  if (r.running && r.mark != 0) {
    std::snprintf(out, kStatusTextSize, "Mark %llu", static_cast<unsigned long long>(r.mark));
    return;
  }
  if (r.note[0] != '\0') {
    std::snprintf(out, kStatusTextSize, "%s", r.note);
    return;
  }
  if (f.participants != nullptr && f.participants[0] != '\0') {
    std::snprintf(out, kStatusTextSize, "%s", f.participants);
    return;
  }
  if (r.running) {
    std::snprintf(out, kStatusTextSize, "Recording to %s: %llu rows%s", r.name, static_cast<unsigned long long>(r.rows),
                  named && p.open ? "" : "; no port open");
    return;
  }
  if (!named || !p.open) {
    // Nothing open: what opening the list found, if it found a port the
    // user may not open, is what to do next.
    if (f.listHint != nullptr && f.listHint[0] != '\0') {
      std::snprintf(out, kStatusTextSize, "%s", f.listHint);
      return;
    }
    std::snprintf(out, kStatusTextSize, "No port open: pick the dongle's port in the list");
  } else if (f.scanning) {
    std::snprintf(out, kStatusTextSize, "Port %s open, scanning", p.name);
  } else {
    std::snprintf(out, kStatusTextSize, "Port %s open", p.name);
  }
}

}  // namespace kv
