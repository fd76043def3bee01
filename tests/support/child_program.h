// A program started by a test, as a user would start it, with its standard
// output and error on pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv::test {

struct ChildOptions {
  bool groupLeader = false;
  // Its standard input a pipe the test writes (writeInput), else /dev/null.
  bool withInput = false;
  // Its standard error that descriptor (a terminal, say) instead of a pipe.
  int stderrTo = -1;
  // Its standard output that descriptor (a file, say) instead of a pipe: a
  // program whose helpers may outlive it (a browser's) is then waited for
  // by its own end, not by the last holder of a pipe.
  int stdoutTo = -1;
  // The pipe of its standard output holds no more than this (Linux; 0: as
  // the system makes it), so that a test can have it fill quickly.
  int stdoutPipeBytes = 0;
  // A path: the program leads a session of its own whose controlling
  // terminal that is, as a login's shell has its terminal, though none of
  // its standard streams is on it.
  std::string terminal;
};

class ChildProgram {
 public:
  // args[0] is the program's path. A group leader gets a process group of
  // its own (a terminal's Ctrl-C goes to a group). See ChildOptions.
  explicit ChildProgram(std::vector<std::string> args, bool asGroupLeader = false);
  ChildProgram(std::vector<std::string> args, const ChildOptions& options);
  ~ChildProgram();  // kills it if it still runs
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  pid_t pid() const { return pid_; }
  // The first line of standard output, or "" after timeoutMs.
  std::string firstLine(int timeoutMs);
  // Exit status (or 128 + signal), -1 if still running after timeoutMs.
  int wait(int timeoutMs);
  // Everything on standard output or error until the program closes it.
  std::string readAll(bool stderrSide);
  // What is on standard error now, without waiting for more; appended to
  // what came before.
  const std::string& stderrSoFar();
  // Standard input (withInput): writes `text`; closes it.
  bool writeInput(const std::string& text);
  void closeInput();
  // Closes the reading end of its standard output, as `| head` does once
  // it has read enough.
  void closeOutput();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int in_ = -1;
  bool exited_ = false;
  std::string errSoFar_;
};

}  // namespace kv::test
