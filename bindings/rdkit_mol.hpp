// An RDKit molecule read once into the core's plain records.
#pragma once

#include <string>

#include "common/molecule.hpp"
#include "values.hpp"

namespace tx::py {

// Raises TypeError unless `mol` looks like an RDKit molecule.
void require_mol(nb::handle mol, const char* what = "mol");
// GetNumAtoms() of a molecule: an int from 0 to kMaxAtoms (ValueError otherwise).
constexpr long kMaxAtoms = 1L << 20;
constexpr long kMaxAtomicNum = 118;      // the last element of RDKit's periodic table
constexpr double kMaxBondType = 1000.0;  // |GetBondTypeAsDouble()| beyond this is not a bond
long num_atoms(nb::handle mol);

// Runs f(), which reads a molecule-like object: a missing method on it or on
// the atoms and bonds it hands out (AttributeError) becomes a TypeError.
template <class F>
auto reading_mol(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        throw nb::type_error(("mol does not behave like an RDKit Mol: " + str_of(e.value())).c_str());
    }
}

// Converts to an atom index of `mol` (0 <= i < n) or raises IndexError.
int atom_index(nb::handle value, long n_atoms, const char* what);

enum MolFields : unsigned {
    kSymbols = 1,
    kMasses = 2,
    kNeighbours = 4,
    kPeriods = 8,   // through the package's _get_period memo
    kNominal = 16,  // through the _NOMINAL_ISOTOPE memo
    kAll = 31,
};

// Reads atoms (in index order) and bonds (in bond order) of an RDKit molecule.
Molecule read_molecule(nb::handle mol, unsigned fields);

// Nominal mass of an element, memoised in the package's _NOMINAL_ISOTOPE.
nb::object nominal_atom_mass(nb::handle atomic_num);

}  // namespace tx::py
