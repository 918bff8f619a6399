// Cooperative interruption for long native loops.
//
// The core knows nothing of the host.  The binding layer installs one hook at
// load time; it checks for pending signals (Ctrl-C) and throws Interrupted
// when one is pending, so a long loop unwinds cleanly through RAII-owned
// state.  The hook is set once and never changed afterwards.
#pragma once

#include <exception>

namespace tx {

struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

using PollHook = void (*)();

void set_poll_hook(PollHook hook);
void poll();

}  // namespace tx
