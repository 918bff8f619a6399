#include "common/poll.hpp"

namespace tx {

namespace {
PollHook g_hook = nullptr;
}

void set_poll_hook(PollHook hook) { g_hook = hook; }

void poll() {
    if (g_hook) g_hook();
}

}  // namespace tx
