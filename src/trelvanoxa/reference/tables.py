"""The four reference tables.  Names, SMILES and notes are kept character for
character (the doubled spaces and the em dash included): they are printed and
used as panel titles."""

# Compound names for PubChem; the panels draw these by default.
BIOMOLECULES = ["water", "glucose", "glycine", "urea", "lactic acid", "adenine", "dopamine", "ascorbic acid",
                "acetic acid", "cytosine"]

# Halogenated molecules with what their experimental EI spectra show.
HALOGEN_TESTS = [
    ("chlorobenzene  (C-Cl)", "Clc1ccccc1", "exp: 112(M), 77(-Cl) base"),
    ("fluorobenzene  (C-F)", "Fc1ccccc1", "exp: 96(M) BASE \u2014 F NOT lost"),
    ("CCl4", "C(Cl)(Cl)(Cl)Cl", "exp: 117(CCl3) base, weak M"),
    ("CF4", "C(F)(F)(F)F", "exp: 69(CF3) base, no M"),
    ("methyl chloride", "CCl", "exp: 50(M), 15(CH3), 35(Cl)"),
    ("fluoromethane [ref]", "CF", "ref LPI {5,0,6}"),
    ("benzyl chloride", "ClCc1ccccc1", "exp: 91(tropylium, -Cl) base"),
    ("benzyl fluoride", "FCc1ccccc1", "exp: 109/90, F hard to lose"),
    ("o-dichlorobenzene", "Clc1ccccc1Cl", "exp: 146(M), 111(-Cl)"),
    ("p-dichlorobenzene", "Clc1ccc(Cl)cc1", "exp: 146(M), 111(-Cl)"),
    ("chloroform", "C(Cl)(Cl)Cl", "exp: 83(CHCl2) base"),
    ("acetyl chloride", "CC(=O)Cl", "exp: 43(CH3CO) base, -Cl"),
]

# Known LPI signatures (n+, n0, n-) with hydrogens explicit.
LPI_REFERENCES = [
    ("water", "O", (3, 0, 3)),
    ("methanol", "CO", (6, 0, 6)),
    ("propane", "CCC", (10, 0, 10)),
    ("n-butane", "CCCC", (13, 0, 13)),
    ("methylamine", "CN", (6, 1, 6)),
    ("HF", "F", (2, 0, 3)),
    ("fluoromethane", "CF", (5, 0, 6)),
    ("ethylene", "C=C", (6, 0, 6)),
    ("benzene", "c1ccccc1", (15, 0, 15)),
    ("cyclohexane", "C1CCCCC1", (18, 0, 18)),
    ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O", (26, 0, 34)),
]

# One EI peak (nominal m/z) each molecule's single cuts must predict.
MS_REFERENCES = [
    ("nitrobenzene", "c1ccc(cc1)[N+](=O)[O-]", 77),
    ("acetone oxime", "CC(=NO)C", 17),
]
