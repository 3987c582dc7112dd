// Runs the real server program as a child process for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vh::test {

class TChildProcess {
 public:
  // Starts `program` with `args`; standard output goes to `stdoutFile` and standard error to
  // `stderrFile` when given.
  TChildProcess(const std::string& program, const std::vector<std::string>& args,
                const std::string& stdoutFile = {}, const std::string& stderrFile = {});
  ~TChildProcess();  // kills a child that is still running

  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the child to end; returns its exit code, or -1 when it did not end in time
  // or ended by a signal.
  int Wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Polls `condition` until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace vh::test
