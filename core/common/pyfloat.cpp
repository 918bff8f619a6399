#include "common/pyfloat.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tx::py_float {

std::string repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[400];
    const double ax = std::fabs(x);
    // repr switches to exponent notation outside [1e-4, 1e16).
    const bool sci = ax != 0.0 && (ax < 1e-4 || ax >= 1e16);
    auto res = std::to_chars(buf, buf + sizeof buf, x, sci ? std::chars_format::scientific : std::chars_format::fixed);
    std::string s(buf, res.ptr);
    if (sci) {
        // 1e-05 style: at least two exponent digits, explicit sign.
        auto e = s.find('e');
        std::string mant = s.substr(0, e), exp = s.substr(e + 1);
        char sign = '+';
        if (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) {
            sign = exp[0];
            exp = exp.substr(1);
        }
        if (exp.size() < 2) exp = "0" + exp;
        return mant + "e" + sign + exp;
    }
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

double round_decimal(double x, int digits) {
    // Correctly rounded decimal text of the exact binary value, read back.
    char buf[512];
    auto res = std::to_chars(buf, buf + sizeof buf - 1, x, std::chars_format::fixed, digits);
    *res.ptr = '\0';
    return std::strtod(buf, nullptr);
}

double round_half_even(double x, int digits) {
    double scale = 1.0;
    for (int i = 0; i < digits; ++i) scale *= 10.0;
    return std::nearbyint(x * scale) / scale;
}

double mod(double a, double b) {
    double r = std::fmod(a, b);
    if (r != 0.0) {
        if ((b < 0) != (r < 0)) r += b;
    } else {
        r = std::copysign(0.0, b);
    }
    return r;
}

void Sum::add(double x) {
    const double t = sum_ + x;
    if (std::fabs(sum_) >= std::fabs(x))
        comp_ += (sum_ - t) + x;
    else
        comp_ += (x - t) + sum_;
    sum_ = t;
}

double Sum::value() const { return (comp_ != 0.0 && std::isfinite(comp_)) ? sum_ + comp_ : sum_; }

}  // namespace tx::py_float
