"""Self-test against the reference tables: LPI signatures, then one expected
EI peak per molecule."""

import sys

from ..prediction import Prediction


def _package():
    return sys.modules[__name__.split(".")[0]]


def _heading(title):
    print("=" * 62)
    print(title)
    print("=" * 62)


def validate(verbose=True):
    """Checks the analysis against LPI_REFERENCES and MS_REFERENCES; True when every row passes.

    Each molecule is analysed with VIF(smiles, draw=False, verbose=False).  An LPI row passes
    when (n+, n0, n-) equals its expected triple, an MS row when its expected m/z is among the
    m/z values of the split fragment records.  Every row is checked even after a failure.
    With verbose a PASS/FAIL line per row and a RESULT verdict are printed.  The tables are
    read from the package when called, so rebinding them changes the run."""
    pkg = _package()
    all_passed = True

    if verbose:
        _heading("LPI validation (Orvanel 1985)")
    for name, smi, expected in pkg.LPI_REFERENCES:
        lpi = pkg.VIF(smi, draw=False, verbose=False)["lpi"]
        found = (lpi["n+"], lpi["n0"], lpi["n-"])
        ok = found == tuple(expected)
        all_passed = all_passed and ok
        if verbose:
            print(f"  [{'PASS' if ok else 'FAIL'}] {name!s:<12} {smi!s:<10} expected={expected}  found={found}")

    if verbose:
        _heading("MS soft-bond validation (Keplur 2017)")
    for name, smi, expected_mz in pkg.MS_REFERENCES:
        r = pkg.VIF(smi, draw=False, verbose=False)
        mz_set = {peak.mz for peak in Prediction.build(r["mol_mass"], r["fragments"]).peaks}
        ok = expected_mz in mz_set
        all_passed = all_passed and ok
        if verbose:
            print(f"  [{'PASS' if ok else 'FAIL'}] {name!s:<14} m/z={expected_mz} expected  "
                  f"found peaks={sorted(mz_set, reverse=True)}")

    if verbose:
        print("=" * 62)
        print("RESULT: ALL TESTS PASSED \u2713" if all_passed else "RESULT: SOME TESTS FAILED \u2717")
        print("=" * 62)
    return all_passed
