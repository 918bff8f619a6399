// Python surface of the layout: atom layout, symmetry helpers, node placement.
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <cmath>

#include "common/defaults.hpp"
#include "hints.hpp"
#include "values.hpp"
#include "rdkit_mol.hpp"
#include "common/lapack.hpp"
#include "layout/layout.hpp"
#include "layout_py.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

namespace {

std::vector<long> ranks_from(nb::handle ranks) {
    std::vector<long> out;
    for (nb::handle r : ranks) out.push_back(py::int_value(r, "rank"));
    return out;
}

}  // namespace

nb::list py::symmetry_classes(nb::handle mol) {
    // Anything with an atom count can fall back to one class per atom.
    if (!nb::hasattr(mol, "GetNumAtoms"))
        throw nb::type_error(("mol must be an RDKit Mol, not " + type_name_of(mol)).c_str());
    try {
        nb::object ranks = package_attr("Chem").attr("CanonicalRankAtoms")(mol, "breakTies"_a = false);
        nb::list out;
        for (nb::handle r : ranks) out.append(r);
        return out;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    nb::list out;
    const long n = num_atoms(mol);
    for (long i = 0; i < n; ++i) out.append(i);
    return out;
}

namespace {

// Conformer positions of all atoms in one call (an n x 3 float64 array).
layout::Coords positions(nb::handle mol, long n) {
    layout::Coords c(n);
    if (n == 0) return c;
    auto xyz = nb::cast<nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>>(
        mol.attr("GetConformer")().attr("GetPositions")());
    if (xyz.shape(0) != static_cast<size_t>(n) || xyz.shape(1) < 2)
        throw nb::value_error("the depiction has no position for every atom");
    auto v = xyz.view();
    for (long i = 0; i < n; ++i) c[i] = {v(i, 0), v(i, 1)};
    return c;
}

bool all_finite(const layout::Coords& c) {
    for (const auto& p : c)
        if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
    return true;
}

}  // namespace

py::Depiction py::depict(nb::handle mol) {
    require_mol(mol);
    nb::object dep = package_attr("rdDepictor");
    dep.attr("SetPreferCoordGen")(true);
    dep.attr("Compute2DCoords")(mol);
    const long n = num_atoms(mol);
    Depiction d;
    d.coords = positions(mol, n);
    if (!all_finite(d.coords)) {
        // CoordGen places some molecules (H2) nowhere: RDKit's own depictor
        // seeds those instead.
        dep.attr("SetPreferCoordGen")(false);
        try {
            dep.attr("Compute2DCoords")(mol);
        } catch (...) {
            dep.attr("SetPreferCoordGen")(true);
            throw;
        }
        dep.attr("SetPreferCoordGen")(true);
        d.coords = positions(mol, n);
        if (!all_finite(d.coords)) throw nb::value_error("the depiction holds non-finite coordinates");
    }
    d.ranks = symmetry_classes(mol);
    d.rank_values = ranks_from(d.ranks);
    if (d.rank_values.size() != static_cast<size_t>(n))
        throw nb::value_error("symmetry ranks must have one entry per atom");
    return d;
}

layout::Jitter py::draw_jitter(size_t pairs) {
    if (pairs == 0) return {};
    nb::object rng = package_attr("np").attr("random").attr("default_rng")(defaults::kJitterSeed);
    auto draws = nb::cast<nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>>(
        rng.attr("normal")(0.0, defaults::kJitterSigma, 2 * pairs));
    auto v = draws.view();
    layout::Jitter out(pairs);
    for (size_t i = 0; i < pairs; ++i) out[i] = layout::Point{v(2 * i), v(2 * i + 1)};
    return out;
}

bool& py::layout_pair_list() {
    thread_local bool enabled = true;
    return enabled;
}

layout::LayoutParams py::layout_params(long n_iter, double target_bond_len, double repulsion_factor, double k_attr,
                                       double k_rep) {
    if (n_iter < 0) throw nb::value_error(("n_iter must be >= 0, not " + std::to_string(n_iter)).c_str());
    if (!(finite_value(target_bond_len, "target_bond_len") > 0))
        throw nb::value_error("target_bond_len must be > 0");
    if (finite_value(repulsion_factor, "repulsion_factor") < 0) throw nb::value_error("repulsion_factor must be >= 0");
    finite_value(k_attr, "k_attr");
    finite_value(k_rep, "k_rep");
    return {n_iter, target_bond_len, repulsion_factor, k_attr, k_rep, layout_pair_list()};
}

nb::object py::coords_to_numpy(const layout::Coords& c) {
    const size_t n = c.size();
    double* buf = new double[n ? 2 * n : 1];
    for (size_t i = 0; i < n; ++i) {
        buf[2 * i] = c[i][0];
        buf[2 * i + 1] = c[i][1];
    }
    nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<2>>(buf, {n, 2}, owner));
}

layout::Coords py::coords_from_array(const Array2& a) {
    if (a.shape(1) != 2) throw nb::value_error("coords must be an n x 2 array");
    auto v = a.view();
    layout::Coords c(a.shape(0));
    for (size_t i = 0; i < c.size(); ++i) c[i] = {v(i, 0), v(i, 1)};
    return c;
}

void py::coords_to_array(const layout::Coords& c, Array2& a) {
    auto v = a.view();
    for (size_t i = 0; i < c.size(); ++i) {
        v(i, 0) = c[i][0];
        v(i, 1) = c[i][1];
    }
}

