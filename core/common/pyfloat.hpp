// Floating-point behaviour of the Python interpreter and numpy, reproduced so
// that native results print and compare exactly as the interpreter's would.
// Everything that imitates the interpreter lives here.
#pragma once

#include <string>

namespace tx::py_float {

// repr(x): shortest round-trip decimal form with at least one digit after the
// point (2.0, -0.0, 0.5, 1e-05, inf, nan).
std::string repr(double x);

// round(x, digits): correctly rounded from the exact binary value.
double round_decimal(double x, int digits);

// numpy.round(x, digits): scaled, rounded half to even, scaled back.
double round_half_even(double x, int digits);

// x % m for floats: floored modulo with the sign of the divisor.
double mod(double a, double b);

// sum() of floats: a compensated (Neumaier) running sum, so that
// 12.011 + 3 * 1.008 comes out as 15.035 rather than 15.034999999999998.
class Sum {
public:
    void add(double x);
    double value() const;

private:
    double sum_ = 0.0, comp_ = 0.0;
};

}  // namespace tx::py_float
