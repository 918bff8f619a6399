// Values read from the caller's objects, checked with errors that name them,
// and the few ways back into the interpreter (the package, sys.stdout, numpy).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace tx::py {

namespace nb = nanobind;

// The trelvanoxa package, so names a caller rebinds there are seen at call time.
nb::object package();
nb::object package_attr(const char* name);

// One line (plus newline) through the interpreter's print, so sys.stdout
// redirection (notebooks, pytest capture) sees it.
void emit(const std::string& line);

bool truthy(nb::handle obj);
std::string str_of(nb::handle obj);
std::string type_name_of(nb::handle obj);

// Values read from the caller's objects, checked with errors that name them:
// an int (TypeError unless it is one, ValueError beyond `lo`..`hi`), a str.
long int_value(nb::handle v, const char* what, long lo = -(1L << 62), long hi = 1L << 62);
std::string text_value(nb::handle v, const char* what);

// A real number (edge weights, thresholds, angles); TypeError for anything else,
// naming `what` when given.
double real_value(nb::handle w, const char* what = nullptr);
// A finite real number; ValueError naming `what` for NaN and infinities.
double finite_value(nb::handle w, const char* what);
double finite_value(double x, const char* what);
// A zero-band tolerance: finite and not negative.
double tolerance(double tol, const char* what = "tol");
// A count (an integer from 0 up); TypeError or ValueError naming `what`.
long count_value(nb::handle v, const char* what);

nb::object float_vector_to_numpy(const double* data, size_t n);

// Runs f() with the GIL released; exceptions pass through once it is held again.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
    nb::gil_scoped_release release;
    return f();
}

}  // namespace tx::py
