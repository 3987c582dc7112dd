// Headless entry point for Linux: runs start-up, serves until SIGINT or SIGTERM (SIGHUP
// reloads), then runs the shutdown sequence. The signals are taken synchronously on the main
// thread.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "host/ServerProcess.h"
#include "host/ServiceManager.h"

int main(int argc, char** argv) {
  // Before any thread starts, so every thread inherits the mask.
  vh::BlockServiceSignals();
  std::signal(SIGPIPE, SIG_IGN);

  const vh::TServerProcessStart start = vh::StartServerProcess(
      std::vector<std::string>(argv + 1, argv + argc), /*desktopShell=*/false);
  switch (start.outcome) {
    case vh::TStartOutcome::Started:
      break;
    case vh::TStartOutcome::ExitRequested: {
      // No message box without a desktop: the version or help text goes to standard output.
      const std::string& text = start.exitText;
      std::cout << text;
      if (text.empty() || (text.back() != '\r' && text.back() != '\n')) std::cout << "\n";
      std::cout.flush();
      return EXIT_SUCCESS;
    }
    case vh::TStartOutcome::Failed:
      return EXIT_FAILURE;
  }
  vh::ServeUntilStopSignal();
  vh::StopServerProcess();
  return EXIT_SUCCESS;
}
