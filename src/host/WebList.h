// Start and stop of the web-list poster and of the external-address check for the headless
// server. Called only from the start-up and shutdown steps on the main thread; the objects
// live between the two calls.
#pragma once

#include "weblist/WebListRecord.h"

namespace vh {

// The poster's view of the settings at this moment (read without a lock, as the
// administration threads read them).
TWebPostSettings CurrentWebPostSettings();
// Starts the poster thread and, when an address-echo page is configured, detection is on and
// no desktop shell runs its own, one external-address check whose result goes to the log
// and the console.
void StartWebList();
// Stops the poster (a wait ends at once, a post in flight is cancelled) and the check.
void StopWebList();

}  // namespace vh
