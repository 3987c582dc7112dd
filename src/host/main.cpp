// Headless entry point for Linux: runs start-up, serves until SIGINT or SIGTERM (SIGHUP
// reloads), then runs the shutdown sequence. The signals are taken synchronously on the main
// thread.
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Log.h"
#include "host/ServerHost.h"
#include "host/ServiceManager.h"

int main(int argc, char** argv) {
  // Before any thread starts, so every thread inherits the mask.
  vh::BlockServiceSignals();
  std::signal(SIGPIPE, SIG_IGN);

  vh::SetProgramArguments(std::vector<std::string>(argv + 1, argv + argc));
  switch (vh::Start_Server()) {
    case vh::TStartOutcome::Started:
      break;
    case vh::TStartOutcome::ExitRequested:
      return EXIT_SUCCESS;
    case vh::TStartOutcome::Failed:
      vh::Log(vh::LMT_ERROR, vh::LMD_ALL, "critical error, shutdown initiated", "GENERAL");
      vh::ShutdownServer();
      return EXIT_FAILURE;
  }
  vh::ServeUntilStopSignal();
  vh::ShutdownServer();
  return EXIT_SUCCESS;
}
