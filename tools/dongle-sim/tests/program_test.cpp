// The program koravel-dongle-sim as a user and the Wine tests run it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/serial_port.h"
#include "sim_test_support.h"
#include "support/child_program.h"

namespace kv::sim {
namespace {

using test::Bytes;

// A running koravel-dongle-sim with its standard output and error on pipes.
class Program : public kv::test::ChildProgram {
 public:
  explicit Program(std::vector<std::string> args, bool asGroupLeader = false)
      : ChildProgram(withProgram(std::move(args)), asGroupLeader) {}

 private:
  static std::vector<std::string> withProgram(std::vector<std::string> args) {
    args.insert(args.begin(), KV_DONGLE_SIM_PROGRAM);
    return args;
  }
};

// The controlling terminal of a process (field 7 of /proc/PID/stat), or -1.
long controllingTerminal(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = content.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(content.substr(close + 2));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0, tty = -1;
  rest >> state >> ppid >> pgrp >> session >> tty;
  return tty;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::makeTempDir(); }
  void TearDown() override { test::removeTree(dir_); }
  std::string dir_;
};

TEST_F(ProgramTest, OwnsThePtyAnswersAndCleansUpOnSigterm) {
  const std::string link = dir_ + "/com7";
  Program program({"--devices", "3", "--rate", "5", "--link", link, "--duration", "30"});
  const std::string slave = program.firstLine(5000);
  ASSERT_TRUE(slave.starts_with("/dev/")) << "first line: '" << slave << "'";
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), slave);

  struct stat st {};
  ASSERT_EQ(::stat(slave.c_str(), &st), 0);
  if (std::filesystem::exists("/proc/self/stat")) {
    EXPECT_EQ(controllingTerminal(program.pid()), static_cast<long>(st.st_rdev))
        << "the pty is the simulator's controlling terminal, so no later opener takes it";
  }

  test::ConsoleEnd console(link);
  ASSERT_TRUE(console.ok());
  console.send(test::startAdvFrame());
  ASSERT_TRUE(console.readUntil([](const Bytes& b) { return test::reportsIn(b).size() >= 3; }, 3000));
  EXPECT_EQ(Bytes(console.received().begin(), console.received().begin() + kAckSize), test::ackFrame());

  ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
  EXPECT_EQ(program.wait(5000), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the link is removed at exit";
  EXPECT_TRUE(console.waitHangup(1000));
  EXPECT_NE(program.readAll(true).find("start ADV"), std::string::npos) << "progress goes to standard error";
}

