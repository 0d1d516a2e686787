// The media layer's pause notifications: the host pauses and resumes background work (for
// example while it plays back), and registered callbacks hear about it (true: pause).
#pragma once

#include <functional>

#include "platform/runtime/guid.h"

namespace ML {

using PauseCallback = std::function<void(bool paused)>;

// Returns the id to unregister with. An empty callback is not registered (a null id is returned).
qrs::GUID RegisterPauseCallback(PauseCallback callback);
// After this returns the callback is not running and will not be called again, unless it is
// called from within that callback (then only later calls are prevented).
void UnregisterPauseCallback(const qrs::GUID& id);

// Host side: calls every registered callback with `paused`, in registration order, on the
// calling thread. Calls do not overlap.
void SetPaused(bool paused);
int PauseCallbackCount();

}  // namespace ML
