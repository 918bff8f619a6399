// The four reference tables.  Names, SMILES and notes are kept character for
// character (the doubled spaces and the em dash included): they are printed
// and used as panel titles.
#include "reference/reference.hpp"

namespace nb = nanobind;

namespace tx::reference {

namespace {

struct TextRow {
    const char* name;
    const char* smiles;
    const char* note;
};

struct LpiRow {
    const char* name;
    const char* smiles;
    int pos, zero, neg;
};

struct MsRow {
    const char* name;
    const char* smiles;
    int mz;
};

// Compound names for PubChem; the panels draw these by default.
const char* const kBiomolecules[] = {"water",    "glucose",       "glycine",     "urea",  "lactic acid",
                                     "adenine",  "dopamine",      "ascorbic acid", "acetic acid", "cytosine"};

// Halogenated molecules with what their experimental EI spectra show.
const TextRow kHalogenTests[] = {
    {"chlorobenzene  (C-Cl)", "Clc1ccccc1", "exp: 112(M), 77(-Cl) base"},
    {"fluorobenzene  (C-F)", "Fc1ccccc1", "exp: 96(M) BASE \u2014 F NOT lost"},
    {"CCl4", "C(Cl)(Cl)(Cl)Cl", "exp: 117(CCl3) base, weak M"},
    {"CF4", "C(F)(F)(F)F", "exp: 69(CF3) base, no M"},
    {"methyl chloride", "CCl", "exp: 50(M), 15(CH3), 35(Cl)"},
    {"fluoromethane [ref]", "CF", "ref LPI {5,0,6}"},
    {"benzyl chloride", "ClCc1ccccc1", "exp: 91(tropylium, -Cl) base"},
    {"benzyl fluoride", "FCc1ccccc1", "exp: 109/90, F hard to lose"},
    {"o-dichlorobenzene", "Clc1ccccc1Cl", "exp: 146(M), 111(-Cl)"},
    {"p-dichlorobenzene", "Clc1ccc(Cl)cc1", "exp: 146(M), 111(-Cl)"},
    {"chloroform", "C(Cl)(Cl)Cl", "exp: 83(CHCl2) base"},
    {"acetyl chloride", "CC(=O)Cl", "exp: 43(CH3CO) base, -Cl"},
};

// Known LPI signatures (n+, n0, n-) with hydrogens explicit.
const LpiRow kLpiReferences[] = {
    {"water", "O", 3, 0, 3},
    {"methanol", "CO", 6, 0, 6},
    {"propane", "CCC", 10, 0, 10},
    {"n-butane", "CCCC", 13, 0, 13},
    {"methylamine", "CN", 6, 1, 6},
    {"HF", "F", 2, 0, 3},
    {"fluoromethane", "CF", 5, 0, 6},
    {"ethylene", "C=C", 6, 0, 6},
    {"benzene", "c1ccccc1", 15, 0, 15},
    {"cyclohexane", "C1CCCCC1", 18, 0, 18},
    {"aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O", 26, 0, 34},
};

// One EI peak (nominal m/z) each molecule's single cuts must predict.
const MsRow kMsReferences[] = {
    {"nitrobenzene", "c1ccc(cc1)[N+](=O)[O-]", 77},
    {"acetone oxime", "CC(=NO)C", 17},
};

}  // namespace

void add_tables(nb::module_& m) {
    nb::list bio, halogen, lpi, ms;
    for (const char* name : kBiomolecules) bio.append(name);
    for (const auto& r : kHalogenTests) halogen.append(nb::make_tuple(r.name, r.smiles, r.note));
    for (const auto& r : kLpiReferences)
        lpi.append(nb::make_tuple(r.name, r.smiles, nb::make_tuple(r.pos, r.zero, r.neg)));
    for (const auto& r : kMsReferences) ms.append(nb::make_tuple(r.name, r.smiles, r.mz));
    m.attr("BIOMOLECULES") = bio;
    m.attr("HALOGEN_TESTS") = halogen;
    m.attr("LPI_REFERENCES") = lpi;
    m.attr("MS_REFERENCES") = ms;
}

std::vector<nb::object> unpack(nb::handle value, size_t n) {
    nb::object items = nb::module_::import_("builtins").attr("tuple")(value);
    const size_t got = nb::len(items);
    if (got < n)
        throw nb::value_error(("not enough values to unpack (expected " + std::to_string(n) + ", got " +
                               std::to_string(got) + ")")
                                  .c_str());
    if (got > n) throw nb::value_error(("too many values to unpack (expected " + std::to_string(n) + ")").c_str());
    std::vector<nb::object> out;
    for (size_t i = 0; i < n; ++i) out.push_back(items[i]);
    return out;
}

std::string ljust(nb::handle value, long width) { return py::str_of(nb::str(value).attr("ljust")(width)); }

std::string rjust(nb::handle value, long width) { return py::str_of(nb::str(value).attr("rjust")(width)); }

std::string lpi_triple(nb::handle lpi) { return py::str_of(nb::make_tuple(lpi["n+"], lpi["n0"], lpi["n-"])); }

std::string rule(size_t n) { return std::string(n, '='); }

}  // namespace tx::reference