void add_layout(nb::module_& m) {
    m.def("_angle_diff", &layout::angle_diff, "a"_a, "b"_a,
          "Smaller angle between two directions given in radians, in [0, pi].");

    m.def(
        "_symmetry_classes", [](py::MolArg mol) { return py::symmetry_classes(mol); }, "mol"_a.none(),
        "Canonical atom ranks without tie breaking: equal ranks mark symmetry-equivalent atoms.\n\n"
        "If RDKit's ranking fails, every atom is its own class (0, 1, ..., n-1).");

    m.def(
        "_radial_equalize",
        [](py::Array2 coords, py::MappingArg groups) {
            auto c = py::coords_from_array(coords);
            std::vector<std::vector<int>> g;
            nb::object values = nb::hasattr(groups, "values") ? groups.attr("values")() : nb::borrow(groups);
            for (nb::handle members : values) {
                std::vector<int> v;
                for (nb::handle i : members) {
                    const long k = py::int_value(i, "group member");
                    if (k < 0 || k >= static_cast<long>(c.size())) throw nb::index_error("group member outside coords");
                    v.push_back(static_cast<int>(k));
                }
                g.push_back(std::move(v));
            }
            layout::radial_equalize(c, g);
            py::coords_to_array(c, coords);
        },
        "coords"_a.noconvert(), "groups"_a.none(),
        "Moves every symmetry class of two or more atoms onto one circle around its centroid.\n\n"
        "coords (float64, n x 2) is changed in place; groups maps a rank to its atom indices.");

    m.def(
        "_pca_align",
        [](py::Array2 coords) -> nb::object {
            auto c = py::coords_from_array(coords);
            auto out = layout::pca_align(c, &linalg::lapack_eigh2);
            py::coords_to_array(c, coords);
            if (c.size() < 2) return nb::cast(coords);
            return py::coords_to_numpy(out);
        },
        "coords"_a.noconvert(),
        "Centres coords in place and returns a new array turned onto its principal axes.\n\n"
        "The largest variance ends along x; the turn is a proper rotation (never a mirror image).\n"
        "With fewer than two rows the centred input itself is returned.");

    m.def(
        "_enforce_mirror",
        [](py::Array2 coords, py::IndicesArg ranks, int axis, double eps) {
            if (axis != 0 && axis != 1) throw nb::value_error("axis must be 0 or 1");
            auto c = py::coords_from_array(coords);
            auto r = ranks_from(ranks);
            if (r.size() != c.size()) throw nb::value_error("ranks must have one entry per row of coords");
            layout::enforce_mirror(c, r, axis, eps);
            py::coords_to_array(c, coords);
            return coords;
        },
        "coords"_a.noconvert(), "ranks"_a.none(), "axis"_a, "eps"_a = 0.05,
        "Snaps atoms within eps of the mirror line onto it and averages mirror-image pairs of equal rank.\n\n"
        "axis is the column that changes sign (1: mirror about the x axis, 0: about the y axis).\n"
        "Returns the same array, modified in place.");

    m.def(
        "_set_layout_pair_list", [](bool enabled) { py::layout_pair_list() = enabled; }, "enabled"_a,
        "Switches this thread's layout repulsion between the list of near atom pairs (default) and a test\n"
        "of every pair on every step; both give the same coordinates.  For cross-checks and benchmarks.");

    m.def(
        "compute_atom_layout",
        [](py::MolArg mol, long n_iter, double target_bond_len, double repulsion_factor, double k_attr,
           double k_rep) {
            const layout::LayoutParams p = py::layout_params(n_iter, target_bond_len, repulsion_factor, k_attr, k_rep);
            const Molecule data = py::read_molecule(mol, 0);
            const py::Depiction d = py::depict(mol);
            auto coords = py::with_jitter([&](const layout::Jitter& jitter) {
                return layout::atom_layout(data, d.coords, d.rank_values, jitter, p);
            });
            return nb::make_tuple(py::coords_to_numpy(coords), d.ranks);
        },
        "mol"_a.none(), "n_iter"_a = defaults::kLayoutIterations, "target_bond_len"_a = defaults::kTargetBondLen,
        "repulsion_factor"_a = defaults::kRepulsionFactor, "k_attr"_a = defaults::kAttraction,
        "k_rep"_a = defaults::kRepulsion,
        "Symmetric 2D coordinates of every atom of mol, and its symmetry ranks.\n\n"
        "Seeds from RDKit's CoordGen depiction (switched on process-wide), relaxes bond springs and\n"
        "short-range repulsion for n_iter steps while pulling equivalent atoms onto common circles,\n"
        "then turns the drawing onto its principal axes and snaps mirror pairs.  Deterministic.\n"
        "Returns (coords, ranks): an n x 2 float64 array and a list of ints.");

    m.def(
        "_yerlestir_dugumler",
        [](long n_nodes, py::arg<py::hint::Any> target_angles) {
            // An atom has 1, 4 or 9 orbital nodes; far more is a mistake, not a drawing.
            if (n_nodes < 1 || n_nodes > 4096)
                throw nb::value_error(("n_nodes must be from 1 to 4096, not " + std::to_string(n_nodes)).c_str());
            std::vector<double> t;
            for (nb::handle a : target_angles) t.push_back(py::real_value(a, "target angle"));
            return layout::place_node_angles(n_nodes, t);
        },
        "n_nodes"_a, "target_angles"_a.none(),
        "Angles (radians) of an atom's n_nodes orbital nodes on its circle.\n\n"
        "The first n_nodes preferred angles are kept as given; the rest go one at a time into the\n"
        "middle of the widest empty arc.  A one-node atom always gets [0.0].  n_nodes is from 1 to 4096.");
}

}  // namespace tx
