#include "common/molecule.hpp"

#include <cmath>

namespace tx {

int bond_order_of(double type) {
    if (type == 0.0) return 1;
    // nearbyint rounds halves to even in the default rounding mode,
    // so 1.5 -> 2, 2.5 -> 2, 3.5 -> 4.
    int order = static_cast<int>(std::nearbyint(type));
    return order < 1 ? 1 : order;
}

}  // namespace tx
