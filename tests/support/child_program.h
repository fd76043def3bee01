// A program started by a test, as a user would start it, with its standard
// output and error on pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv::test {

class ChildProgram {
 public:
  // args[0] is the program's path. A group leader gets a process group of
  // its own (a terminal's Ctrl-C goes to a group). With `withInput` its
  // standard input is a pipe the test writes, else /dev/null.
  // With `stderrTo` its standard error is that descriptor (a terminal, say)
  // instead of a pipe.
  explicit ChildProgram(std::vector<std::string> args, bool asGroupLeader = false, bool withInput = false,
                        int stderrTo = -1);
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
