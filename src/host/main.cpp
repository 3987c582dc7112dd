// Headless entry point for Linux: runs start-up, serves until SIGINT or SIGTERM, then runs
// the shutdown sequence. The signals are taken synchronously on the main thread.
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Log.h"
#include "host/ServerHost.h"

int main(int argc, char** argv) {
  // Block the stop signals before any thread starts, so every thread inherits the mask and
  // the main thread alone receives them through sigwait.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
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
  int signal = 0;
  sigwait(&stopSignals, &signal);
  vh::ShutdownServer();
  return EXIT_SUCCESS;
}
