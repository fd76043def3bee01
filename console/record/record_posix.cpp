#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/record/record_platform.h"

namespace kv::record {

namespace {

volatile sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }

// What has come of a line not yet ended.
std::string pendingInput;

}  // namespace

void installStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file that may grow no more fails its write (EFBIG) instead of ending us.
  signal(SIGXFSZ, SIG_IGN);
}

bool stopRequested() { return stopAsked != 0; }

void stopDone() {}

bool liveTerminal() {
  if (isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

int terminalRows() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

int terminalColumns() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

bool readInputLine(std::string* line, bool* eof) {
  for (;;) {
    const std::size_t nl = pendingInput.find('\n');
    if (nl != std::string::npos) {
      *line = pendingInput.substr(0, nl + 1);
      pendingInput.erase(0, nl + 1);
      return true;
    }
    // A program in the background of its terminal that reads it is stopped.
    if (isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char buffer[512];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    if (n <= 0) {
      *eof = true;
      // What came without its line end is a line too.
      if (pendingInput.empty()) return false;
      *line = pendingInput;
      pendingInput.clear();
      return true;
    }
    pendingInput.append(buffer, static_cast<std::size_t>(n));
    // A line longer than any marker keeps only its start.
    if (pendingInput.size() > 4096 && pendingInput.find('\n') == std::string::npos) pendingInput.resize(4096);
  }
}

std::string portErrorText(int code) { return std::strerror(code); }

bool isSerialPort(const char*, std::string*) { return true; }  // the open itself refuses anything else

}  // namespace kv::record
