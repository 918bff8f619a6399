#!/usr/bin/env python3
"""Mutation check: how many small faults in the code does the test suite catch?

Each mutant replaces one code snippet by a faulty one (a flipped comparison, an
off-by-one bound, a dropped term, swapped arguments, a wrong constant).  The
snippet is searched across the whole source tree (C++ and Python outside tests/,
bench/, examples/, docs/ and dev-tools/) and must occur exactly once, so a mutant
follows its code wherever the file lives.

The tree is mirrored into a private work folder (default
/tmp/trelvanoxa-mutation-$USER: the checkout is never touched), the extension is
built there with CMake/Ninja (incremental: a C++ mutant recompiles one file), and
for every mutant the suite runs with pytest -x against the mirrored package
(PYTHONPATH), under a time limit; a mutant whose suite fails or overruns is
killed.  The file is restored before the next mutant.

    .venv/bin/python dev-tools/mutation.py                 # all mutants
    .venv/bin/python dev-tools/mutation.py --list          # mutants and where their snippets are
    .venv/bin/python dev-tools/mutation.py -k fragments    # mutants whose name contains a word
    .venv/bin/python dev-tools/mutation.py --json out.json # the per-mutant table as JSON too

The tests a mutant names in ``first`` run before the rest of the suite, so a
caught mutant fails fast; a surviving one has run the whole suite.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SKIP_DIRS = {".git", ".venv", "build", "build-inplace", "build-sanitize", "dist", "__pycache__", ".mypy_cache",
             ".pytest_cache", ".hypothesis"}
CODE_SUFFIXES = (".cpp", ".hpp", ".h", ".py")
NOT_CODE = ("tests/", "bench/", "examples/", "docs/", "dev-tools/")


@dataclass
class Mutant:
    name: str
    area: str
    old: str
    new: str
    first: list = field(default_factory=list)  # test files run ahead of the rest


M = Mutant
MUTANTS = [
    # layout: node angles, the force-directed relaxation, alignment and mirror symmetry
    M("layout-widest-gap", "layout", "if (gap > widest) {", "if (gap < widest) {", ["test_layout.py"]),
    M("layout-spring-sign", "layout", "const double stretch = len - params.target_bond_len;",
      "const double stretch = params.target_bond_len - len;", ["test_layout.py"]),
    M("layout-equalize-phase", "layout", "if (it > 50 && it % 5 == 0) radial_equalize",
      "if (it > 50 && it % 5 == 1) radial_equalize", ["test_layout.py"]),
    M("layout-pca-handedness", "layout", "if (det < 0) {\n        r[0][1] = -r[0][1];",
      "if (det > 0) {\n        r[0][1] = -r[0][1];", ["test_layout.py"]),
    M("layout-mirror-eps", "layout", "enforce_mirror(aligned, ranks, 0, 0.05);",
      "enforce_mirror(aligned, ranks, 0, 0.005);", ["test_layout.py"]),
    # orbital graph
    M("graph-period4-nodes", "orbital graph", "if (period > 3) return 9;", "if (period > 4) return 9;",
      ["test_graph.py"]),
    M("graph-li-role", "orbital graph", '(symbol == "C" || symbol == "Li") ? "Merkez"',
      '(symbol == "C") ? "Merkez"', ["test_graph.py"]),
    M("graph-pi-count", "orbital graph", "std::min(pi_count, n_nodes - 1) : 0;",
      "std::min(pi_count, n_nodes - 2) : 0;", ["test_graph.py"]),
    M("graph-unit-spread", "orbital graph", "constexpr double kSpread = 0.35;", "constexpr double kSpread = 0.5;",
      ["test_graph.py"]),
    M("graph-link-once", "orbital graph", "if (!linked.insert(pair_key(un, vn)).second) continue;",
      "linked.insert(pair_key(un, vn));", ["test_graph.py"]),
    # inertia
    M("inertia-pos-bound", "inertia", "if (x > tol) ++in.pos;", "if (x >= tol) ++in.pos;", ["test_lpi.py"]),
    M("inertia-zero-bound", "inertia", "if (std::fabs(x) <= tol) ++in.zero;", "if (std::fabs(x) < tol) ++in.zero;",
      ["test_lpi.py"]),
    # soft-bond pass (link removal on one eigendecomposition)
    M("soft-shift-count", "soft-bond pass", "out.pos = above_tol_ + p_pos - 1;", "out.pos = above_tol_ + p_pos;",
      ["test_soft_pass.py"]),
    M("soft-sign-margin", "soft-bond pass", "if (!(std::fabs(vals[q]) > 10.0 * bound)) return false;",
      "if (!(std::fabs(vals[q]) > 0.0 * bound)) return false;", ["test_soft_pass.py"]),
    M("soft-zero-margin", "soft-bond pass", "(std::fabs(tau) + err) / (d - d_err) <= kZeroMargin * tol",
      "(std::fabs(tau) + err) / (d - d_err) <= 1e4 * tol", ["test_soft_pass.py"]),
    M("soft-gap-split", "soft-bond pass", "if (x > kNull && x <= kGap) split_ok_ = false;",
      "if (x > kGap && x <= kGap) split_ok_ = false;", ["test_soft_pass.py"]),
    # fragments and formulas
    M("frag-double-bond-rule", "fragments", "if (s.order >= 2 && std::min(", "if (s.order >= 3 && std::min(",
      ["test_fragments.py"]),
    M("frag-formula-count", "fragments", "if (c > 1) out += std::to_string(c);",
      "if (c > 2) out += std::to_string(c);", ["test_fragments.py"]),
    M("frag-heavier-first", "fragments", "[](const Fragment& a, const Fragment& b) { return a.mz > b.mz; }",
      "[](const Fragment& a, const Fragment& b) { return a.mz < b.mz; }", ["test_fragments.py"]),
    M("frag-ring-threshold", "fragments", "if (static_cast<double>(lo) < min_ring_fragment_mz) continue;",
      "if (static_cast<double>(lo) <= min_ring_fragment_mz + 1) continue;", ["test_fragments.py"]),
    M("frag-ring-pairs", "fragments", "for (size_t j = i + 1; j < ring_pairs.size(); ++j) {\n                poll();",
      "for (size_t j = i + 2; j < ring_pairs.size(); ++j) {\n                poll();", ["test_fragments.py"]),
    M("frag-label-index", "fragments", 'mol.atoms[i].symbol + std::to_string(i) + "-"',
      'mol.atoms[i].symbol + std::to_string(i + 1) + "-"', ["test_fragments.py"]),
    # multi-generation fragmentation
    M("gen-depth", "multi-generation", "if (gen >= max_generations) continue;",
      "if (gen > max_generations) continue;", ["test_fragments.py"]),
    M("gen-ring-min", "multi-generation", "if (std::min(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) >= min_mz)",
      "if (std::max(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) >= min_mz)", ["test_fragments.py"]),
    M("gen-number", "multi-generation", "peaks.push_back({mz, formula(mol, child), gen + 1});",
      "peaks.push_back({mz, formula(mol, child), gen});", ["test_fragments.py"]),
    # report text
    M("report-mass-digits", "report", "mass_avg, std::chars_format::fixed, 2)",
      "mass_avg, std::chars_format::fixed, 3)", ["test_driver.py"]),
    M("report-mz-order", "report", "return {s.rbegin(), s.rend()};", "return {s.begin(), s.end()};",
      ["test_driver.py"]),
    M("report-ring-count", "report", '" single-cut fragment(s) + " + std::to_string(ring_bonds)',
      '" single-cut fragment(s) + " + std::to_string(ring_bonds + single.size())', ["test_driver.py"]),
    # batch: reader, engine, writers, resume
    M("batch-line-id", "batch", "yield (ident if ident is not None else str(number)), smiles",
      "yield (ident if ident is not None else str(number - 1)), smiles", ["test_batch.py"]),
    M("batch-control-chars", "batch", "if ch.isspace() or not ch.isprintable():", "if ch.isspace():",
      ["test_batch.py"]),
    M("batch-torn-jsonl", "batch", "if not line.endswith(b\"\\n\"):\n                return  # torn last line",
      "if not line.endswith(b\"\\n\"):\n                pass  # torn last line", ["test_batch.py"]),
    M("batch-resume-skip", "batch", "if done:\n        items = ((i, s) for i, s in items if i not in done)",
      "if done:\n        items = ((i, s) for i, s in items)", ["test_batch.py", "test_cli.py"]),
    M("batch-msp-first-formula", "batch", "peaks.setdefault(int(peak[\"mz\"]), peak[\"formula\"])",
      "peaks[int(peak[\"mz\"])] = peak[\"formula\"]", ["test_batch.py"]),
    # scoring
    M("score-upper-bound", "score", "if lo <= mz < mol_mass and base > 0 and i >= threshold}",
      "if lo <= mz <= mol_mass and base > 0 and i >= threshold}", ["test_score.py"]),
    M("score-chance-span", "score", "\"chance\": len(measured) / (mol_mass - lo) if",
      "\"chance\": len(measured) / (mol_mass - lo + 1) if", ["test_score.py"]),
    M("score-top-order", "score", "key=lambda mz: (-measured[mz], mz))", "key=lambda mz: (measured[mz], mz))",
      ["test_score.py"]),
    M("score-nominal-round", "score", "return int(math.floor(float(mz) + 0.5))", "return int(round(float(mz)))",
      ["test_score.py"]),
    # PubChem client
    M("pubchem-cid-positive", "PubChem", "type(cid) is int and cid > 0", "type(cid) is int and cid >= 0",
      ["test_pubchem.py"]),
    M("pubchem-redirect-origin", "PubChem", "if not same:\n            raise ValueError",
      "if same is None:\n            raise ValueError", ["test_pubchem_limits.py"]),
    M("pubchem-deadline-watch", "PubChem", "_base.connect(self)\n            deadline.watch(self.sock)",
      "_base.connect(self)", ["test_pubchem_limits.py"]),
    # figures
    M("figure-label-stack", "figures", "mz - prev_mz < close_thresh else 0", "mz - prev_mz > close_thresh else 0",
      ["test_figures.py"]),
    M("figure-soft-edges", "figures", "(soft if (min(u, v), max(u, v)) in soft_pairs else ordinary)",
      "(ordinary if (min(u, v), max(u, v)) in soft_pairs else soft)", ["test_figures.py", "test_panels.py"]),
]


def code_files(tree):
    for path in sorted(tree.rglob("*")):
        rel = path.relative_to(tree).as_posix()
        if (path.is_file() and path.suffix in CODE_SUFFIXES and not rel.startswith(NOT_CODE)
                and not SKIP_DIRS.intersection(path.relative_to(tree).parts)):
            yield path


def locate(tree, mutant, texts):
    """(path, count) of the mutant's snippet in the tree: count is the number of occurrences overall."""
    hits = [(p, texts[p].count(mutant.old)) for p in texts if mutant.old in texts[p]]
    total = sum(n for _p, n in hits)
    return (hits[0][0] if hits else None), total


