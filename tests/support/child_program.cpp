#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace kv::test {

ChildProgram::ChildProgram(std::vector<std::string> args, bool asGroupLeader)
    : ChildProgram(std::move(args), [asGroupLeader] {
        ChildOptions o;
        o.groupLeader = asGroupLeader;
        return o;
      }()) {}

ChildProgram::ChildProgram(std::vector<std::string> args, const ChildOptions& options) {
  const bool withInput = options.withInput;
  const int stderrTo = options.stderrTo;
  int out[2];
  int err[2];
  int in[2] = {-1, -1};
  if (::pipe(out) != 0 || ::pipe(err) != 0) return;
  if (withInput && ::pipe(in) != 0) return;
#ifdef F_SETPIPE_SZ
  if (options.stdoutPipeBytes > 0) ::fcntl(out[1], F_SETPIPE_SZ, options.stdoutPipeBytes);
#endif
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (withInput) {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    ::signal(SIGPIPE, SIG_IGN);  // a write to a program that has ended fails, and says so
  } else {
    // Nothing of the test's own input: a program that reads it gets none.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, options.stdoutTo >= 0 ? options.stdoutTo : out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, stderrTo >= 0 ? stderrTo : err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  const std::string& terminal = options.terminal;
  if (!terminal.empty()) {
    // A session leader without a terminal takes the first it opens without
    // O_NOCTTY for its own, and keeps it after closing it. The session is
    // made before the file actions run.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&actions, 3, terminal.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_addclose(&actions, 3);
  } else if (options.groupLeader) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (withInput) {
    ::close(in[0]);
    in_ = in[1];
  }
}

ChildProgram::~ChildProgram() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
  ::close(err_);
  if (in_ >= 0) ::close(in_);
}

bool ChildProgram::writeInput(const std::string& text) {
  return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProgram::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ChildProgram::closeOutput() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

std::string ChildProgram::firstLine(int timeoutMs) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c = 0;
    if (::read(out_, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

int ChildProgram::wait(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string ChildProgram::readAll(bool stderrSide) {
  std::string all = stderrSide ? errSoFar_ : "";
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(stderrSide ? err_ : out_, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(n));
  return all;
}

const std::string& ChildProgram::stderrSoFar() {
  char buffer[4096];
  for (;;) {
    pollfd p{err_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    const ssize_t n = ::read(err_, buffer, sizeof buffer);
    if (n <= 0) break;
    errSoFar_.append(buffer, static_cast<std::size_t>(n));
  }
  return errSoFar_;
}

}  // namespace kv::test
