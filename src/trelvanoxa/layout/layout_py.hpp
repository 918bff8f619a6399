// Layout entry points shared with the graph builder.
#pragma once

#include <utility>

#include "common/interop.hpp"
#include "layout/layout.hpp"

namespace tx::py {

nb::list symmetry_classes(nb::handle mol);

// Depiction seed, relaxation and symmetrisation of an RDKit molecule.
std::pair<layout::Coords, nb::list> atom_layout(nb::handle mol, const layout::LayoutParams& params);

}  // namespace tx::py
