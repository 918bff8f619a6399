// The trelvanoxa extension: one module, each subsystem adds its functions.
#include <nanobind/nanobind.h>

#include <typeinfo>

#include <chrono>

#include "common/lapack.hpp"
#include "common/poll.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {
void add_elements(nb::module_& m);
void add_layout(nb::module_& m);
void add_vif(nb::module_& m);
void add_ms(nb::module_& m);
void add_analysis(nb::module_& m);
}  // namespace tx

namespace {

// Ident of the interpreter's main thread, the only one that handles signals;
// fixed when the module loads.
unsigned long g_main_thread = 0;

// Called often from long native loops, usually without the GIL.  On the main
// thread, every few milliseconds it takes the GIL just long enough to run
// pending signal handlers; a raised exception (Ctrl-C) stays set on the
// thread and unwinds the native loop as tx::Interrupted.
void check_signals() {
    if (PyThread_get_thread_ident() != g_main_thread) return;
    // The clock is read on every 16th call only: the loops call this often.
    thread_local unsigned calls = 0;
    if (++calls % 16 != 0) return;
    using clock = std::chrono::steady_clock;
    thread_local clock::time_point last = clock::now();
    const clock::time_point now = clock::now();
    if (now - last < std::chrono::milliseconds(5)) return;
    last = now;
    nb::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) throw tx::Interrupted();
}

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "Native core of trelvanoxa: orbital-interaction graphs, LPI, soft bonds and EI-MS fragments.";
    g_main_thread = nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    tx::set_poll_hook(&check_signals);
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const tx::Interrupted&) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const std::bad_cast&) {
            // A value that could not be converted (the bindings check what
            // they read; this is the last resort, never "std::bad_cast").
            PyErr_SetString(PyExc_TypeError, "a value given to trelvanoxa (or returned by an object given to it) "
                                             "has a type that cannot be used here");
        }
    });
    // Parallelism comes from analysing many molecules at once: one thread per
    // eigensolve unless the caller asks for more.
    tx::linalg::set_eigensolver_threads(1);
    m.def(
        "set_blas_threads",
        [](int n) {
            if (n < 1) throw nb::value_error(("n must be at least 1, not " + std::to_string(n)).c_str());
            tx::linalg::set_eigensolver_threads(n);
        },
        "n"_a,
        "Sets how many threads the native eigensolver (OpenBLAS) may use, process-wide.\n\n"
        "The default is 1, so that analyses running side by side in threads or processes do not\n"
        "compete; give a single very large molecule (thousands of orbitals) more threads with\n"
        "set_blas_threads(os.cpu_count()).  numpy's own BLAS is not affected.");
    m.def("get_blas_threads", &tx::linalg::eigensolver_threads,
          "Number of threads the native eigensolver may use (see set_blas_threads).");
    tx::add_elements(m);
    tx::add_layout(m);
    tx::add_vif(m);
    tx::add_ms(m);
    tx::add_analysis(m);
}