TEST_F(ProgramTest, StartedAsProcessGroupLeaderItStillWorks) {
  // As from an interactive shell: it cannot start a session itself, so it
  // runs in a child and passes signals on.
  const std::string link = dir_ + "/com8";
  Program program({"--link", link, "--duration", "30", "--quiet"}, true);
  const std::string slave = program.firstLine(5000);
  ASSERT_TRUE(slave.starts_with("/dev/")) << "first line: '" << slave << "'";
  test::ConsoleEnd console(slave);
  ASSERT_TRUE(console.ok());
  console.send(test::configRequestFrame());
  ASSERT_TRUE(console.readUntil([](const Bytes& b) { return b.size() >= kConfigDataSize; }, 3000));
  EXPECT_EQ(test::residualOf(console.received()), 0);
  ASSERT_EQ(::kill(program.pid(), SIGINT), 0);
  EXPECT_EQ(program.wait(5000), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(program.readAll(true), "") << "--quiet";
}

TEST_F(ProgramTest, DurationAndUnplugEndTheRunWithStatusZero) {
  const std::string record = dir_ + "/run.rec";
  Program timed({"--duration", "0.4", "--record", record, "--seed", "5"});
  ASSERT_FALSE(timed.firstLine(5000).empty());
  EXPECT_EQ(timed.wait(5000), 0);
  std::vector<std::string> comments;
  test::readRecord(record, &comments);
  ASSERT_FALSE(comments.empty());
  EXPECT_NE(comments.back().find("event=end reason=duration"), std::string::npos) << comments.back();

  // Closing the master hangs up the pty, which is the simulator's own
  // controlling terminal: that must not kill it.
  Program unplugged({"--unplug-after", "0.3", "--duration", "30"});
  const std::string slave = unplugged.firstLine(5000);
  test::ConsoleEnd console(slave);
  ASSERT_TRUE(console.ok());
  EXPECT_TRUE(console.waitHangup(3000));
  EXPECT_EQ(unplugged.wait(5000), 0);
}

TEST_F(ProgramTest, WithoutALinkItIsListedFromTheUsersOwnPortFolder) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  Program program({"--duration", "30", "--quiet"});
  const std::string slave = program.firstLine(5000);
  std::vector<std::string> listed;
  kv::enumerateSerialPorts(
      [](void* ctx, const char* path, kv::PortFind) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(path);
        return true;
      },
      &listed);
  const std::string folder = dir_ + "/koravel";
  std::vector<std::filesystem::path> links;
  for (const auto& e : std::filesystem::directory_iterator(folder)) links.push_back(e.path());
  ASSERT_EQ(links.size(), 1u);
  EXPECT_TRUE(links[0].filename().string().starts_with("dongle-sim-"));
  EXPECT_EQ(std::filesystem::read_symlink(links[0]).string(), slave);
  EXPECT_NE(std::find(listed.begin(), listed.end(), links[0].string()), listed.end()) << "the console lists it";
  ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
  EXPECT_EQ(program.wait(5000), 0);
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "removed at exit";

  Program none({"--duration", "30", "--quiet", "--no-link"});
  ASSERT_FALSE(none.firstLine(5000).empty());
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  ::kill(none.pid(), SIGTERM);
  EXPECT_EQ(none.wait(5000), 0);
  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST_F(ProgramTest, ItClearsLeftoverLinksAndKeepsOutOfAPortFolderOthersMayUse) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  const std::string folder = dir_ + "/koravel";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  // The link of a simulator killed earlier; one that still runs (us); and
  // someone else's.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const std::string leftover = folder + "/" + kv::kSimulatorLinkPrefix + std::to_string(gone);
  const std::string running = folder + "/" + kv::kSimulatorLinkPrefix + std::to_string(::getpid());
  const std::string other = folder + "/adapter";
  for (const std::string& link : {leftover, running, other}) std::filesystem::create_symlink("/dev/null", link);

  Program program({"--duration", "30", "--quiet"});
  ASSERT_FALSE(program.firstLine(5000).empty());
  EXPECT_FALSE(std::filesystem::is_symlink(leftover));
  EXPECT_TRUE(std::filesystem::is_symlink(running));
  EXPECT_TRUE(std::filesystem::is_symlink(other));
  ::kill(program.pid(), SIGTERM);
  EXPECT_EQ(program.wait(5000), 0);

  ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
  Program refused({"--duration", "30", "--quiet"});
  ASSERT_FALSE(refused.firstLine(5000).empty()) << "it runs without a link";
  EXPECT_FALSE(std::filesystem::exists(folder + "/" + kv::kSimulatorLinkPrefix + std::to_string(refused.pid())));
  ::kill(refused.pid(), SIGTERM);
  EXPECT_EQ(refused.wait(5000), 0);
  EXPECT_EQ(refused.readAll(true), "koravel-dongle-sim: Port folder " + folder +
                                       " not used: others may use it (mode 0750; it must be 0700); no link made\n");
  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST_F(ProgramTest, HelpAndBadOptions) {
  Program help({"--help"});
  EXPECT_EQ(help.wait(5000), 0);
  const std::string usage = help.readAll(false);
  EXPECT_NE(usage.find("Usage: koravel-dongle-sim"), std::string::npos);
  EXPECT_NE(usage.find("--fault-bad-seal"), std::string::npos);

  Program bad({"--rate", "fast"});
  EXPECT_EQ(bad.wait(5000), 2);
  const std::string message = bad.readAll(true);
  EXPECT_NE(message.find("--rate: 'fast' is not a number"), std::string::npos) << message;
  EXPECT_NE(message.find("--help"), std::string::npos) << message;
  EXPECT_EQ(bad.readAll(false), "") << "no slave path for a run that did not start";
}

}  // namespace
}  // namespace kv::sim
