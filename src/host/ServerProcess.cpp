#include "host/ServerProcess.h"

#include <atomic>

#include "common/Log.h"

namespace vh {

namespace {

std::atomic<bool> gRunning{false};

}  // namespace

TServerProcessStart StartServerProcess(std::vector<std::string> args, bool desktopShell) {
  Host().desktopShell = desktopShell;
  SetProgramArguments(std::move(args));
  TServerProcessStart result;
  result.outcome = Start_Server();
  switch (result.outcome) {
    case TStartOutcome::Started:
      gRunning.store(true);
      break;
    case TStartOutcome::ExitRequested:
      result.exitText = Host().exitText;
      break;
    case TStartOutcome::Failed:
      Log(LMT_ERROR, LMD_ALL, "critical error, shutdown initiated", "GENERAL");
      ShutdownServer();
      break;
  }
  return result;
}

void StopServerProcess() {
  if (gRunning.exchange(false)) ShutdownServer();
}

bool ServerProcessRunning() {
  return gRunning.load();
}

}  // namespace vh
