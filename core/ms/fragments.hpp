// Electron-ionisation fragment prediction: cutting a molecule's atom graph
// at soft bonds, fragment formulas and masses, and multi-generation cutting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/links.hpp"
#include "common/molecule.hpp"
#include "ms/fragment_links.hpp"

namespace tx::ms {

// Hill-like formula: C, then H, then the other symbols in code-point order.
std::string formula(const Molecule& mol, const std::vector<int>& atoms);
std::string formula_from_symbols(const std::vector<std::string>& symbols);

struct Fragment {
    std::string formula;
    double mass;  // average mass, rounded to 2 decimals
    long mz;      // nominal mass
};

struct FragmentRecord {
    std::string bond;
    bool split = false;
    bool ring = false;  // mode "ring" (double cut) vs "single"
    std::vector<Fragment> fragments;
};

// "C0-O1": symbols and indices of an atom pair.
std::string bond_label(const std::string& sym_a, int a, const std::string& sym_b, int b);
std::string pair_label(const Molecule& mol, int a, int b);

// Single cuts at each distinct soft atom pair, then (optionally) double cuts
// of every pair of soft ring bonds.  labels[i] names the single cut of
// softs[i].
std::vector<FragmentRecord> predict_fragments(const Molecule& mol, const ChemBonds& softs,
                                              const std::vector<std::string>& labels, bool ring_fragmentation,
                                              double min_ring_fragment_mz);

// Children of cutting `atom_set` (in the caller's iteration order) at the
// given soft links: each distinct child once, sorted ascending.
std::vector<std::vector<int>> cut_atom_set(const Molecule& mol, const std::vector<int>& atom_set,
                                           const ChemBonds& softs, bool ring_fragmentation,
                                           double min_mz);

struct Peak {
    long mz;
    std::string formula;
    long generation;
};

// Breadth-first multi-generation fragmentation; peaks in discovery order.
// With all_soft every chem bond inside a fragment is cut, soft or not.
// whole_softs, when given, are the indices of the links soft in the whole
// molecule (the test on the full orbital matrix, already made by the caller
// on the same matrix as the view's).
std::vector<Peak> predict_recursive(const Molecule& mol, const OrbitalView& g, const ChemBonds& links,
                                    long max_generations, double min_mz, bool ring_fragmentation,
                                    const vif::SoftPassOptions& pass, bool all_soft = false,
                                    const std::vector<int>* whole_softs = nullptr);

}  // namespace tx::ms
