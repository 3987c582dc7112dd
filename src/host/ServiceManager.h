// The server as a system service: the signals the main thread waits for (stop, and reload for
// log rotation) and the state messages to the service manager. The calls compile to nothing
// for the service manager when the build has no libsystemd; outside a service they do
// nothing. Main thread only.
#pragma once

#include <string>

namespace vh {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread. Called before any other thread
// starts, so every thread inherits the mask and only the main thread's wait receives them.
void BlockServiceSignals();

// Waits for the blocked signals: SIGHUP reopens the log and reloads the settings (then waits
// again); SIGINT or SIGTERM return. The signals are taken synchronously with sigwait, so the
// work runs on the main thread, outside any signal handler.
void ServeUntilStopSignal();

// One reload as SIGHUP does it: a fresh log file, then ReloadSettings.
void ReopenLogAndReload();

// Tells the service manager a state ("READY=1", "STOPPING=1", ...).
void NotifyServiceManager(const std::string& state);

}  // namespace vh
