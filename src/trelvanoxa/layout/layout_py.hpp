// Layout entry points shared with the graph builder.
#pragma once

#include <utility>
#include <vector>

#include "common/interop.hpp"
#include "layout/layout.hpp"

namespace tx::py {

nb::list symmetry_classes(nb::handle mol);

// Depiction seed, relaxation and symmetrisation of an RDKit molecule; its
// bonds are read from it unless the caller has them already.
std::pair<layout::Coords, nb::list> atom_layout(nb::handle mol, const layout::LayoutParams& params,
                                                const std::vector<std::pair<int, int>>* known_bonds = nullptr);

}  // namespace tx::py
