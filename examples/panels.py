"""Graph and spectrum panels of the ten default biomolecules.

    python examples/panels.py             # names resolved through PubChem
    python examples/panels.py --offline   # the SMILES below, no network

Writes panel[_offline].png and ms_panel[_offline].png into --outdir
(docs/img by default).  Under a non-interactive backend (MPLBACKEND=Agg)
nothing is shown on screen.
"""

import argparse
from pathlib import Path

import trelvanoxa

# PubChem's SMILES for the names in trelvanoxa.BIOMOLECULES, in that order.
BIOMOLECULE_SMILES = {
    "water": "O",
    "glucose": "C([C@@H]1[C@H]([C@@H]([C@H](C(O1)O)O)O)O)O",
    "glycine": "C(C(=O)O)N",
    "urea": "C(=O)(N)N",
    "lactic acid": "CC(C(=O)O)O",
    "adenine": "C1=NC2=NC=NC(=C2N1)N",
    "dopamine": "C1=CC(=C(C=C1CCN)O)O",
    "ascorbic acid": "C([C@@H]([C@@H]1C(=C(C(=O)O1)O)O)O)O",
    "acetic acid": "CC(=O)O",
    "cytosine": "C1=C(NC(=O)N=C1)N",
}


def pubchem_reachable():
    try:
        trelvanoxa.fetch_smiles_from_pubchem("water", timeout=10)
    except Exception as exc:  # no network, proxy, service down
        print(f"PubChem not reachable ({type(exc).__name__}); using the built-in SMILES")
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--offline", action="store_true", help="draw from the built-in SMILES, no PubChem lookups")
    parser.add_argument("--outdir", type=Path, default=Path(__file__).resolve().parents[1] / "docs" / "img")
    args = parser.parse_args()
    args.outdir.mkdir(parents=True, exist_ok=True)

    online = not args.offline and pubchem_reachable()
    if online:
        molecules, by, suffix = list(trelvanoxa.BIOMOLECULES), "name", ""
    else:
        molecules = [BIOMOLECULE_SMILES[name] for name in trelvanoxa.BIOMOLECULES]
        by, suffix = "smiles", "_offline"

    graph_png = args.outdir / f"panel{suffix}.png"
    ms_png = args.outdir / f"ms_panel{suffix}.png"
    trelvanoxa.VIF_panel(molecules, by=by, save=str(graph_png))
    trelvanoxa.VIF_ms_panel(molecules, by=by, save=str(ms_png))
    print(f"wrote {graph_png}")
    print(f"wrote {ms_png}")


if __name__ == "__main__":
    main()
