"""Writes src/trelvanoxa/elements/periods.py: the period of every element mendeleev knows.

An element's period is a fixed fact, so the package ships mendeleev's answers instead of asking
its database at run time.  Run with mendeleev installed:  python tools/make_periods.py
"""

import pathlib

from mendeleev.fetch import fetch_table

table = fetch_table("elements")[["atomic_number", "symbol", "period"]].sort_values("atomic_number")
rows = [f'    "{s}": {int(p)},' for s, p in zip(table["symbol"], table["period"])]
out = pathlib.Path(__file__).resolve().parents[1] / "src/trelvanoxa/elements/periods.py"
out.write_text('"""Element periods by symbol, as mendeleev gives them (written by tools/make_periods.py)."""\n\n'
               "PERIODS = {\n" + "\n".join(rows) + "\n}\n", encoding="utf-8")
print(f"{len(rows)} elements written to {out}")
