#include "rdkit_mol.hpp"

#include <cstdint>
#include <unordered_map>

namespace tx::py {

void require_mol(nb::handle mol, const char* what) {
    if (!nb::hasattr(mol, "GetAtomWithIdx") || !nb::hasattr(mol, "GetBonds"))
        throw nb::type_error((std::string(what) + " must be an RDKit Mol, not " + type_name_of(mol)).c_str());
}

long num_atoms(nb::handle mol) { return int_value(mol.attr("GetNumAtoms")(), "GetNumAtoms()", 0, kMaxAtoms); }

int atom_index(nb::handle value, long n_atoms, const char* what) {
    nb::object idx;
    try {
        idx = nb::steal(PyNumber_Index(value.ptr()));
        if (!idx.is_valid()) throw nb::python_error();
    } catch (nb::python_error&) {
        throw nb::type_error((std::string(what) + " must be an integer atom index, not " + type_name_of(value)).c_str());
    }
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0)
        throw nb::index_error((std::string(what) + " " + str_of(idx) + " is outside the molecule (" +
                               std::to_string(n_atoms) + " atoms)").c_str());
    if (i < 0 || i >= n_atoms)
        throw nb::index_error((std::string(what) + " " + std::to_string(i) + " is outside the molecule (" +
                               std::to_string(n_atoms) + " atoms)").c_str());
    return static_cast<int>(i);
}

nb::object nominal_atom_mass(nb::handle atomic_num) {
    // A plain int for the toolkit, whatever integer type the caller used (numpy.int64 included).
    nb::int_ z(int_value(atomic_num, "atomic_num", 0, kMaxAtomicNum));
    nb::object memo = package_attr("_NOMINAL_ISOTOPE");
    nb::object m = memo.attr("get")(z);
    if (m.is_none()) {
        m = package_attr("Chem").attr("GetPeriodicTable")().attr("GetMostCommonIsotope")(z);
        memo[z] = m;
    }
    return m;
}

namespace {
Molecule read_molecule_unchecked(nb::handle mol, unsigned fields);
}

Molecule read_molecule(nb::handle mol, unsigned fields) {
    require_mol(mol);
    return reading_mol([&] { return read_molecule_unchecked(mol, fields); });
}

namespace {
Molecule read_molecule_unchecked(nb::handle mol, unsigned fields) {
    Molecule out;
    const long n = num_atoms(mol);
    out.atoms.resize(n);
    nb::object get_period = (fields & kPeriods) ? package_attr("_get_period") : nb::object();
    std::unordered_map<std::string, long> period_of;
    std::unordered_map<int, long> nominal_of;
    for (long i = 0; i < n && fields != 0; ++i) {
        nb::object atom = mol.attr("GetAtomWithIdx")(i);
        AtomRec& a = out.atoms[i];
        a.atomic_num = static_cast<int>(int_value(atom.attr("GetAtomicNum")(), "GetAtomicNum()", 0, kMaxAtomicNum));
        if (fields & (kSymbols | kPeriods)) a.symbol = text_value(atom.attr("GetSymbol")(), "GetSymbol()");
        if (fields & kMasses) a.mass = finite_value(atom.attr("GetMass")(), "GetMass()");
        if (fields & kPeriods) {
            auto it = period_of.find(a.symbol);
            if (it == period_of.end()) it = period_of.emplace(a.symbol, int_value(get_period(a.symbol), "period", 1, 100)).first;
            a.period = static_cast<int>(it->second);
        }
        if (fields & kNominal) {
            auto it = nominal_of.find(a.atomic_num);
            if (it == nominal_of.end())
                it = nominal_of.emplace(a.atomic_num, int_value(nominal_atom_mass(nb::int_(a.atomic_num)), "nominal mass", 0, 1L << 20)).first;
            a.nominal = it->second;
        }
    }
    auto add_bond = [&](nb::handle b) {
        BondRec r;
        r.u = atom_index(b.attr("GetBeginAtomIdx")(), n, "bond atom");
        r.v = atom_index(b.attr("GetEndAtomIdx")(), n, "bond atom");
        r.type = finite_value(b.attr("GetBondTypeAsDouble")(), "GetBondTypeAsDouble()");
        if (r.type < -kMaxBondType || r.type > kMaxBondType)
            throw nb::value_error(("GetBondTypeAsDouble() gave " + str_of(nb::float_(r.type)) + ", not a bond type").c_str());
        r.order = bond_order_of(r.type);
        out.bonds.push_back(r);
    };
    // An RDKit molecule's bonds by index (the sequence GetBonds() returns is
    // iterated in Python); a molecule-like object's through GetBonds().
    if (nb::hasattr(mol, "GetNumBonds") && nb::hasattr(mol, "GetBondWithIdx")) {
        const long n_bonds = int_value(mol.attr("GetNumBonds")(), "GetNumBonds()", 0, 1L << 24);
        nb::object bond_at = mol.attr("GetBondWithIdx");
        for (long bi = 0; bi < n_bonds; ++bi) add_bond(bond_at(bi));
    } else {
        for (nb::handle b : mol.attr("GetBonds")()) add_bond(b);
    }
    if (fields & kNeighbours) {
        // The toolkit lists an atom's neighbours in the order their bonds
        // were added, which is the order of the bond indices.
        for (size_t bi = 0; bi < out.bonds.size(); ++bi) {
            const BondRec& b = out.bonds[bi];
            out.atoms[b.u].nbrs.push_back(b.v);
            out.atoms[b.u].nbr_bonds.push_back(static_cast<int>(bi));
            if (b.u == b.v) continue;
            out.atoms[b.v].nbrs.push_back(b.u);
            out.atoms[b.v].nbr_bonds.push_back(static_cast<int>(bi));
        }
    }
    return out;
}
}  // namespace

}  // namespace tx::py
