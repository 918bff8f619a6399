// Element data: nominal masses, memoised in the package's _NOMINAL_ISOTOPE
// mapping.  Periods come from the package's Python element module.
#include "hints.hpp"
#include "values.hpp"
#include "rdkit_mol.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

void add_elements(nb::module_& m) {
    m.def(
        "_nominal_atom_mass", [](py::arg<int> atomic_num) { return py::nominal_atom_mass(atomic_num); },
        "atomic_num"_a.none(),
        "Mass number of the most common isotope of an element (H 1, C 12, Cl 35, Br 79).\n\n"
        "Looked up in RDKit's periodic table on first use and kept in _NOMINAL_ISOTOPE.  atomic_num\n"
        "must be an int from 0 to 118 (TypeError, ValueError otherwise).");

    m.def(
        "_nominal_mass",
        [](py::MolArg mol, py::IndicesArg indices) {
            py::require_mol(mol);
            return py::reading_mol([&] {
                const long n = py::num_atoms(mol);
                nb::object total = nb::int_(0);
                for (nb::handle i : indices) {
                    nb::object z = mol.attr("GetAtomWithIdx")(py::atom_index(i, n, "atom index")).attr("GetAtomicNum")();
                    total = total + py::nominal_atom_mass(z);
                }
                return total;
            });
        },
        "mol"_a.none(), "indices"_a.none(),
        "Nominal mass (sum of most-common-isotope mass numbers) of the listed atoms of mol.\n\n"
        "An empty index set gives 0; an index outside the molecule raises IndexError.");
}

}  // namespace tx
