// koravel-dongle-sim: the simulated dongle as a program. See --help.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "kv_version.h"
#include "link/serial_port.h"
#include "tools/dongle-sim/dongle_sim.h"
#include "tools/dongle-sim/sim_options.h"

namespace {

constexpr const char* kProgram = "koravel-dongle-sim";

std::atomic<kv::sim::DongleSim*> g_sim{nullptr};
volatile sig_atomic_t g_child = 0;

extern "C" void onStopSignal(int) {
  if (auto* sim = g_sim.load()) sim->requestStop();
}

// The child has a session of its own: the terminal's hang-up reaches only
// this process, and ends the child like SIGTERM.
extern "C" void forwardSignal(int sig) {
  if (g_child > 0) ::kill(static_cast<pid_t>(g_child), sig == SIGHUP ? SIGTERM : sig);
}

void setHandler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
}

// Claiming the pty as controlling terminal needs a new session, which a
// process group leader (a program started by an interactive shell) cannot
// start. Then the simulator runs in a child, and this process passes
// SIGINT/SIGTERM on to it and exits with its status. Returns in the child
// (or when no child is needed); never returns in the parent.
void runInOwnSessionIfNeeded() {
  if (::getsid(0) == ::getpid() || ::getpgrp() != ::getpid()) return;
  std::fflush(stdout);
  // Signals wait until the parent can pass them on.
  sigset_t stopSignals;
  sigset_t previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &stopSignals, &previous);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child <= 0) {  // the child, or no child: openPty will say what fails
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
#if defined(__linux__)
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(0);
    }
#endif
    return;
  }
  g_child = child;
  setHandler(SIGINT, forwardSignal);
  setHandler(SIGTERM, forwardSignal);
  setHandler(SIGHUP, forwardSignal);
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) ::_exit(1);
  }
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Removes from the port folder the links that simulators which no longer
// run left behind (killed, say): only links of our own kind of name, and
// only for processes that are gone.
void removeLeftoverLinks(const char* folder) {
  DIR* d = ::opendir(folder);
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    if (!kv::leftoverSimulatorLink(e->d_name)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) continue;
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

// The link in the user's own port folder, which the console lists: the
// folder is made if need be, and used only if it is this user's own
// directory that nobody else may use (not a link, nobody else's, mode 0700),
// as it may be under /tmp.
std::string userFolderLink(std::string* error) {
  char folder[kv::kPortNameSize];
  if (!kv::userPortFolder(folder)) return "";
  if (::mkdir(folder, 0700) != 0 && errno != EEXIST) {
    *error = std::string("cannot make ") + folder + ": " + std::strerror(errno);
    return "";
  }
  char why[kv::kPortTextSize];
  if (!kv::checkPortFolder(folder, why)) {
    *error = (why[0] != '\0' ? std::string(why) : std::string(folder) + " is not there") + "; no link made";
    return "";
  }
  removeLeftoverLinks(folder);
  return std::string(folder) + "/" + kv::kSimulatorLinkPrefix + std::to_string(::getpid());
}
}  // namespace

int main(int argc, char** argv) {
  kv::sim::SimOptions options;
  std::string error;
  switch (kv::sim::parseSimOptions(argc, argv, &options, &error)) {
    case kv::sim::ParseOutcome::Help:
      std::fputs(kv::sim::simUsage(kProgram).c_str(), stdout);
      return 0;
    case kv::sim::ParseOutcome::Version:
      std::printf("%s %s\n", kProgram, KV_VERSION);
      return 0;
    case kv::sim::ParseOutcome::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
      return 2;
    case kv::sim::ParseOutcome::Run:
      break;
  }
  options.claimControllingTerminal = true;

  // The pty becomes our controlling terminal: closing its master (unplug)
  // hangs it up, and that must not end us.
  setHandler(SIGHUP, SIG_IGN);
  setHandler(SIGPIPE, SIG_IGN);
  runInOwnSessionIfNeeded();

  if (options.linkPath.empty() && !options.noLink) {
    std::string problem;
    options.linkPath = userFolderLink(&problem);
    if (!problem.empty()) std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
  }
  kv::sim::DongleSim sim(options);
  if (!options.quiet)
    sim.setLogger([](const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); });
  g_sim.store(&sim);
  setHandler(SIGINT, onStopSignal);
  setHandler(SIGTERM, onStopSignal);

  std::string slavePath;
  if (!sim.openPty(&slavePath, &error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);
  if (!options.quiet) {
    std::fprintf(stderr, "%s: %d devices at %g Hz, seed %llu, on %s%s%s\n", kProgram, options.devices, options.rateHz,
                 static_cast<unsigned long long>(sim.seed()), slavePath.c_str(),
                 options.linkPath.empty() ? "" : ", link ", options.linkPath.c_str());
  }

  sim.run();
  const kv::sim::EndReason reason = sim.endReason();
  g_sim.store(nullptr);
  sim.closePty();
  return reason == kv::sim::EndReason::LinkError ? 1 : 0;
}
