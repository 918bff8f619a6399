// Cooperative interruption for long native loops.
//
// The core knows nothing of the host; the binding layer installs a hook that
// checks for pending signals (Ctrl-C) and throws if one is pending, so a long
// loop unwinds cleanly through RAII-owned state.
#pragma once

namespace tx {

using PollHook = void (*)();

void set_poll_hook(PollHook hook);
void poll();

}  // namespace tx
