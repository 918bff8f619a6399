// Plain molecule records read once from the toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tx {

struct AtomRec {
    std::string symbol;
    int atomic_num = 0;
    double mass = 0.0;      // toolkit average (or isotope) mass
    long nominal = 0;       // most-common-isotope mass number
    int period = 0;
    std::vector<int> nbrs;       // neighbour atom indices, toolkit order
    std::vector<int> nbr_bonds;  // bond index of each neighbour
};

struct BondRec {
    int u = 0;
    int v = 0;
    double type = 1.0;  // bond type as a double (1, 1.5, 2, ...)
    int order = 1;      // integer bond order (see bond_order_of)
};

struct Molecule {
    std::vector<AtomRec> atoms;
    std::vector<BondRec> bonds;
    int size() const { return static_cast<int>(atoms.size()); }
};

// Key of an unordered pair of indices.
inline uint64_t pair_key(int a, int b) {
    if (a > b) std::swap(a, b);
    return (static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32) | static_cast<uint32_t>(b);
}

// Integer order of a bond type: 0 -> 1, otherwise round half to even, at least 1.
int bond_order_of(double type);

}  // namespace tx
