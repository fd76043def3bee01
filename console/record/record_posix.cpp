#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/record/record_platform.h"

namespace kv::record {

namespace {

volatile sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }

}  // namespace

void installStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
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

std::FILE* createNewFile(const char* path, std::string* reason) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *reason = errno == EEXIST ? "it exists, and a recording is never overwritten" : errorText(errno);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    *reason = errorText(errno);
    ::close(fd);
    ::unlink(path);
  }
  return f;
}

std::FILE* rowsToStdout() { return stdout; }

bool syncToDisk(std::FILE* file, std::string* reason) {
  if (::fsync(fileno(file)) == 0 || errno == EINVAL || errno == EROFS) return true;
  *reason = errorText(errno);
  return false;
}

void removeFile(const char* path) { ::unlink(path); }

std::string errorText(int code) { return std::strerror(code); }

std::string portErrorText(int code) { return std::strerror(code); }

bool isSerialPort(const char*, std::string*) { return true; }  // the open itself refuses anything else

}  // namespace kv::record