def mirror(src, dst):
    """Make dst a copy of src's source tree; unchanged files keep their time stamps (incremental builds)."""
    dst.mkdir(parents=True, exist_ok=True)
    wanted = set()
    for dirpath, dirnames, filenames in os.walk(src):
        dirnames[:] = [d for d in dirnames if d not in SKIP_DIRS and not d.startswith("build")]
        rel = Path(dirpath).relative_to(src)
        for name in filenames:
            if name.startswith("_core") and (name.endswith(".so") or name.endswith(".pyi")):
                continue  # the extension comes from the private build
            s, d = Path(dirpath) / name, dst / rel / name
            wanted.add(d)
            if not d.exists() or d.read_bytes() != s.read_bytes():
                d.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(s, d)
    for dirpath, _dirnames, filenames in os.walk(dst):
        for name in filenames:
            p = Path(dirpath) / name
            if p not in wanted and not (name.startswith("_core") and p.parent.name == "trelvanoxa"):
                p.unlink()


def configure(tree, build, python):
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={python}"], check=True, stdout=subprocess.DEVNULL)


def build_extension(tree, build):
    """Builds the extension and puts it (and its stubs) into the mirrored package; False if it fails."""
    r = subprocess.run(["cmake", "--build", str(build)], capture_output=True, text=True)
    if r.returncode:
        sys.stdout.write(r.stdout[-3000:] + r.stderr[-3000:])
        return False
    package = tree / "src" / "trelvanoxa"
    for old in package.glob("_core*"):
        if old.suffix in (".so", ".pyi"):
            old.unlink()
    for built in [*build.rglob("_core*.so"), *build.rglob("_core.pyi")]:
        if "CMakeFiles" not in built.parts:
            shutil.copy2(built, package / built.name)
    return True


