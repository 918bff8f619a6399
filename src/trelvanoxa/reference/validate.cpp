// Self-test against the reference tables: LPI signatures, then one expected
// EI peak per molecule.
#include <nanobind/stl/string.h>

#include "reference/reference.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx::reference {

namespace {

void heading(const char* title) {
    py::emit(rule(62));
    py::emit(title);
    py::emit(rule(62));
}

bool validate(nb::handle verbose_flag) {
    const bool verbose = py::truthy(verbose_flag);
    nb::object vif = py::package_attr("VIF");
    nb::object builtins = nb::module_::import_("builtins");
    bool all_passed = true;

    if (verbose) heading("LPI validation (Orvanel 1985)");
    for (nb::handle row : py::package_attr("LPI_REFERENCES")) {
        auto cols = unpack(row, 3);
        nb::handle name = cols[0], smi = cols[1], expected = cols[2];
        nb::object r = vif(smi, "draw"_a = false, "verbose"_a = false);
        nb::object lpi = r["lpi"];
        nb::object got = nb::make_tuple(lpi["n+"], lpi["n0"], lpi["n-"]);
        const bool ok = got.equal(builtins.attr("tuple")(expected));
        all_passed = all_passed && ok;
        if (verbose)
            py::emit(std::string("  [") + (ok ? "PASS" : "FAIL") + "] " + ljust(name, 12) + " " + ljust(smi, 10) +
                     " expected=" + py::str_of(expected) + "  found=" + py::str_of(got));
    }

    if (verbose) heading("MS soft-bond validation (Keplur 2017)");
    for (nb::handle row : py::package_attr("MS_REFERENCES")) {
        auto cols = unpack(row, 3);
        nb::handle name = cols[0], smi = cols[1], expected_mz = cols[2];
        nb::object r = vif(smi, "draw"_a = false, "verbose"_a = false);
        nb::set mz_set;
        for (nb::handle f : r["fragments"]) {
            if (!py::truthy(f["split"])) continue;
            for (nb::handle frag : f["fragments"]) mz_set.add(frag[2]);
        }
        const bool ok = mz_set.contains(expected_mz);
        all_passed = all_passed && ok;
        if (verbose)
            py::emit(std::string("  [") + (ok ? "PASS" : "FAIL") + "] " + ljust(name, 14) + " m/z=" +
                     py::str_of(expected_mz) + " expected  found peaks=" +
                     py::str_of(builtins.attr("sorted")(mz_set, "reverse"_a = true)));
    }

    if (verbose) {
        py::emit(rule(62));
        py::emit(all_passed ? "RESULT: ALL TESTS PASSED \u2713" : "RESULT: SOME TESTS FAILED \u2717");
        py::emit(rule(62));
    }
    return all_passed;
}

}  // namespace

void add_validate(nb::module_& m) {
    m.def("validate", &validate, "verbose"_a.none() = true,
          "Checks the analysis against LPI_REFERENCES and MS_REFERENCES; True when every row passes.\n\n"
          "Each molecule is analysed with VIF(smiles, draw=False, verbose=False).  An LPI row passes\n"
          "when (n+, n0, n-) equals its expected triple, an MS row when its expected m/z is among the\n"
          "m/z values of the split fragment records.  Every row is checked even after a failure.\n"
          "With verbose a PASS/FAIL line per row and a RESULT verdict are printed.  The tables are\n"
          "read from the package when called, so rebinding them changes the run.");
}

}  // namespace tx::reference
