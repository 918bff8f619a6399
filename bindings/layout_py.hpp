// Layout pieces of the bindings: the toolkit's depiction and symmetry ranks,
// the jitter stream, and coordinate arrays.
#pragma once

#include <nanobind/ndarray.h>

#include <utility>
#include <vector>

#include "hints.hpp"
#include "values.hpp"
#include "layout/layout.hpp"

namespace tx::py {

// Canonical ranks without tie breaking; every atom its own class when the
// toolkit cannot rank the molecule.
nb::list symmetry_classes(nb::handle mol);

// CoordGen depiction (switched on process-wide) and symmetry ranks.
struct Depiction {
    layout::Coords coords;
    nb::list ranks;
    std::vector<long> rank_values;
};
Depiction depict(nb::handle mol);

// The first `pairs` pairs of the layout's jitter stream (a fresh generator
// seeded with 42, normal deviates of sd 0.1).
layout::Jitter draw_jitter(size_t pairs);

// Runs f(jitter) without the GIL, with a longer prefix of the jitter stream
// each time f runs out of it.  Atoms rarely coincide, and a layout runs out
// before its first step, so no jitter is drawn until one asks for it.
template <class F>
auto with_jitter(F&& f) -> decltype(f(layout::Jitter{})) {
    for (size_t pairs = 0;; pairs = pairs ? 8 * pairs : 8) {
        const layout::Jitter jitter = draw_jitter(pairs);
        try {
            return without_gil([&] { return f(jitter); });
        } catch (const layout::JitterExhausted&) {
        }
    }
}

// This thread's choice of repulsion evaluation for the layouts it runs (the
// near-pair list by default; off, all pairs).  For cross-checks and benchmarks.
bool& layout_pair_list();

// Layout parameters checked at the boundary (ValueError naming the argument).
layout::LayoutParams layout_params(long n_iter, double target_bond_len, double repulsion_factor, double k_attr,
                                   double k_rep);

nb::object coords_to_numpy(const layout::Coords& c);
using Array2 = nb::ndarray<double, nb::ndim<2>, nb::device::cpu>;
layout::Coords coords_from_array(const Array2& a);
void coords_to_array(const layout::Coords& c, Array2& a);

}  // namespace tx::py
