"""Predicted stick spectra of compact records, as plain peak lists and as matchms Spectrum objects.

Without predicted heights, as in the spectrum plot, the molecular ion gets 100 and every fragment
60, so a peak's height only tells the molecular ion from the fragments.  A record with
"intensities" (``--intensities``, the intensity model) is drawn with those heights instead.
"""

from collections import Counter

M_INTENSITY = 100.0
FRAGMENT_INTENSITY = 60.0


def molecular_formula(smiles):
    """Formula of the whole molecule, hydrogens included, written like the fragment formulas
    (C, then H, then the other symbols in code-point order), or None if RDKit cannot read it."""
    from rdkit import Chem

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    if mol is None:
        return None
    mol.UpdatePropertyCache(strict=False)
    counts = Counter()
    for atom in mol.GetAtoms():
        counts[atom.GetSymbol()] += 1
        counts["H"] += atom.GetTotalNumHs()
    parts = [el + (str(counts[el]) if counts[el] > 1 else "") for el in ("C", "H") if counts[el]]
    parts += [el + (str(n) if n > 1 else "") for el, n in sorted(counts.items()) if el not in ("C", "H") and n]
    return "".join(parts)


def stick_peaks(record):
    """[(mz, intensity, annotation)] of a successful record, ascending m/z: the molecular ion
    ("M+ <formula>"), then every m/z of the split fragment records and of the multi-generation
    peaks; the first formula seen for an m/z wins and the molecular ion is never relabelled."""
    mol_mass = record["mol_mass"]
    peaks = {}
    for frag in record.get("fragments") or ():
        if frag["split"]:
            for formula, _mass, mz in frag["fragments"]:
                peaks.setdefault(int(mz), formula)
    whole = None
    for peak in record.get("peaks") or ():
        if peak["generation"] == 0:
            whole = peak["formula"]
        peaks.setdefault(int(peak["mz"]), peak["formula"])
    whole = whole or molecular_formula(record["smiles"]) or ""
    peaks[int(mol_mass)] = ("M+ " + whole).strip()
    if record.get("intensities") is not None:
        # every m/z of the predicted spectrum, labelled by the fragments predicted there (if any)
        return [(int(mz), float(i), peaks.get(int(mz), "")) for mz, i in record["intensities"]]
    return [(mz, M_INTENSITY if mz == mol_mass else FRAGMENT_INTENSITY, label) for mz, label in sorted(peaks.items())]


def spectrum_metadata(record):
    """MSP/matchms metadata of a successful record."""
    peaks = stick_peaks(record)
    formula = next((label for mz, _i, label in peaks if mz == record["mol_mass"]), "")[3:] or None
    meta = {
        "compound_name": record["id"],
        "smiles": record["smiles"],
        "formula": formula,
        "ionmode": "positive",
        "charge": 1,
        "nominal_mass": int(record["mol_mass"]),
        "molecular_weight": round(float(record["mol_mass_avg"]), 4),
        "lpi": "{}/{}/{}".format(*record["lpi"]),
        "soft_bonds": len(record["soft_bonds"]),
        "comment": ("predicted EI-MS spectrum (intensity model)" if record.get("intensities") is not None
                    else "predicted EI-MS fragments (schematic intensities)"),
    }
    return {k: v for k, v in meta.items() if v is not None}, peaks


def to_matchms(record):
    """A matchms.Spectrum of a compact record: the molecular ion and every predicted m/z, each peak
    annotated with its formula in the "peak_comments" metadata; the id, SMILES, formula, LPI and
    masses are in the metadata too.  Raises ValueError for an error record."""
    if record.get("error"):
        raise ValueError(f"record {record.get('id')!r} has no spectrum: {record['error']}")
    import numpy as np
    from matchms import Spectrum

    meta, peaks = spectrum_metadata(record)
    meta["peak_comments"] = {float(mz): label for mz, _i, label in peaks if label}
    return Spectrum(mz=np.array([float(mz) for mz, _i, _l in peaks]),
                    intensities=np.array([i for _m, i, _l in peaks]), metadata=meta,
                    metadata_harmonization=False)
