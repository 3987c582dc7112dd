#include "host/ServiceManager.h"

#include <csignal>

#ifdef VH_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "common/Log.h"
#include "host/StartupSteps.h"

namespace vh {

namespace {

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockServiceSignals() {
  const sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ServeUntilStopSignal() {
  const sigset_t set = ServiceSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal != SIGHUP) return;
    // Signals that arrive while this runs stay pending and coalesce into one more reload.
    ReopenLogAndReload();
  }
}

void ReopenLogAndReload() {
  NotifyServiceManager("RELOADING=1");
  ReopenLog();
  ReloadSettings();
  NotifyServiceManager("READY=1");
}

void NotifyServiceManager(const std::string& state) {
#ifdef VH_HAVE_SYSTEMD
  sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

}  // namespace vh
