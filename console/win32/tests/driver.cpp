// koravel_test_driver: works a running Koravel console from outside, as an
// operator's clicks would, and reads its controls back. The Wine test run
// (run-wine-tests.sh) calls it once per step of a scenario:
//
//   driver startup PORT...            the window as it starts: title, ports, texts, layout
//   driver pick SUFFIX DONGLE_LINE    pick the port whose name ends with SUFFIX
//   driver scan RECORD                start the scan, check tiles and tooltips, link tiles
//   driver roster                     unlink/relink, "Clear Useless", the log buttons, the trim
//   driver about                      open the About box from the menu command and close it
//   driver about-wait                 an About box opened otherwise (keys) shows; close it
//   driver stop                       stop the scan: the roster is emptied
//   driver exit | close               File > Exit, or close the window; times the process to its end
//   driver start-unplugged            Start after the dongle has gone: the send fails
//   driver pick-gone SUFFIX           pick a port that has gone since start-up
//   driver out-of-space               fill the log until it is full
//   driver silence RECORD DEV         scan, link tiles; device DEV falls silent
//   driver silence-over RECORD DEV OFFSET   ... and is live again
//   driver stall RECORD               scan; the dongle hangs; then Stop gets no answer
//   driver no-answer SUFFIX           pick a port whose dongle answers nothing, Start
//   driver port-list SELECTED PORT... open the list: it holds exactly these ports
//   driver watch-lost                 report when the status line says the port is lost
//   driver link-all RECORD            start the scan and link every device's tile (the Wine benchmark)
//   driver record PATH                File > Record readings... to PATH, two marks, Stop recording; the rows
//   driver report PATH BROWSED        File > Session report... of PATH: the page, opened in the browser
//   driver participants RECORD PATH  File > Participants... with a file written to PATH; the class display
//   driver participants-remembered RECORD PATH   the file of the last run is in force at the start
//   driver dpi DPI                   the layout and the class display at DPI dots per inch
//   driver browsed FILE URL           (the browser's stand-in: writes URL into FILE)
//
// RECORD is the simulated dongle's record (its header names the devices; the
// steps that time the console against the dongle read its frames and
// events too). OFFSET maps the record's clock to this one (printed by the
// silence step).
// Every check prints "ok - ..." or "not ok - ..."; lines beginning "INFO"
// carry values for the script. The exit status is 1 when a check failed.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "console/class_display.h"
#include "console/layout.h"

namespace {

constexpr UINT kSendTimeoutMs = 10000;
constexpr int kTiles = 40;
constexpr int kFirstTile = 400;
constexpr int kStatusLine = 45;
constexpr int kLinkedCount = 390;

int g_failed = 0;
int g_passed = 0;
HWND g_main = nullptr;

void check(bool ok, const char* what, const char* detailFormat = nullptr, ...) {
  if (ok) {
    ++g_passed;
    std::printf("ok - %s\n", what);
  } else {
    ++g_failed;
    char detail[1024] = "";
    if (detailFormat != nullptr) {
      va_list args;
      va_start(args, detailFormat);
      std::vsnprintf(detail, sizeof detail, detailFormat, args);
      va_end(args);
    }
    std::printf("not ok - %s%s%s\n", what, detail[0] ? ": " : "", detail);
  }
  std::fflush(stdout);
}

[[noreturn]] void fatal(const char* what) {
  std::printf("not ok - %s\n", what);
  std::fflush(stdout);
  std::exit(1);
}

// Milliseconds since 1970 (the same clock as the host's).
double epochMs() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return static_cast<double>(t.QuadPart - 116444736000000000ULL) / 10000.0;
}

// A synchronous message that gives up (and fails the run) when the console
// does not answer: a hung console must not hang the test.
LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
    if (!::IsWindow(window)) return 0;
    char what[128];
    std::snprintf(what, sizeof what, "the console answers message 0x%x (error %lu)", message, ::GetLastError());
    fatal(what);
  }
  return static_cast<LRESULT>(result);
}

LRESULT sendW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result))
    fatal("the console answers a wide message");
  return static_cast<LRESULT>(result);
}

HWND item(int id) { return ::GetDlgItem(g_main, id); }

std::string textOf(HWND window) {
  const auto length = static_cast<int>(send(window, WM_GETTEXTLENGTH));
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const auto got = static_cast<int>(send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return text;
}

std::string textOf(int id) { return textOf(item(id)); }
std::string tileText(int slot) { return textOf(kFirstTile + slot); }

// A combo box item's text. Across processes only the wide form is carried
// over (Wine).
std::string comboItem(HWND combo, int index) {
  const auto length = static_cast<int>(sendW(combo, CB_GETLBTEXTLEN, index, 0));
  if (length < 0) return "<CB_ERR>";
  std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
  sendW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(wide.data()));
  char narrow[512] = "";
  ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

void click(int id) { send(item(id), BM_CLICK); }

template <class F>
bool waitFor(F condition, int timeoutMs, int stepMs = 20) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount64() >= deadline) return condition();
    ::Sleep(static_cast<DWORD>(stepMs));
  }
}

// The main window once it is up: it exists as soon as its creation begins,
// but is shown only when all its controls are there.
void findMain(int timeoutMs) {
  waitFor([] { return (g_main = ::FindWindowA("MAIN", nullptr)) != nullptr && ::IsWindowVisible(g_main); },
          timeoutMs, 50);
  if (g_main == nullptr || !::IsWindowVisible(g_main)) fatal("the console's window \"MAIN\" is up");
}

