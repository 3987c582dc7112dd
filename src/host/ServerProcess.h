// The server's life as both programs run it, the headless server and the desktop shell: one
// start-up path and one shutdown path, so the two cannot drift apart. StartServerProcess runs
// on one thread (main, or the shell's start-up thread); StopServerProcess runs on the main
// thread after start-up has returned (a thread join or a queued call orders the two).
#pragma once

#include <string>
#include <vector>

#include "host/ServerHost.h"

namespace vh {

struct TServerProcessStart {
  TStartOutcome outcome = TStartOutcome::Failed;
  std::string exitText;  // the version or help text, with ExitRequested
};

// Runs start-up with the program's arguments (without its name). After a failure it has
// logged "critical error, shutdown initiated" (kind ERROR, depth All, category "GENERAL")
// and run the shutdown: the program only ends with exit code 1. `desktopShell` tells
// start-up that the shell finds the external address itself.
TServerProcessStart StartServerProcess(std::vector<std::string> args, bool desktopShell);

// Runs the shutdown once after a successful start. Later calls do nothing: the desktop may ask
// at log-off and again when the application quits.
void StopServerProcess();

// Start-up succeeded and the shutdown has not run yet.
bool ServerProcessRunning();

}  // namespace vh
