// The trelvanoxa extension: one module, each subsystem adds its functions.
#include <nanobind/nanobind.h>

#include <chrono>

#include "common/poll.hpp"

namespace nb = nanobind;

namespace tx {
void add_elements(nb::module_& m);
void add_layout(nb::module_& m);
void add_vif(nb::module_& m);
void add_ms(nb::module_& m);
void add_reference(nb::module_& m);
namespace figures {
void add_figures(nb::module_& m);
void add_panels(nb::module_& m);
}
}  // namespace tx

namespace {

// Called often from long native loops.  Every few milliseconds the GIL is
// dropped for a moment so other Python threads can run (a timer calling
// _thread.interrupt_main, a progress reporter); pending signals (Ctrl-C) then
// surface as Python exceptions that unwind the native loop.
void check_signals() {
    using clock = std::chrono::steady_clock;
    static clock::time_point last = clock::now();
    const clock::time_point now = clock::now();
    if (now - last >= std::chrono::milliseconds(5)) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        last = clock::now();
    }
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "Native core of trelvanoxa: orbital-interaction graphs, LPI, soft bonds and EI-MS fragments.";
    tx::set_poll_hook(&check_signals);
    tx::add_elements(m);
    tx::add_layout(m);
    tx::add_vif(m);
    tx::add_ms(m);
    tx::figures::add_figures(m);
    tx::figures::add_panels(m);
    tx::add_reference(m);
}