std::string show(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// A control's rectangle in the main window's client coordinates.
RECT placeOf(HWND window) {
  RECT r{};
  ::GetWindowRect(window, &r);
  ::MapWindowPoints(HWND_DESKTOP, g_main, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool placedAt(int id, int x, int y, int w, int h, bool checkHeight = true) {
  const RECT r = placeOf(item(id));
  const bool ok = r.left == x && r.top == y && r.right - r.left == w && (!checkHeight || r.bottom - r.top == h);
  if (!ok) {
    std::printf("# control %d is at %ld,%ld size %ldx%ld, expected %d,%d %dx%d\n", id, r.left, r.top, r.right - r.left,
                r.bottom - r.top, x, y, w, h);
  }
  return ok;
}

// The tooltip windows owned by the main window.
std::vector<HWND> tooltips() {
  struct Ctx {
    std::vector<HWND> found;
  } ctx;
  ::EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        char cls[64] = "";
        ::GetClassNameA(w, cls, sizeof cls);
        if (std::strcmp(cls, "tooltips_class32") == 0 && ::GetWindow(w, GW_OWNER) == g_main)
          reinterpret_cast<Ctx*>(p)->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}

// A tool as the tooltip in the console's process holds it: which window it
// is for and its text. The record and the text buffer have to live in that
// process, so they are placed there.
struct RemoteTool {
  bool ok = false;
  HWND forWindow = nullptr;
  std::string text;
};

RemoteTool firstTool(HWND tooltip) {
  RemoteTool tool;
  DWORD pid = 0;
  ::GetWindowThreadProcessId(tooltip, &pid);
  HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process == nullptr) return tool;
  auto* remote = static_cast<char*>(::VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (remote != nullptr) {
    TOOLINFOA ti;
    std::memset(&ti, 0, sizeof ti);
    ti.cbSize = sizeof ti;
    ti.lpszText = remote + 1024;
    char text[256] = "";
    if (::WriteProcessMemory(process, remote, &ti, sizeof ti, nullptr) &&
        ::WriteProcessMemory(process, remote + 1024, text, sizeof text, nullptr) &&
        send(tooltip, TTM_ENUMTOOLSA, 0, reinterpret_cast<LPARAM>(remote)) != 0 &&
        ::ReadProcessMemory(process, remote, &ti, sizeof ti, nullptr) &&
        ::ReadProcessMemory(process, remote + 1024, text, sizeof text - 1, nullptr)) {
      tool.ok = true;
      tool.forWindow = reinterpret_cast<HWND>(ti.uId);
      tool.text = text;
    }
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  ::CloseHandle(process);
  return tool;
}

// ---- the simulated devices ----

struct Device {
  std::string address;
  std::string name;
};

std::vector<Device> readDevices(const char* recordPath) {
  std::vector<Device> devices;
  std::ifstream in(recordPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# device=", 0) != 0) continue;
    const auto a = line.find(" address=");
    const auto n = line.find(" name=");
    if (a == std::string::npos || n == std::string::npos) continue;
    Device d;
    d.address = line.substr(a + 9, n - a - 9);
    d.name = line.substr(n + 6);
    while (!d.name.empty() && (d.name.back() == '\r' || d.name.back() == ' ')) d.name.pop_back();
    devices.push_back(d);
  }
  return devices;
}

std::string colonAddress(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size() && i < 12; i += 2) {
    if (!out.empty()) out += ':';
    out += hex.substr(i, 2);
  }
  return out;
}

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

// A device's name as its frames carry it is padded with blanks.
std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool isLinkedText(const std::string& text) {
  static const std::regex re("[^\n]+\nHR: [0-9]+( , RR: [0-9]+)?\nBat: [0-9]+%");
  return std::regex_match(text, re);
}

bool isIdleText(const std::string& text) {
  return text.size() > 2 && text.compare(text.size() - 2, 2, "\n\n") == 0 && firstLine(text).size() == text.size() - 2;
}

int occupiedTiles() {
  int n = 0;
  for (int i = 0; i < kTiles; ++i) n += tileText(i) != "empty";
  return n;
}

// ---- steps ----

void stepStartup(int argc, char** argv) {
  findMain(20000);
  check(textOf(g_main) == "Koravel  v2.0a", "the title is \"Koravel  v2.0a\"", "got \"%s\"", textOf(g_main).c_str());

  const LONG style = ::GetWindowLongA(g_main, GWL_STYLE);
  check((style & (WS_SYSMENU | WS_MINIMIZEBOX)) == (WS_SYSMENU | WS_MINIMIZEBOX) &&
            (style & (WS_THICKFRAME | WS_MAXIMIZEBOX)) == 0,
        "the window has a system menu and a minimise box, no sizing border or maximise box", "style 0x%lx",
        style);
  RECT wr{};
  ::GetWindowRect(g_main, &wr);
  check(wr.left == 50 && wr.top == 50 && wr.right - wr.left == 1024 && wr.bottom - wr.top == 768,
        "the window is at 50,50, 1024 x 768", "%ld,%ld %ldx%ld", wr.left, wr.top, wr.right - wr.left,
        wr.bottom - wr.top);
  check(::GetMenu(g_main) != nullptr, "the window has its menu");

  HWND combo = item(150);
  const auto count = static_cast<int>(send(combo, CB_GETCOUNT));
  std::string listed;
  for (int i = 0; i < count; ++i) listed += comboItem(combo, i) + " ";
  bool same = count == argc;
  for (int i = 0; same && i < count; ++i) same = comboItem(combo, i) == argv[i];
  check(same, "the port list holds exactly the ports present", "listed: %s", listed.c_str());
  check(send(combo, CB_GETCURSEL) == CB_ERR, "no port is selected");

  check(textOf(8) == "Step 1 : COM Port", "label \"Step 1 : COM Port\"");
  check(textOf(17) == "Start ...", "Start reads \"Start ...\"", "got \"%s\"", textOf(17).c_str());
  check(textOf(44) == "Clear Useless", "\"Clear Useless\" is there");
  check(textOf(7) == "Clear Log", "\"Clear Log\" is there");
  check(textOf(28) == "Stop Log", "the log button reads \"Stop Log\"", "got \"%s\"", textOf(28).c_str());
  check(textOf(40).empty() && textOf(390).empty(), "the dongle line and the linked count are empty");
  check(textOf(kStatusLine) == "No port open: pick the dongle's port in the list",
        "the status line asks for the dongle's port", "got \"%s\"", textOf(kStatusLine).c_str());
  int empties = 0;
  for (int i = 0; i < kTiles; ++i) empties += tileText(i) == "empty";
  check(empties == kTiles, "40 tiles read \"empty\"", "%d do", empties);
  check(send(item(5), EM_GETLIMITTEXT) == 2097152, "the log holds at most 2,097,152 characters");

  // The layout, also after further WM_SIZE messages.
  for (int pass = 0; pass < 2; ++pass) {
    bool tilesOk = true;
    for (int i = 0; i < kTiles; ++i)
      tilesOk = placedAt(kFirstTile + i, 10 + 246 * (i / 10), 76 + 63 * (i % 10), 246, 58) && tilesOk;
    check(tilesOk, pass == 0 ? "the tiles fill the grid by columns" : "the tiles stay in place after WM_SIZE");
    const bool bandOk = placedAt(8, 30, 10, 150, 30) && placedAt(150, 30, 40, 150, 100, false) &&
                        placedAt(17, 210, 40, 150, 35) && placedAt(44, 390, 40, 150, 35) &&
                        placedAt(40, 594, 5, 350, 30) && placedAt(390, 250, 5, 60, 30);
    check(bandOk, pass == 0 ? "the operator controls are in place" : "the operator controls stay after WM_SIZE");
    const bool cornerOk = placedAt(5, 0, 0, 10, 10) && placedAt(7, 0, 0, 10, 10) && placedAt(28, 0, 0, 10, 10);
    check(cornerOk, pass == 0 ? "log, \"Clear Log\" and the log button are 10 x 10 at 0,0"
                              : "log, \"Clear Log\" and the log button stay 10 x 10 at 0,0 after WM_SIZE");
    check(placedAt(kStatusLine, 560, 40, 434, 34),
          pass == 0 ? "the status line is at 560,40, 434 x 34, right of \"Clear Useless\""
                    : "the status line stays in place after WM_SIZE");
    RECT client{};
    ::GetClientRect(g_main, &client);
    send(g_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    send(g_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200));
  }

  const auto tips = tooltips();
  int tools = 0;
  for (HWND t : tips) tools += static_cast<int>(send(t, TTM_GETTOOLCOUNT));
  check(tips.size() == kTiles, "40 tooltip windows are owned by the main window", "%zu are", tips.size());
  check(tools == 0, "no tooltip has a tool yet", "%d tools", tools);
}

// Picks the listed port whose name ends with `suffix`, as the operator's
// choice in the list does; returns its name.
std::string pickPort(const char* suffix) {
  HWND combo = item(150);
  const auto count = static_cast<int>(send(combo, CB_GETCOUNT));
  int index = -1;
  std::string name;
  for (int i = 0; i < count && index < 0; ++i) {
    name = comboItem(combo, i);
    if (name.size() >= std::strlen(suffix) && name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
      index = i;
  }
  if (index < 0) fatal("the port to pick is listed");
  send(combo, CB_SETCURSEL, index);
  // The combo box tells its parent itself only for the user's own picks.
  const double before = epochMs();
  std::printf("INFO pick_ms=%.3f\n", before);
  send(g_main, WM_COMMAND, MAKEWPARAM(150, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  const double took = epochMs() - before;
  std::printf("INFO pick_took_ms=%.1f\n", took);
  check(took >= 140 && took < 3000, "the port pick waits about 150 ms before asking for the configuration",
        "took %.1f ms", took);
  check(send(combo, CB_GETCURSEL) == index, "the picked port stays selected");
  return name;
}

bool logHas(const std::string& what) { return textOf(5).find(what) != std::string::npos; }

std::string statusText() { return textOf(kStatusLine); }

// The port picked in the list, "" for none.
std::string pickedPort() {
  HWND combo = item(150);
  const auto index = static_cast<int>(send(combo, CB_GETCURSEL));
  return index < 0 ? std::string() : comboItem(combo, index);
}

// Waits until the status line reads `want` (it is brought up to date at
// least once a second); false, and the text it read, when it did not.
bool statusBecomes(const std::string& want, int timeoutMs = 2500) {
  const bool ok = waitFor([&] { return statusText() == want; }, timeoutMs);
  if (!ok) std::printf("# status line \"%s\", want \"%s\"\n", statusText().c_str(), want.c_str());
  return ok;
}

void stepPick(const char* suffix, const char* dongleLine) {
  findMain(5000);
  const std::string name = pickPort(suffix);
  check(statusText() == "Port " + name + " open", "the status line says the picked port is open", "got \"%s\"",
        statusText().c_str());

  const std::string want = dongleLine;
  const bool shown = waitFor([&] { return textOf(40) == want; }, 5000);
  check(shown, "the dongle line shows the dongle's configuration", "got \"%s\", want \"%s\"", textOf(40).c_str(),
        dongleLine);
  const std::string opened = "Port " + name + " opened\r\n";
  check(logHas(opened), "the log says the port was opened");
  check(logHas("got dongle config data"), "the log has the configuration's arrival");
  // Nothing has started this dongle's scan.
  check(textOf(17) == "Start ..." && statusBecomes("Port " + name + " open", 1500),
        "a dongle just picked is not scanning: Start reads \"Start ...\", the status line \"open\"",
        "Start reads \"%s\"", textOf(17).c_str());
}

// The dongle has been unplugged: a command can no longer be written.
void stepStartUnplugged() {
  findMain(5000);
  check(statusBecomes("Port " + pickedPort() + " lost"), "the status line says the unplugged port is lost");
  click(17);
  check(waitFor([] { return logHas("Send failed rc="); }, 3000),
        "a command to an unplugged dongle is logged as a failed send");
}

// The port has gone since the console listed it: the open fails with the
// system's code for a missing file, and the configuration request that
// follows finds no port.
void stepPickGone(const char* suffix) {
  findMain(5000);
  const std::string name = pickPort(suffix);
  const std::string failed = "Couldn't open port " + name + ". rc=2\r\n";
  check(logHas(failed), "the log says the port could not be opened (rc=2)");
  check(waitFor([] { return logHas("Send failed rc=6\r\n"); }, 3000),
        "the configuration request then fails to be sent (rc=6, no port)");
}

void stepScan(const char* recordPath) {
  findMain(5000);
  const auto devices = readDevices(recordPath);
  std::map<std::string, std::string> addressOf;
  int shown = 0;
  for (const auto& d : devices) {
    addressOf[d.name] = d.address;
    if (d.name.rfind("Polar", 0) != 0) ++shown;
  }
  if (devices.empty() || shown == 0) fatal("the record names the simulated devices");

  click(17);
  const std::string label = textOf(17);
  check(label == "scanning" || label == "Stop !!!", "Start, pressed, reads \"scanning\"", "got \"%s\"",
        label.c_str());
  check(waitFor([] { return textOf(17) == "Stop !!!"; }, 5000), "the dongle's ack turns it into \"Stop !!!\"",
        "got \"%s\"", textOf(17).c_str());
  check(statusBecomes("Port " + pickedPort() + " open, scanning"), "the status line says the scan runs");

  const bool all = waitFor([&] { return occupiedTiles() >= shown; }, 15000, 100);
  check(all, "every device but the Polar ones gets a tile", "%d of %d", occupiedTiles(), shown);
  ::Sleep(1500);  // a few more reports from every device

  std::map<std::string, int> slotOf;
  bool idleOk = true;
  bool namesOk = true;
  for (int i = 0; i < kTiles; ++i) {
    const std::string t = tileText(i);
    if (t == "empty") continue;
    const std::string name = trimmed(firstLine(t));
    if (!isIdleText(t)) {
      idleOk = false;
      std::printf("# tile %d: \"%s\"\n", i, show(t).c_str());
    }
    if (addressOf.count(name) == 0 || name.rfind("Polar", 0) == 0 || slotOf.count(name) != 0) {
      namesOk = false;
      std::printf("# tile %d: unexpected or repeated name \"%s\"\n", i, name.c_str());
    }
    slotOf[name] = i;
  }
  check(idleOk, "an unlinked tile shows its name over two empty lines");
  check(namesOk && static_cast<int>(slotOf.size()) == shown, "each device has one tile; no Polar device has one",
        "%zu tiles for %d devices", slotOf.size(), shown);
  bool packed = true;
  for (int i = 0; i < shown; ++i) packed = packed && tileText(i) != "empty";
  check(packed, "the devices take the lowest tiles");

  // One tool per tile that got a reading, holding its device's address.
  const auto tips = tooltips();
  int withTool = 0;
  int extraTools = 0;
  int textOk = 0;
  for (HWND t : tips) {
    const auto n = static_cast<int>(send(t, TTM_GETTOOLCOUNT));
    if (n >= 1) ++withTool;
    if (n > 1) extraTools += n - 1;
    if (n < 1) continue;
    const RemoteTool tool = firstTool(t);
    const int id = tool.forWindow != nullptr ? ::GetDlgCtrlID(tool.forWindow) : -1;
    if (!tool.ok || id < kFirstTile || id >= kFirstTile + kTiles) {
      std::printf("# a tool is for window %p (id %d)\n", static_cast<void*>(tool.forWindow), id);
      continue;
    }
    const std::string name = trimmed(firstLine(tileText(id - kFirstTile)));
    const std::string want = colonAddress(addressOf[name]);
    if (tool.text == want) {
      ++textOk;
    } else {
      std::printf("# tile %d (%s): tooltip \"%s\", want \"%s\"\n", id - kFirstTile, name.c_str(), tool.text.c_str(),
                  want.c_str());
    }
  }
  check(withTool == shown && extraTools == 0, "one tooltip tool per tile with readings, not one per reading",
        "%d tooltips with tools, %d extra tools, %d tiles", withTool, extraTools, shown);
  check(textOk == shown, "each tile's tooltip shows its device's address", "%d of %d", textOk, shown);

  // Link a Mirabeat device, a device of another brand and one more.
  std::vector<int> chosen;
  int mirabeat = -1;
  int other = -1;
  for (const auto& [name, slot] : slotOf) {
    if (name.rfind("Mirabeat", 0) == 0 && mirabeat < 0) mirabeat = slot;
    if (name.rfind("Mirabeat", 0) != 0 && other < 0) other = slot;
  }
  if (mirabeat >= 0) chosen.push_back(mirabeat);
  if (other >= 0) chosen.push_back(other);
  for (const auto& [name, slot] : slotOf) {
    if (chosen.size() >= 3) break;
    if (slot != mirabeat && slot != other) chosen.push_back(slot);
  }
  for (int slot : chosen) click(kFirstTile + slot);
  char count[8];
  std::snprintf(count, sizeof count, "%zu", chosen.size());
  check(textOf(390) == count, "the linked count shows the tiles clicked", "got \"%s\", want %s", textOf(390).c_str(),
        count);
  const bool readings = waitFor(
      [&] {
        for (int slot : chosen)
          if (!isLinkedText(tileText(slot))) return false;
        return true;
      },
      5000);
  check(readings, "a linked tile shows heart rate, RR and battery under its name", "e.g. \"%s\"",
        show(tileText(chosen.front())).c_str());

  // A click on an empty tile changes nothing.
  int emptySlot = -1;
  for (int i = kTiles - 1; i >= 0 && emptySlot < 0; --i)
    if (tileText(i) == "empty") emptySlot = i;
  if (emptySlot >= 0) {
    click(kFirstTile + emptySlot);
    check(tileText(emptySlot) == "empty" && textOf(390) == count, "a click on an empty tile changes nothing");
  }

  // Where the screenshot should show the brand colours: inside the left end
  // of the tile, clear of the centred text.
  for (int slot : {mirabeat, other}) {
    if (slot < 0) continue;
    HWND tile = item(kFirstTile + slot);
    RECT rc{};
    ::GetClientRect(tile, &rc);
    POINT p{rc.left + 6, (rc.top + rc.bottom) / 2};
    ::ClientToScreen(tile, &p);
    const bool isMirabeat = slot == mirabeat;
    std::printf("INFO pixel %ld %ld %s %s\n", p.x, p.y, isMirabeat ? "0,128,255" : "213,64,183",
                isMirabeat ? "mirabeat" : "other-brand");
  }
}

std::vector<std::string> linkedNamesInOrder() {
  std::vector<std::string> names;
  for (int i = 0; i < kTiles; ++i) {
    const std::string t = tileText(i);
    if (isLinkedText(t)) names.push_back(firstLine(t));
  }
  return names;
}

void stepRoster() {
  findMain(5000);
  auto linked = linkedNamesInOrder();
  if (linked.size() < 2) fatal("some tiles are linked before the roster step");

  // Unlink one tile and link it again.
  int slot = -1;
  for (int i = 0; i < kTiles && slot < 0; ++i)
    if (isLinkedText(tileText(i))) slot = i;
  const std::string name = firstLine(tileText(slot));
  const std::string before = textOf(390);
  click(kFirstTile + slot);
  check(tileText(slot) == name + "\n\n", "unlinking a tile leaves its name alone", "got \"%s\"",
        show(tileText(slot)).c_str());
  check(textOf(390) == std::to_string(linked.size() - 1), "the linked count goes down by one");
  click(kFirstTile + slot);
  check(textOf(390) == before, "linking it again restores the count");
  waitFor([&] { return isLinkedText(tileText(slot)); }, 3000);

  // "Clear Useless": only the linked devices stay, packed into the first
  // tiles in their order. Later reports may refill the other tiles at once.
  linked = linkedNamesInOrder();
  click(44);
  bool packedOk = true;
  for (std::size_t i = 0; i < linked.size(); ++i) {
    const std::string t = tileText(static_cast<int>(i));
    if (firstLine(t) != linked[i]) {
      packedOk = false;
      std::printf("# tile %zu: \"%s\", want %s\n", i, show(t).c_str(), linked[i].c_str());
    }
  }
  check(packedOk, "\"Clear Useless\" packs the linked devices into the first tiles, in order");
  bool noCopies = true;
  for (int i = static_cast<int>(linked.size()); i < kTiles; ++i) {
    const std::string n = firstLine(tileText(i));
    for (const auto& l : linked) noCopies = noCopies && n != l;
  }
  check(noCopies, "no linked device is left in its old tile");
  check(textOf(390) == std::to_string(linked.size()), "the linked count is unchanged");
  check(waitFor([&] { return isLinkedText(tileText(0)); }, 3000), "a moved device keeps its readings");

  // Log pause and resume.
  click(28);
  check(textOf(28) == "Start Log", "the log button, pressed, reads \"Start Log\"");
  click(7);
  check(textOf(5).empty(), "\"Clear Log\" empties the log", "%zu characters left", textOf(5).size());
  ::Sleep(1500);
  check(textOf(5).find("trust") == std::string::npos, "no reading lines while the log is paused", "log: \"%s\"",
        show(textOf(5).substr(0, 200)).c_str());
  click(28);
  check(textOf(28) == "Stop Log", "pressed again, it reads \"Stop Log\"");
  check(waitFor([] { return textOf(5).find("trust") != std::string::npos; }, 3000),
        "reading lines come back once the log runs again");
  // A notification other than a click does not toggle the log.
  send(g_main, WM_COMMAND, MAKEWPARAM(28, BN_SETFOCUS), reinterpret_cast<LPARAM>(item(28)));
  check(textOf(28) == "Stop Log", "the log button ignores notifications other than clicks");

  // The trim: whatever is written, the caret's line stays at 800 or above.
  // 1,300 lines, 25 to a message.
  HWND log = item(5);
  unsigned highest = 0;
  char line[96];
  for (int i = 0; i < 1300;) {
    std::string block;
    for (int k = 0; k < 25; ++k, ++i) {
      std::snprintf(line, sizeof line, "fill line %04d ..........................................\r\n", i);
      block += line;
    }
    send(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(block.c_str()));
    const auto caret = static_cast<unsigned>(send(log, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0));
    if (caret > highest) highest = caret;
  }
  const std::string text = textOf(log);
  check(highest <= 800, "the log trims itself: the caret's line never passes 800", "reached %u", highest);
  check(highest >= 700, "the log is allowed to grow to about 800 lines", "reached only %u", highest);
  check(text.find("fill line 0000") == std::string::npos, "the trim removed the oldest lines");
  check(text.find("fill line 1299") != std::string::npos, "the newest lines are kept");
  // After each trim the caret is back at the end: the remaining fill lines
  // are in the order they were written, none inserted before older ones.
  int previous = -1;
  bool inOrder = true;
  for (std::size_t at = text.find("fill line "); at != std::string::npos; at = text.find("fill line ", at + 1)) {
    const int n = std::atoi(text.c_str() + at + 10);
    inOrder = inOrder && n > previous;
    previous = n;
  }
  check(inOrder && previous == 1299, "after a trim new lines still go to the end of the log", "last fill line %d",
        previous);
}

HWND findDialog(const char* title, int timeoutMs) {
  HWND found = nullptr;
  waitFor(
      [&] {
        found = nullptr;
        HWND w = nullptr;
        while ((w = ::FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr) {
          char caption[128] = "";
          ::GetWindowTextA(w, caption, sizeof caption);
          if (::GetWindow(w, GW_OWNER) == g_main && std::strcmp(caption, title) == 0 && ::IsWindowVisible(w)) {
            found = w;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::string dialogTexts(HWND dialog) {
  std::string all;
  for (HWND c = ::GetWindow(dialog, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) all += textOf(c) + "|";
  return all;
}

void closeAbout(HWND about, bool withOk) {
  if (withOk) {
    HWND ok = ::GetDlgItem(about, IDOK);
    check(ok != nullptr && textOf(ok) == "OK", "the About box has its OK button");
    ::PostMessageA(ok, BM_CLICK, 0, 0);
  } else {
    ::PostMessageA(about, WM_CLOSE, 0, 0);  // the dialog turns it into IDCANCEL
  }
  check(waitFor([&] { return !::IsWindow(about); }, 5000),
        withOk ? "OK closes the About box" : "closing the About box (IDCANCEL) ends it");
}

void stepAbout() {
  findMain(5000);
  for (bool withOk : {true, false}) {
    const std::size_t logBefore = textOf(5).size();
    ::PostMessageA(g_main, WM_COMMAND, MAKEWPARAM(104, 0), 0);
    HWND about = findDialog("About", 5000);
    check(about != nullptr, "the About command opens the About box");
    if (about == nullptr) return;
    const std::string texts = dialogTexts(about);
    check(texts.find("Koravel Version 2.0a") != std::string::npos, "it says \"Koravel Version 2.0a\"", "texts: %s",
          texts.c_str());
    if (withOk) {
      // The link threads are served while the box is open: the log goes on.
      check(waitFor([&] { return textOf(5).size() != logBefore; }, 3000),
            "the log keeps being written while the About box is open");
    }
    closeAbout(about, withOk);
  }
  check(textOf(g_main) == "Koravel  v2.0a", "the console answers after the About box");
}

void stepAboutWait() {
  findMain(5000);
  HWND about = findDialog("About", 5000);
  check(about != nullptr, "the keys open the About box");
  if (about != nullptr) closeAbout(about, true);
}

void stepStop() {
  findMain(5000);
  click(17);
  const std::string label = textOf(17);
  check(label == "Start scan / Link" || label == "Start ...", "Stop, pressed, reads \"Start scan / Link\"",
        "got \"%s\"", label.c_str());
  check(waitFor([] { return textOf(17) == "Start ..."; }, 5000), "the dongle's ack turns it into \"Start ...\"");
  check(::IsWindowEnabled(item(17)) != FALSE, "Start is enabled");
  check(statusBecomes("Port " + pickedPort() + " open"), "the status line no longer says scanning");
  ::Sleep(700);
  int empties = 0;
  for (int i = 0; i < kTiles; ++i) empties += tileText(i) == "empty";
  check(empties == kTiles, "stopping the scan empties every tile", "%d of 40 empty", empties);
  check(textOf(390).empty(), "the linked count is emptied");
}

void stepLeave(bool viaClose) {
  findMain(5000);
  // The console's process, to time the exit to its very end.
  DWORD pid = 0;
  ::GetWindowThreadProcessId(g_main, &pid);
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  const double start = epochMs();
  std::printf("INFO exit_ms=%.3f\n", start);
  std::fflush(stdout);
  if (viaClose) {
    ::PostMessageA(g_main, WM_CLOSE, 0, 0);
  } else {
    ::PostMessageA(g_main, WM_COMMAND, MAKEWPARAM(105, 0), 0);
  }
  if (process != nullptr) {
    const bool ended = ::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    const double took = epochMs() - start;
    ::CloseHandle(process);
    std::printf("INFO exit_took_ms=%.1f\n", took);
    check(ended, "the console's process ends", "still running after %.0f ms", took);
  }
  check(waitFor([] { return !::IsWindow(g_main); }, 10000), viaClose ? "closing the window ends the console"
                                                                     : "File > Exit ends the console");
}

// ---- the File menu's recording, participants and report ----

HWND classDisplay();
void postF11(HWND window);

// F11 in the console: the class display once it is up, and its client area.
HWND openedByF11(RECT* client) {
  postF11(g_main);
  check(waitFor([] { return classDisplay() != nullptr; }, 3000), "F11 opens the class display");
  HWND display = classDisplay();
  if (display != nullptr) ::GetClientRect(display, client);
  return display;
}

// A common file dialog of the console, by its title, once it is up.
HWND fileDialog(const wchar_t* title, int timeoutMs) {
  HWND dialog = nullptr;
  waitFor([&] { return (dialog = ::FindWindowW(L"#32770", title)) != nullptr && ::IsWindowVisible(dialog); },
          timeoutMs, 50);
  return dialog != nullptr && ::IsWindowVisible(dialog) ? dialog : nullptr;
}

// The dialog's file name field (the explorer dialog's combo box, or the
// older edit).
HWND fileNameField(HWND dialog) {
  for (int id : {1148 /*cmb13*/, 1152 /*edt1*/}) {
    HWND field = ::GetDlgItem(dialog, id);
    if (field != nullptr && ::IsWindowVisible(field)) return field;
  }
  return nullptr;
}

std::wstring wideTextOf(HWND window) {
  wchar_t text[1024] = L"";
  sendW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

// Answers the dialog titled `title` with `path`: what its field suggested.
std::wstring answerFileDialog(const wchar_t* title, const char* path) {
  HWND dialog = fileDialog(title, 5000);
  check(dialog != nullptr, "the menu item opens its file dialog");
  if (dialog == nullptr) return std::wstring();
  HWND field = fileNameField(dialog);
  check(field != nullptr, "the dialog has a file name field");
  if (field == nullptr) return std::wstring();
  const std::wstring suggested = wideTextOf(field);
  wchar_t wide[MAX_PATH] = L"";
  ::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, MAX_PATH);
  sendW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
  check(waitFor([&] { return !::IsWindow(dialog); }, 5000), "the dialog takes the file and closes");
  return suggested;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',') out.emplace_back();
    else if (c != '\r') out.back() += c;
  }
  return out;
}

// File > Record readings... (Ctrl+R's command) into PATH; two marks (F9's
// command); File > Stop recording; then the file's rows.
void stepRecord(const char* path) {
  findMain(5000);
  const std::string name = baseName(path);
  ::PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(107, 0), 0);
  const std::wstring suggested = answerFileDialog(L"Record readings", path);
  const std::regex defaultName(R"(koravel-\d{8}-\d{6}Z\.csv)");
  char narrow[MAX_PATH] = "";
  ::WideCharToMultiByte(CP_UTF8, 0, suggested.c_str(), -1, narrow, MAX_PATH, nullptr, nullptr);
  check(std::regex_match(baseName(narrow), defaultName), "the dialog suggests koravel-YYYYMMDD-HHMMSSZ.csv",
        "got \"%s\"", narrow);
  const std::regex recording("Recording to " + name + R"(: \d+ rows)");
  std::string shown;
  const bool recordingSaid = waitFor(
      [&] {
        shown = statusText();
        return std::regex_match(shown, recording) && shown != "Recording to " + name + ": 0 rows";
      },
      4000);
  check(recordingSaid, "the status line says \"Recording to NAME: N rows\"", "got \"%s\"", shown.c_str());
  for (int mark = 1; mark <= 2; ++mark) {
    ::PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(108, 0), 0);
    const std::string want = "Mark " + std::to_string(mark);
    check(statusBecomes(want, 2000), "F9 writes a marker and the status line says \"Mark N\"");
    ::Sleep(600);
  }
  ::PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(107, 0), 0);
  const std::regex saved(R"(Recording saved: (\d+) rows in )" + std::regex_replace(std::string(path), std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)") +
                         "; File > Session report makes its report");
  std::smatch m;
  std::string said;
  const bool savedSaid = waitFor([&] { said = statusText(); return std::regex_match(said, m, saved); }, 6000);
  check(savedSaid, "stopping says where the recording is and how to make its report", "got \"%s\"", said.c_str());
  const long long savedRows = m.empty() ? -1 : std::atoll(m[1].str().c_str());

  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  check(line.rfind("time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone", 0) == 0,
        "the file begins with the header", "got \"%s\"", line.c_str());
  long long rows = 0, readings = 0, lastMarker = 0;
  bool markersBare = true;
  while (std::getline(in, line)) {
    ++rows;
    const std::vector<std::string> f = fieldsOf(line);
    if (f.size() < 15) continue;
    if (f[4] == "dongle") continue;
    if (!f[10].empty()) {
      markersBare = markersBare && f[5].empty() && f[6].empty() && f[2].empty();
      check(std::atoll(f[10].c_str()) == lastMarker + 1, "markers are numbered in turn", "got %s", f[10].c_str());
      lastMarker = std::atoll(f[10].c_str());
    } else {
      ++readings;
    }
  }
  std::printf("INFO recording_rows=%lld readings=%lld\n", rows, readings);
  check(readings == savedRows, "the file holds the reading rows the status line said", "%lld rows, said %lld",
        readings, savedRows);
  check(readings > 10, "the devices' readings are rows", "%lld readings", readings);
  check(lastMarker == 2 && markersBare, "both marks are rows with their numbers and no reading");
}

// File > Session report... : the dialog offers the last recording; its
// report is written beside it and opened in the browser (the test's stand-in
// for one writes what it was given into BROWSED).
void stepReport(const char* recording, const char* browsed) {
  findMain(5000);
  ::PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(112, 0), 0);
  const std::wstring suggested = answerFileDialog(L"Session report", recording);
  char narrow[MAX_PATH] = "";
  ::WideCharToMultiByte(CP_UTF8, 0, suggested.c_str(), -1, narrow, MAX_PATH, nullptr, nullptr);
  check(baseName(narrow) == baseName(recording), "the dialog offers the last recording", "got \"%s\"", narrow);
  std::string page = recording;
  page = page.substr(0, page.size() - 4) + ".html";
  check(statusBecomes("Session report: " + page, 10000), "the status line says where the report is");
  check(::GetFileAttributesA(page.c_str()) != INVALID_FILE_ATTRIBUTES, "the report is beside the recording");
  std::string opened;
  check(waitFor([&] {
          std::ifstream in(browsed);
          std::getline(in, opened);
          return !opened.empty();
        }, 10000),
        "the report is opened in the browser");
  check(opened.find(baseName(page)) != std::string::npos, "the browser is given the report", "got \"%s\"",
        opened.c_str());
  // The note lasts a while, then the line tells the port's state again.
  check(waitFor([] { return statusText().rfind("Session report:", 0) != 0; }, 12000),
        "the note gives way to the port's state");
}

// The kept setting the Windows program reads at its start.
std::string rememberedParticipants() {
  wchar_t appData[MAX_PATH] = L"";
  if (::GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH) == 0) return std::string();
  const std::wstring ini = std::wstring(appData) + L"\\Koravel\\koravel.ini";
  wchar_t value[MAX_PATH] = L"";
  ::GetPrivateProfileStringW(L"participants", L"file", L"", value, MAX_PATH, ini.c_str());
  char narrow[MAX_PATH] = "";
  ::WideCharToMultiByte(CP_UTF8, 0, value, -1, narrow, MAX_PATH, nullptr, nullptr);
  return narrow;
}

// The coach mends the file: its last line (the bad one) goes.
void dropLastLine(const char* path) {
  std::string all;
  {
    std::ifstream in(path, std::ios::binary);
    all.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (all.size() < 2) return;
  all.resize(all.rfind("\r\n", all.size() - 3) + 2);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << all;
}

std::string participantsProblem(const char* path, int devices) {
  return "Participants: " + baseName(path) + " line " + std::to_string(devices + 2) +
         ": max_hr 'abc' is not a number from 100 to 230";
}

// File > Participants... : a file (written here) naming every simulated
// device's wearer, with a maximum, and one bad line at its end. The bad
// line is said on the status line; the file is kept for the next start;
// the class display shows each linked wearer in a zone's colour (named for
// the screenshot as "INFO zone-colour X Y WHAT").
void stepParticipants(const char* recordPath, const char* path) {
  findMain(5000);
  const std::vector<Device> devices = readDevices(recordPath);
  {
    std::ofstream out(path, std::ios::binary);
    out << "\xEF\xBB\xBF" << "device;address;name;max_hr\r\n";
    for (std::size_t i = 0; i < devices.size(); ++i)
      out << devices[i].name << ";" << colonAddress(devices[i].address) << ";Person " << i + 1 << ";200\r\n";
    out << "spare;0A:0B:0C:0D:0E:0F;Nobody;abc\r\n";
  }
  ::PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(109, 0), 0);
  answerFileDialog(L"Participants", path);
  check(statusBecomes(participantsProblem(path, static_cast<int>(devices.size())), 3000),
        "a bad line of the participants file is said on the status line");
  check(rememberedParticipants() == path, "the file is kept for the next start", "kept \"%s\"",
        rememberedParticipants().c_str());
  dropLastLine(path);
  check(waitFor([] { return statusText().rfind("Participants:", 0) != 0; }, 4000),
        "the file, mended, is read again and the status line no longer speaks of it", "got \"%s\"",
        statusText().c_str());

  const std::vector<std::string> linked = linkedNamesInOrder();
  RECT rc{};
  HWND display = openedByF11(&rc);
  if (display == nullptr) return;
  const kv::CellGrid grid = kv::cellGrid(static_cast<int>(linked.size()), rc.right, rc.bottom);
  for (std::size_t i = 0; i < linked.size(); ++i) {
    const kv::CellRect r = kv::cellRect(grid, static_cast<int>(i), rc.right, rc.bottom);
    POINT p{r.x + 4, r.y + 4};
    ::ClientToScreen(display, &p);
    std::printf("INFO zone-colour %ld %ld class display cell %zu, a participant, in a zone's colour\n", p.x, p.y, i);
  }
}

// At a start after a participants file was chosen: it is in force again (its
// bad line said again).
void stepParticipantsRemembered(const char* recordPath, const char* path) {
  findMain(5000);
  const int devices = static_cast<int>(readDevices(recordPath).size());
  check(statusBecomes(participantsProblem(path, devices), 3000),
        "the participants file of the last run is read at the start");
  dropLastLine(path);
  check(waitFor([] { return statusText().rfind("Participants:", 0) != 0; }, 4000),
        "mended, it is read again", "got \"%s\"", statusText().c_str());
}

// At DPI dots per inch the window, its tiles and the class display are laid
// out at DPI / 96 times their sizes.
void stepDpi(int dpi) {
  findMain(5000);
  auto scaled = [dpi](int v) { return ::MulDiv(v, dpi, 96); };
  RECT w{};
  ::GetWindowRect(g_main, &w);
  check(w.right - w.left == scaled(kv::kMainWindowWidth) && w.bottom - w.top == scaled(kv::kMainWindowHeight),
        "the main window is its size at the monitor's scale", "%ld x %ld", w.right - w.left, w.bottom - w.top);
  // Under Wine a window on a desktop just made may show while its first
  // layout is still placing the tiles: the places are judged once it has
  // placed them all (or after 3 s), and how long that took is said.
  char first[160] = "";
  auto tilesPlaced = [&] {
    for (int i = 0; i < kTiles; ++i) {
      const kv::ControlPlace p = kv::tilePlace(i);
      RECT r{};
      ::GetWindowRect(item(kFirstTile + i), &r);
      POINT at{r.left, r.top};
      ::ScreenToClient(g_main, &at);
      if (at.x != scaled(p.x) || at.y != scaled(p.y) || r.right - r.left != scaled(p.width) ||
          r.bottom - r.top != scaled(p.height)) {
        std::snprintf(first, sizeof first, "tile %d at %ld,%ld %ld x %ld, want %d,%d %d x %d", i, at.x, at.y,
                      r.right - r.left, r.bottom - r.top, scaled(p.x), scaled(p.y), scaled(p.width),
                      scaled(p.height));
        return false;
      }
    }
    return true;
  };
  const ULONGLONG looked = ::GetTickCount64();
  const bool tilesOk = waitFor(tilesPlaced, 3000);
  std::printf("# the tiles were in place %llu ms after the window showed\n",
              static_cast<unsigned long long>(::GetTickCount64() - looked));
  check(tilesOk, "the tiles are in their places at the monitor's scale", "%s", first);
  RECT rc{};
  if (openedByF11(&rc) == nullptr) return;
  check(rc.right == scaled(kv::kClassDisplayWidth) && rc.bottom == scaled(kv::kClassDisplayHeight),
        "the class display's window is its size at the monitor's scale", "%ld x %ld", rc.right, rc.bottom);
}

// The browser's stand-in: writes its argument into FILE.
int browsedStandIn(const char* file, const char* what) {
  std::ofstream out(file, std::ios::binary);
  out << what << "\n";
  return 0;
}

void stepOutOfSpace() {
  findMain(20000);
  HWND log = item(5);
  // 200 lines of 2,500 characters to a message (Wine does not carry much
  // more than a megabyte in one message between processes). Four of them
  // make 800 lines, which the trim allows, and 2,000,000 characters; the
  // fifth passes the log's limit of 2,097,152.
  std::string line(2498, 'x');
  line += "\r\n";
  std::string chunk;
  for (int i = 0; i < 200; ++i) chunk += line;
  HWND box = nullptr;
  for (int i = 0; i < 6 && box == nullptr; ++i) {
    DWORD_PTR result = 0;
    // The box is modal inside the log's notification: this send does not
    // come back while it is open.
    ::SendMessageTimeoutA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(chunk.c_str()), SMTO_NORMAL, 3000,
                          &result);
    box = findDialog("Stridon", 500);
  }
  check(box != nullptr, "a full log brings up the \"Stridon\" box");
  if (box == nullptr) return;
  const std::string texts = dialogTexts(box);
  check(texts.find("info. out of space.") != std::string::npos, "it says \"info. out of space.\"", "texts: %s",
        texts.c_str());
  // What the OK button tells its box when pressed.
  ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  check(waitFor([] { return !::IsWindow(g_main); }, 10000), "closing it shuts the console down");
}

// ---- timing the console against the dongle's record ----

// One line of the simulated dongle's record: a frame (dir, kind, dev) or an
// event ("event=..."), at `ms` on the simulator's clock.
struct RecordLine {
  double ms = 0;
  bool event = false;
  std::string dir;
  std::string kind;
  std::string text;  // an event's text
  int dev = -1;
};

std::string fieldOf(const std::string& line, const char* key) {
  const std::string k = std::string(" ") + key + "=";
  const auto at = line.find(k);
  if (at == std::string::npos) return "";
  const auto from = at + k.size();
  return line.substr(from, line.find(' ', from) - from);
}

std::vector<RecordLine> readRecord(const char* recordPath) {
  std::vector<RecordLine> lines;
  std::ifstream in(recordPath);
  std::string line;
  while (std::getline(in, line)) {
    RecordLine r;
    std::size_t at = 0;
    if (line.rfind("# t_ms=", 0) == 0) {
      r.event = true;
      at = 7;
    } else if (line.rfind("t_ms=", 0) == 0) {
      at = 5;
    } else {
      continue;
    }
    char* end = nullptr;
    r.ms = std::strtod(line.c_str() + at, &end);
    if (end == nullptr || *end != ' ') continue;
    if (r.event) {
      r.text = end + 1;
    } else {
      r.dir = fieldOf(line, "dir");
      r.kind = fieldOf(line, "kind");
      const std::string dev = fieldOf(line, "dev");
      if (!dev.empty()) r.dev = std::atoi(dev.c_str());
    }
    lines.push_back(r);
  }
  return lines;
}

// When the first event beginning with `text` happened after `after`; -1 if
// it is not in the record.
double eventAt(const std::vector<RecordLine>& record, const std::string& text, double after = -1) {
  for (const auto& r : record)
    if (r.event && r.ms > after && r.text.rfind(text, 0) == 0) return r.ms;
  return -1;
}

// The times at which the dongle sent device `dev`'s reports (any device's
// with -1, and then any frame it sent at all).
std::vector<double> sentTimes(const std::vector<RecordLine>& record, int dev) {
  std::vector<double> times;
  for (const auto& r : record)
    if (!r.event && r.dir == "tx" && (dev < 0 || (r.kind == "report" && r.dev == dev))) times.push_back(r.ms);
  return times;
}

double lastBefore(const std::vector<double>& times, double t) {
  double found = -1;
  for (double x : times)
    if (x <= t) found = x;
  return found;
}

// Starts the scan and maps the record's clock onto this one: the dongle
// took the start command after the click and before its ack showed, so a
// record time t happened here at t + offset + (0 to slack). A span from a
// record time to now measured with it is at most `slack` too long.
struct ClockMap {
  double offset = 0;
  double slack = 0;
};

ClockMap startScanTimed(const char* recordPath) {
  const double clicked = epochMs();
  click(17);
  const bool acked = waitFor([] { return textOf(17) == "Stop !!!"; }, 5000, 5);
  const double ackSeen = epochMs();
  check(acked, "the dongle's ack turns Start into \"Stop !!!\"", "got \"%s\"", textOf(17).c_str());
  const double start = eventAt(readRecord(recordPath), "event=scan-start");
  if (start < 0) fatal("the record has the scan's start");
  ClockMap map{clicked - start, ackSeen - clicked};
  std::printf("INFO clock_offset_ms=%.3f\nINFO clock_slack_ms=%.1f\n", map.offset, map.slack);
  return map;
}

// The watch runs once a second, so a state that is due after 5 s (2 s for
// an unanswered command) is shown up to a second after that. The margin
// covers the timer's late delivery and the clock map's slack; a watch that
// runs late by a whole period, or not at all, is well outside it.
constexpr double kWatchMarginMs = 250;

int tileOf(const std::string& name) {
  for (int i = 0; i < kTiles; ++i)
    if (trimmed(firstLine(tileText(i))) == name) return i;
  return -1;
}

// A point inside the left end of a tile, clear of its centred text, in
// screen coordinates.
POINT tilePoint(int slot) {
  HWND tile = item(kFirstTile + slot);
  RECT rc{};
  ::GetClientRect(tile, &rc);
  POINT p{rc.left + 6, (rc.top + rc.bottom) / 2};
  ::ClientToScreen(tile, &p);
  return p;
}

const char* brandColour(const std::string& name) {
  return name.rfind("Mirabeat", 0) == 0 ? "0,128,255" : "213,64,183";
}

// A silent linked tile's figure: "NAME\nHR: -- (N s)\nBat: B%" gives N, -1
// for any other text.
int silentSeconds(const std::string& text) {
  const auto at = text.find("\nHR: -- (");
  if (at == std::string::npos) return -1;
  return std::atoi(text.c_str() + at + 9);
}

std::string batteryLine(const std::string& text) {
  const auto at = text.rfind("\nBat: ");
  return at == std::string::npos ? std::string() : text.substr(at + 1);
}

// Scan, link the silent-to-be device and all but two of the others; the
// device falls silent (the simulator's --silence-device DEV, some seconds
// after the scan's start) while the others go on.
// F11 in the console opens the class display: a window of its own with a
// cell for each linked tile, in tile order, in its brand's colour (the
// points to look at go out as "INFO colour" lines for a screenshot).
HWND classDisplay() {
  HWND w = ::FindWindowA("KoravelClassDisplay", nullptr);
  return w != nullptr && ::IsWindowVisible(w) ? w : nullptr;
}

void postF11(HWND window) {
  ::PostMessageA(window, WM_KEYDOWN, VK_F11, 0x00570001);
  ::PostMessageA(window, WM_KEYUP, VK_F11, static_cast<LPARAM>(0xC0570001u));
}

void stepClassDisplay() {
  findMain(5000);
  const std::vector<std::string> linked = linkedNamesInOrder();
  check(!linked.empty(), "tiles are linked for the class display");
  check(classDisplay() == nullptr, "the class display is closed at first");
  postF11(g_main);
  check(waitFor([] { return classDisplay() != nullptr; }, 3000), "F11 in the console opens the class display");
  HWND display = classDisplay();
  if (display == nullptr) return;
  check(textOf(display) == "Koravel class display", "its title", "got \"%s\"", textOf(display).c_str());
  RECT rc{};
  ::GetClientRect(display, &rc);
  check(rc.right == 1280 && rc.bottom == 720, "one screen: a normal window of 1280 x 720", "%ld x %ld", rc.right,
        rc.bottom);
  check(::GetForegroundWindow() == display, "it comes to the front");
  const kv::CellGrid grid = kv::cellGrid(static_cast<int>(linked.size()), rc.right, rc.bottom);
  for (std::size_t i = 0; i < linked.size(); ++i) {
    const kv::CellRect r = kv::cellRect(grid, static_cast<int>(i), rc.right, rc.bottom);
    POINT p{r.x + 4, r.y + 4};
    ::ClientToScreen(display, &p);
    std::printf("INFO colour %ld %ld %s class display cell %zu, %s, in its brand's colour\n", p.x, p.y,
                brandColour(trimmed(linked[i])), i, trimmed(linked[i]).c_str());
  }
  // Outside the cells: the black background.
  POINT gap{2, 2};
  ::ClientToScreen(display, &gap);
  std::printf("INFO colour %ld %ld 0,0,0 the class display's background is black\n", gap.x, gap.y);
}

void stepClassDisplayClose() {
  findMain(5000);
  HWND display = classDisplay();
  check(display != nullptr, "the class display is open");
  if (display == nullptr) return;
  // F11 inside it goes to the console's accelerators, as from the console.
  postF11(display);
  check(waitFor([] { return classDisplay() == nullptr; }, 3000), "F11 inside the class display closes it");
  check(::IsWindowVisible(g_main), "the console stays");
}

void stepLinkAll(const char* recordPath) {
  findMain(5000);
  int shown = 0;
  for (const auto& d : readDevices(recordPath)) shown += d.name.rfind("Polar", 0) != 0;
  shown = std::min(shown, kTiles);
  startScanTimed(recordPath);
  if (!waitFor([&] { return occupiedTiles() >= shown; }, 20000, 50)) fatal("every device has a tile");
  for (int slot = 0; slot < shown; ++slot) click(kFirstTile + slot);
  const auto linked = [] { return std::atoi(textOf(kLinkedCount).c_str()); };
  check(waitFor([&] { return linked() == shown; }, 5000, 50), "every tile is linked", "%d of %d", linked(), shown);
}

void stepSilence(const char* recordPath, int dev) {
  findMain(5000);
  const auto devices = readDevices(recordPath);
  if (dev < 0 || dev >= static_cast<int>(devices.size())) fatal("the record names the silent device");
  int shown = 0;
  for (const auto& d : devices) shown += d.name.rfind("Polar", 0) != 0;
  const ClockMap clock = startScanTimed(recordPath);
  if (!waitFor([&] { return occupiedTiles() >= shown; }, 5000, 50) || shown < 5) fatal("every device has a tile");

  const int slot = tileOf(devices[dev].name);
  if (slot < 0) fatal("the silent device has a tile");
  std::vector<int> linked{slot};
  std::vector<int> idle;
  for (int i = 0; i < shown; ++i) {
    if (i == slot) continue;
    (static_cast<int>(linked.size()) < shown - 2 ? linked : idle).push_back(i);
  }
  for (int s : linked) click(kFirstTile + s);

  // Its last reading before the silence, then the silent text.
  std::string lastLive;
  std::string silent;
  const bool fell = waitFor(
      [&] {
        const std::string t = tileText(slot);
        if (isLinkedText(t)) lastLive = t;
        if (silentSeconds(t) < 0) return false;
        silent = t;
        return true;
      },
      20000, 10);
  const double seen = epochMs();
  const auto record = readRecord(recordPath);
  const double silenceAt = eventAt(record, "event=silence dev=" + std::to_string(dev));
  const double lastReport = lastBefore(sentTimes(record, dev), silenceAt);
  if (!fell || lastLive.empty() || silenceAt < 0 || lastReport < 0) {
    check(false, "a linked device that falls silent reads \"HR: -- (N s)\"", "tile \"%s\", last live \"%s\"",
          show(tileText(slot)).c_str(), show(lastLive).c_str());
    return;
  }
  const double after = seen - (lastReport + clock.offset);
  std::printf("INFO silent_after_ms=%.1f\n", after);
  check(after >= 5000 && after <= 6000 + kWatchMarginMs,
        "a linked device not heard for 5 s reads \"HR: -- (N s)\" within 6 s of its last report", "after %.0f ms",
        after);
  const int seconds = silentSeconds(silent);
  const std::string want =
      firstLine(lastLive) + "\nHR: -- (" + std::to_string(seconds) + " s)\n" + batteryLine(lastLive);
  check(silent == want && (seconds == 5 || seconds == 6),
        "the silent tile keeps its name and battery and counts from its last report", "\"%s\", last live \"%s\"",
        show(silent).c_str(), show(lastLive).c_str());

  bool othersLive = true;
  for (std::size_t i = 1; i < linked.size(); ++i) othersLive = othersLive && isLinkedText(tileText(linked[i]));
  for (int s : idle) othersLive = othersLive && isIdleText(tileText(s));
  check(othersLive, "the other linked tiles stay live and the idle ones unchanged");
  check(textOf(390) == std::to_string(linked.size()), "a silent device stays linked: the count is unchanged",
        "got \"%s\"", textOf(390).c_str());

  // What the screenshot should show.
  const POINT p = tilePoint(slot);
  std::printf("INFO colour %ld %ld 150,150,150 the silent linked tile is painted grey\n", p.x, p.y);
  for (std::size_t i = 1; i < linked.size(); ++i) {
    const POINT q = tilePoint(linked[i]);
    std::printf("INFO colour %ld %ld %s a live linked tile beside it keeps its brand colour\n", q.x, q.y,
                brandColour(trimmed(firstLine(tileText(linked[i])))));
  }
  const POINT q = tilePoint(idle.front());
  const POINT e = tilePoint(kTiles - 1);
  std::printf("INFO same-colour %ld %ld %ld %ld an idle tile is drawn as an empty one, not grey\n", q.x, q.y, e.x,
              e.y);
}

// The silent device is heard again (the simulator's --silence-for ends):
// its first report makes it live. `offset` is the silence step's clock map.
void stepSilenceOver(const char* recordPath, int dev, double offset) {
  findMain(5000);
  const auto devices = readDevices(recordPath);
  if (dev < 0 || dev >= static_cast<int>(devices.size())) fatal("the record names the silent device");
  const int slot = tileOf(devices[dev].name);
  if (slot < 0) fatal("the silent device has a tile");

  std::vector<int> figures;  // the seconds shown, in order
  const bool live = waitFor(
      [&] {
        const std::string t = tileText(slot);
        const int s = silentSeconds(t);
        if (s >= 0 && (figures.empty() || figures.back() != s)) figures.push_back(s);
        return isLinkedText(t);
      },
      20000, 10);
  const double seen = epochMs();
  // Up by one at each run of the watch; by two when the runs fall next to
  // whole seconds and one comes a little late.
  bool counting = figures.size() >= 2;
  for (std::size_t i = 1; i < figures.size(); ++i)
    counting = counting && figures[i] > figures[i - 1] && figures[i] <= figures[i - 1] + 2;
  std::string shownFigures;
  for (int f : figures) shownFigures += std::to_string(f) + " ";
  check(counting, "a silent tile counts the seconds up as they pass", "shown: %s", shownFigures.c_str());

  // The first two reports after the silence: live with the first, before
  // the second.
  std::vector<double> reports;
  waitFor(
      [&] {
        const auto record = readRecord(recordPath);
        const double heard = eventAt(record, "event=heard dev=" + std::to_string(dev));
        reports.clear();
        for (double t : sentTimes(record, dev))
          if (heard >= 0 && t >= heard) reports.push_back(t);
        return reports.size() >= 2;
      },
      3000, 100);
  if (!live || reports.size() < 2) {
    check(false, "the device is live again once it is heard", "tile \"%s\", %zu reports since",
          show(tileText(slot)).c_str(), reports.size());
    return;
  }
  const double after = seen - (reports[0] + offset);
  std::printf("INFO live_after_ms=%.1f\nINFO report_gap_ms=%.1f\n", after, reports[1] - reports[0]);
  check(seen <= reports[1] + offset, "its first report after the silence makes the device live again",
        "live %.0f ms after it, the next came %.0f ms after it", after, reports[1] - reports[0]);
  const POINT p = tilePoint(slot);
  std::printf("INFO colour %ld %ld %s the tile live again has its brand colour back\n", p.x, p.y,
              brandColour(devices[dev].name));
}

// The dongle hangs while scanning (the simulator's --stall-after): the
// status line says so; then a Stop gets no answer.
void stepStall(const char* recordPath) {
  findMain(5000);
  const std::string port = pickedPort();
  const ClockMap clock = startScanTimed(recordPath);
  check(statusBecomes("Port " + port + " open, scanning"), "before the dongle hangs the status line says scanning");

  const std::string quiet = "Port " + port + ": no data from the dongle for ";
  const auto quietFor = [&] {
    const std::string t = statusText();
    return t.rfind(quiet, 0) == 0 ? std::atoi(t.c_str() + quiet.size()) : -1;
  };
  const bool said = waitFor([&] { return quietFor() >= 0; }, 20000, 10);
  const double seen = epochMs();
  const int seconds = quietFor();
  const auto record = readRecord(recordPath);
  const double lastSent = lastBefore(sentTimes(record, -1), eventAt(record, "event=stall"));
  if (!said || lastSent < 0) {
    check(false, "a hung dongle is said on the status line", "status \"%s\"", statusText().c_str());
    return;
  }
  const double after = seen - (lastSent + clock.offset);
  std::printf("INFO quiet_after_ms=%.1f\n", after);
  check(after >= 5000 && after <= 6000 + kWatchMarginMs,
        "while scanning, 5 s without a byte from the dongle: \"no data from the dongle\" within 6 s",
        "after %.0f ms, \"%s\"", after, statusText().c_str());
  check(seconds == 5 || seconds == 6, "the quiet time is counted from the dongle's last byte", "\"%s\"",
        statusText().c_str());
  check(waitFor([&] { return quietFor() >= seconds + 2; }, 3000), "the quiet time counts up",
        "\"%s\" after \"%d s\"", statusText().c_str(), seconds);

  const double clicked = epochMs();
  click(17);
  const bool unanswered = statusBecomes("Port " + port + ": no answer from the dongle", 5000);
  const double took = epochMs() - clicked;
  std::printf("INFO stop_unanswered_ms=%.1f\n", took);
  check(unanswered && took >= 2000 && took <= 3000 + kWatchMarginMs,
        "a Stop the hung dongle does not ack says \"no answer from the dongle\" within 3 s", "after %.0f ms", took);
  check(textOf(17) == "Stop !!!" && ::IsWindowEnabled(item(17)) != FALSE,
        "the button then reads \"Stop !!!\" again", "got \"%s\"", textOf(17).c_str());
}

// A dongle that answers nothing from the start: picked, it fills no dongle
// line; Start goes unanswered.
void stepNoAnswer(const char* suffix) {
  findMain(20000);
  const std::string name = pickPort(suffix);
  check(statusText() == "Port " + name + " open", "a port whose dongle answers nothing is open", "got \"%s\"",
        statusText().c_str());
  const double clicked = epochMs();
  click(17);
  check(textOf(17) == "scanning", "Start, pressed, reads \"scanning\"", "got \"%s\"", textOf(17).c_str());
  const bool unanswered = statusBecomes("Port " + name + ": no answer from the dongle", 5000);
  const double took = epochMs() - clicked;
  std::printf("INFO start_unanswered_ms=%.1f\n", took);
  check(unanswered && took >= 2000 && took <= 3000 + kWatchMarginMs,
        "a Start no dongle acks says \"no answer from the dongle\" within 3 s", "after %.0f ms", took);
  check(textOf(17) == "Start ..." && ::IsWindowEnabled(item(17)) != FALSE,
        "the Start button then reads \"Start ...\" again", "got \"%s\"", textOf(17).c_str());
  check(textOf(40).empty(), "no dongle line without the dongle's answer", "got \"%s\"", textOf(40).c_str());
}

// Opens the port list as the operator does: it is filled afresh. It must
// then hold exactly `ports`, with `selected` picked ("-": none).
void stepPortList(const char* selected, int count, char** ports) {
  findMain(5000);
  HWND combo = item(150);
  send(combo, CB_SHOWDROPDOWN, TRUE);
  const bool dropped = send(combo, CB_GETDROPPEDSTATE) != 0;
  const auto listedCount = static_cast<int>(send(combo, CB_GETCOUNT));
  std::string listed;
  bool same = listedCount == count;
  for (int i = 0; i < listedCount; ++i) {
    const std::string name = comboItem(combo, i);
    listed += name + " ";
    same = same && i < count && name == ports[i];
  }
  const std::string picked = pickedPort();
  send(combo, CB_SHOWDROPDOWN, FALSE);
  std::string want;
  for (int i = 0; i < count; ++i) want += std::string(ports[i]) + " ";
  std::string what = "opened, the port list holds the ports present now: " + want;
  check(dropped && same, what.c_str(), "listed: %s", listed.c_str());
  const std::string wantPicked = std::strcmp(selected, "-") == 0 ? "" : selected;
  what = wantPicked.empty() ? "no port is selected" : "the picked port " + wantPicked + " stays selected";
  check(picked == wantPicked, what.c_str(), "selected: \"%s\"", picked.c_str());
}

// Says when the status line first reads "Port P lost" for the picked port;
// the test run unplugs the dongle once it has printed "INFO watching".
void stepWatchLost() {
  findMain(5000);
  const std::string name = pickedPort();
  std::printf("INFO watching\n");
  std::fflush(stdout);
  const bool lost = waitFor([&] { return statusText() == "Port " + name + " lost"; }, 15000, 5);
  std::printf("INFO lost_seen_ms=%.3f\n", epochMs());
  check(lost, "an unplugged dongle's port is said lost on the status line", "status \"%s\"", statusText().c_str());
  const std::string log = textOf(5);
  const std::string said = "Port " + name + " lost rc=";
  const auto at = log.find(said);
  check(at != std::string::npos, "the log says the port was lost, with the system's code");
  if (at != std::string::npos) std::printf("INFO lost_rc=%d\n", std::atoi(log.c_str() + at + said.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s STEP [ARGS]\n", argv[0]);
    return 2;
  }
  const std::string step = argv[1];
  if (step == "startup") {
    stepStartup(argc - 2, argv + 2);
  } else if (step == "pick" && argc == 4) {
    stepPick(argv[2], argv[3]);
  } else if (step == "scan" && argc == 3) {
    stepScan(argv[2]);
  } else if (step == "class-display") {
    stepClassDisplay();
  } else if (step == "class-display-close") {
    stepClassDisplayClose();
  } else if (step == "roster") {
    stepRoster();
  } else if (step == "about") {
    stepAbout();
  } else if (step == "about-wait") {
    stepAboutWait();
  } else if (step == "stop") {
    stepStop();
  } else if (step == "exit" || step == "close") {
    stepLeave(step == "close");
  } else if (step == "start-unplugged") {
    stepStartUnplugged();
  } else if (step == "pick-gone" && argc == 3) {
    stepPickGone(argv[2]);
  } else if (step == "out-of-space") {
    stepOutOfSpace();
  } else if (step == "silence" && argc == 4) {
    stepSilence(argv[2], std::atoi(argv[3]));
  } else if (step == "silence-over" && argc == 5) {
    stepSilenceOver(argv[2], std::atoi(argv[3]), std::strtod(argv[4], nullptr));
  } else if (step == "stall" && argc == 3) {
    stepStall(argv[2]);
  } else if (step == "no-answer" && argc == 3) {
    stepNoAnswer(argv[2]);
  } else if (step == "port-list" && argc >= 3) {
    stepPortList(argv[2], argc - 3, argv + 3);
  } else if (step == "link-all" && argc == 3) {
    stepLinkAll(argv[2]);
  } else if (step == "record" && argc == 3) {
    stepRecord(argv[2]);
  } else if (step == "report" && argc == 4) {
    stepReport(argv[2], argv[3]);
  } else if (step == "participants" && argc == 4) {
    stepParticipants(argv[2], argv[3]);
  } else if (step == "participants-remembered" && argc == 4) {
    stepParticipantsRemembered(argv[2], argv[3]);
  } else if (step == "dpi" && argc == 3) {
    stepDpi(std::atoi(argv[2]));
  } else if (step == "browsed" && argc == 4) {
    return browsedStandIn(argv[2], argv[3]);
  } else if (step == "watch-lost") {
    stepWatchLost();
  } else {
    std::fprintf(stderr, "unknown step or arguments: %s\n", step.c_str());
    return 2;
  }
  return g_failed == 0 ? 0 : 1;
}
