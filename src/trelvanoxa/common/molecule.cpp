#include "common/molecule.hpp"

#include <cmath>

namespace tx {

void MassSum::add(double x) {
    const double t = sum_ + x;
    if (std::fabs(sum_) >= std::fabs(x))
        comp_ += (sum_ - t) + x;
    else
        comp_ += (x - t) + sum_;
    sum_ = t;
}

double MassSum::value() const { return (comp_ != 0.0 && std::isfinite(comp_)) ? sum_ + comp_ : sum_; }

int bond_order_of(double type) {
    if (type == 0.0) return 1;
    // nearbyint rounds halves to even in the default rounding mode,
    // so 1.5 -> 2, 2.5 -> 2, 3.5 -> 4.
    int order = static_cast<int>(std::nearbyint(type));
    return order < 1 ? 1 : order;
}

}  // namespace tx