def run_suite(tree, python, first, timeout, extra):
    """(passed, seconds, last lines of output) of pytest -x over the whole suite, `first` files ahead."""
    tests = [f"tests/{f}" for f in first if (tree / "tests" / f).exists()] + ["tests"]
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MPLBACKEND")}
    env.update(PYTHONPATH=str(tree / "src"), MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
    cmd = [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "--no-header", *extra, *tests]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=tree, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, time.monotonic() - start, out
    return proc.returncode == 0, time.monotonic() - start, out


def tail(text, n=3):
    return " | ".join(line.strip() for line in text.strip().splitlines()[-n:])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-k", dest="select", help="only mutants whose name or area contains this text")
    ap.add_argument("--list", action="store_true", help="list the mutants and where their snippets are, then stop")
    ap.add_argument("--workdir", default=f"/tmp/trelvanoxa-mutation-{os.environ.get('USER', 'dev')}")
    ap.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"))
    ap.add_argument("--source", default=str(ROOT), help="the tree to test (default: this checkout)")
    ap.add_argument("--timeout", type=float, help="seconds per mutant (default: 1.5 x the unmutated run + 60)")
    ap.add_argument("--skip-baseline", action="store_true", help="do not run the unmutated suite first")
    ap.add_argument("--json", help="write the per-mutant results to this file")
    ap.add_argument("pytest_args", nargs="*", help="extra pytest arguments (after --)")
    args = ap.parse_args()

    mutants = [m for m in MUTANTS if not args.select or args.select in m.name or args.select in m.area]
    work = Path(args.workdir)
    tree, build = work / "tree", work / "build"
    mirror(Path(args.source).resolve(), tree)
    texts = {p: p.read_text("utf-8") for p in code_files(tree)}

    problems = []
    for m in mutants:
        path, count = locate(tree, m, texts)
        where = path.relative_to(tree).as_posix() if path else "-"
        if args.list:
            print(f"{m.name:26} {m.area:17} {where} ({count} match{'es' if count != 1 else ''})")
        if count != 1:
            problems.append(f"{m.name}: snippet found {count} times")
    if problems or args.list:
        print("\n".join(problems) or "every snippet is unique")
        return 1 if problems else 0

    python = shutil.which(args.python) or args.python
    configure(tree, build, python)
    if not build_extension(tree, build):
        print("the unmutated tree does not build")
        return 2
    timeout = args.timeout
    if not args.skip_baseline:
        ok, secs, out = run_suite(tree, python, [], None, args.pytest_args)
        print(f"unmutated suite: {'passed' if ok else 'FAILED'} in {secs:.0f} s  ({tail(out, 1)})", flush=True)
        if not ok:
            print(out[-4000:])
            return 2
        timeout = timeout or 1.5 * secs + 60
    timeout = timeout or 1800

    results = []
    try:
        for m in mutants:
            path, _count = locate(tree, m, texts)
            original = texts[path]
            path.write_text(original.replace(m.old, m.new), "utf-8")
            try:
                native = path.suffix != ".py"
                if native and not build_extension(tree, build):
                    verdict, secs, detail = "build failed", 0.0, ""
                else:
                    ok, secs, out = run_suite(tree, python, m.first, timeout, args.pytest_args)
                    verdict = {True: "SURVIVED", False: "killed", None: "killed (time limit)"}[ok]
                    detail = tail(out, 1) if ok else next(
                        (line for line in out.splitlines() if line.startswith(("FAILED", "ERROR"))), tail(out, 1))
            finally:
                path.write_text(original, "utf-8")
            results.append({"mutant": m.name, "area": m.area, "file": path.relative_to(tree).as_posix(),
                            "verdict": verdict, "seconds": round(secs, 1), "detail": detail[:160]})
            print(f"{m.name:26} {m.area:17} {verdict:19} {secs:6.0f} s  {detail[:110]}", flush=True)
    finally:
        build_extension(tree, build)  # leave the private build unmutated

    counted = [r for r in results if r["verdict"] != "build failed"]
    killed = sum(r["verdict"].startswith("killed") for r in counted)
    print(f"\nmutation score: {killed}/{len(counted)} killed ({100.0 * killed / max(len(counted), 1):.0f} %)")
    survivors = [r["mutant"] for r in counted if r["verdict"] == "SURVIVED"]
    if survivors:
        print("survived:", ", ".join(survivors))
    if args.json:
        Path(args.json).write_text(json.dumps({"killed": killed, "mutants": len(counted), "results": results},
                                              indent=1) + "\n", "utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
