#!/usr/bin/env python3
"""Mutation check: how many small faults in the code does the test suite catch?

Each mutant replaces one code snippet by a faulty one (a flipped comparison, an
off-by-one bound, a dropped term, swapped arguments, a wrong constant).  The
snippet is searched across the whole source tree (C++ and Python outside tests/,
bench/, examples/, docs/, core/tests/ and tools/) and must occur exactly once,
so a mutant follows its code wherever the file lives; where the code was rewritten,
an alternative snippet of the same fault is used.  Where the tree has the core's own
C++ tests, they are built and run for every native mutant (a column of their own).

The tree is mirrored into a private work folder (default
/tmp/trelvanoxa-mutation-$USER: the checkout is never touched), the extension is
built there with CMake/Ninja (incremental: a C++ mutant recompiles one file), and
for every mutant the suite runs with pytest -x against the mirrored package
(PYTHONPATH), under a time limit per run.  A mutant is killed when the suite
fails; a run that reaches the time limit is reported as such and not counted as
killed.  The file is restored before the next mutant.

    .venv/bin/python tools/mutation.py                 # all mutants, this checkout's tests
    .venv/bin/python tools/mutation.py --list          # mutants and where their snippets are
    .venv/bin/python tools/mutation.py -k fragments    # mutants whose name or area contains a word
    .venv/bin/python tools/mutation.py --suite before=OLD --suite after=. --json out.json
                                                           # two test suites against the same mutants

The tests a mutant names in ``first`` run before the rest of the suite, so a
caught mutant fails fast; a surviving one has run the whole suite.  Python
mutants need no rebuild: ``--only python --no-build`` in a second work folder
that already holds a built extension runs them beside the native ones.
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
NOT_CODE = ("tests/", "bench/", "examples/", "docs/", "tools/", "core/tests/")


@dataclass
class Mutant:
    name: str
    area: str
    old: str
    new: str
    first: list = field(default_factory=list)  # test files run ahead of the rest
    also: list = field(default_factory=list)  # (old, new) of the same fault where the code was rewritten


M = Mutant
MUTANTS = [
    # layout: node angles, the force-directed relaxation, alignment and mirror symmetry
    M("layout-widest-gap", "layout", "if (gap > widest) {", "if (gap < widest) {", ["test_layout.py"]),
    M("layout-spring-sign", "layout", "const double stretch = len - params.target_bond_len;",
      "const double stretch = params.target_bond_len - len;", ["test_layout.py"]),
    M("layout-pca-handedness", "layout", "if (det < 0) {\n        r[0][1] = -r[0][1];",
      "if (det > 0) {\n        r[0][1] = -r[0][1];", ["test_layout.py"]),
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
    M("soft-parallel-link", "soft-bond pass", "(amounts ? removed(u, v, (*amounts)[i]) : removed(u, v)) == target",
      "removed(u, v) == target", ["test_fuzz.py", "test_lpi.py"]),
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
      'mol.atoms[i].symbol + std::to_string(i + 1) + "-"', ["test_fragments.py"],
      [('sym_a + std::to_string(a) + "-"', 'sym_a + std::to_string(a + 1) + "-"')]),
    # multi-generation fragmentation
    M("gen-depth", "multi-generation", "if (gen >= max_generations) continue;",
      "if (gen > max_generations) continue;", ["test_fragments.py"]),
    M("gen-ring-min", "multi-generation", "if (std::min(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) >= min_mz)",
      "if (std::max(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) >= min_mz)", ["test_fragments.py"],
      [("if (avg_mass(mol, comps[0]) >= min_mz && avg_mass(mol, comps[1]) >= min_mz)",
        "if (avg_mass(mol, comps[0]) >= min_mz || avg_mass(mol, comps[1]) >= min_mz)")]),
    M("gen-number", "multi-generation",
      "if (have_mz.insert(mz).second) peaks.push_back({mz, formula(mol, child), gen + 1});",
      "if (have_mz.insert(mz).second) peaks.push_back({mz, formula(mol, child), gen});", ["test_fragments.py"]),
    M("gen-number-last", "multi-generation",
      "end_of(candidates[i]));\n                peaks.push_back({mz, formula(mol, child), gen + 1});",
      "end_of(candidates[i]));\n                peaks.push_back({mz, formula(mol, child), gen});", ["test_fragments.py"]),
    M("gen-cut-pair-labels", "multi-generation",
      "if (connected && tree.label[ring_edges[i]] != tree.label[ring_edges[j]]) continue;",
      "if (connected && tree.label[ring_edges[i]] == tree.label[ring_edges[j]]) continue;", ["test_fragments.py"]),
    M("sparse-above-decides", "soft-bond pass", "if (pos != above_->pos()) return 0;",
      "if (pos != above_->pos()) return 1;", ["test_soft_pass.py"]),
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
      "if not line.endswith(b\"\\n\"):\n                pass  # torn last line", ["test_batch.py"],
      [("if not line.endswith(b\"\\n\"):\n                return  # a torn last line\n            try:",
        "if not line.endswith(b\"\\n\"):\n                pass  # a torn last line\n            try:")]),
    M("batch-resume-skip", "batch", "if done:\n        items = ((i, s) for i, s in items if i not in done)",
      "if done:\n        items = ((i, s) for i, s in items)", ["test_batch.py", "test_cli.py"],
      [("            if self.left.get(key):\n                self.left[key] -= 1",
        "            if False and self.left.get(key):\n                self.left[key] -= 1")]),
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
      ["test_pubchem_limits.py", "test_pubchem.py"]),
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
    """(path, count, old, new): where the mutant's snippet (or its first alternative found) is, and how many
    times that snippet occurs in the whole tree."""
    for old, new in [(mutant.old, mutant.new), *mutant.also]:
        hits = [(p, texts[p].count(old)) for p in texts if old in texts[p]]
        if hits:
            return hits[0][0], sum(n for _p, n in hits), old, new
    return None, 0, mutant.old, mutant.new


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


def cmake(python):
    """CMake from the interpreter's own environment (where ./dev installs it), else from PATH."""
    beside = Path(python).parent / "cmake"
    return str(beside) if beside.exists() else "cmake"


def configure(tree, build, python):
    # The core's own C++ tests are built too where the tree has them (./dev test runs them first).
    core_tests = ["-DTX_CORE_TESTS=ON"] if "TX_CORE_TESTS" in (tree / "CMakeLists.txt").read_text("utf-8") else []
    subprocess.run([cmake(python), "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={python}", *core_tests], check=True, stdout=subprocess.DEVNULL)


def run_core_tests(build, timeout):
    """(passed, seconds, output) of the core's C++ test executable, or None when the build has none."""
    exe = next((p for p in build.rglob("core_tests") if p.is_file() and os.access(p, os.X_OK)), None)
    if exe is None:
        return None
    start = time.monotonic()
    try:
        r = subprocess.run([str(exe)], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, time.monotonic() - start, ""
    return r.returncode == 0, time.monotonic() - start, r.stdout + r.stderr


def build_extension(tree, build, python):
    """Builds the extension and puts it (and its stubs) into the mirrored package; False if it fails."""
    r = subprocess.run([cmake(python), "--build", str(build)], capture_output=True, text=True)
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


def run_suite(tree, python, first, timeout, extra, package):
    """(passed, seconds, output) of pytest -x over the tests of `tree` against `package`'s folder on
    PYTHONPATH, the `first` files ahead of the rest; passed is None when the time limit was reached."""
    # Explicit files: given a folder and a file inside it, pytest would not keep the file first.
    ahead = [f for f in first if (tree / "tests" / f).exists()]
    rest = sorted(p.name for p in (tree / "tests").glob("test_*.py") if p.name not in ahead)
    tests = [f"tests/{f}" for f in ahead + rest]
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MPLBACKEND")}
    env.update(PYTHONPATH=str(package), MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
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


def verdict(ok, out):
    """Killed, survived or undecided (the time limit came first), and the test that failed."""
    if ok is None:
        return "time limit", ""
    if ok:
        return "SURVIVED", ""
    failed = next((line for line in out.splitlines() if line.startswith(("FAILED", "ERROR"))), out.strip()[-120:])
    return "killed", failed.split(" - ")[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-k", dest="select", help="only mutants whose name or area contains this text")
    ap.add_argument("--list", action="store_true", help="list the mutants and where their snippets are, then stop")
    ap.add_argument("--workdir", default=f"/tmp/trelvanoxa-mutation-{os.environ.get('USER', 'dev')}")
    ap.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"))
    ap.add_argument("--source", default=str(ROOT), help="the tree to mutate (default: this checkout)")
    ap.add_argument("--suite", action="append", default=[], metavar="LABEL=DIR",
                    help="run the tests/ of checkout DIR against every mutant (default: the source's own tests); "
                         "repeat to compare suites side by side, e.g. --suite before=OLD --suite after=NEW")
    ap.add_argument("--only", choices=("python", "native"), help="only the mutants of one language")
    ap.add_argument("--no-build", action="store_true",
                    help="use the extension already built into the work folder (Python mutants only)")
    ap.add_argument("--timeout", type=float, help="seconds per suite run (default: 1.5 x the unmutated run + 60)")
    ap.add_argument("--skip-baseline", action="store_true", help="do not run the unmutated suites first")
    ap.add_argument("--json", help="write the per-mutant results to this file")
    ap.add_argument("pytest_args", nargs="*", help="extra pytest arguments (after --)")
    args = ap.parse_args()

    work = Path(args.workdir)
    tree, build = work / "tree", work / "build"
    mirror(Path(args.source).resolve(), tree)
    texts = {p: p.read_text("utf-8") for p in code_files(tree)}
    suites = [(label, Path(d).resolve()) for label, _, d in (s.partition("=") for s in args.suite)] or [
        ("suite", tree)]

    chosen, problems = [], []
    for m in MUTANTS:
        if args.select and args.select not in m.name and args.select not in m.area:
            continue
        path, count, old, new = locate(tree, m, texts)
        where = path.relative_to(tree).as_posix() if path else "-"
        if args.list:
            print(f"{m.name:26} {m.area:17} {where} ({count} match{'es' if count != 1 else ''})")
        if count != 1:
            problems.append(f"{m.name}: snippet found {count} times")
        elif not (args.only == "native" and path.suffix == ".py") and not (
                (args.only == "python" or args.no_build) and path.suffix != ".py"):
            chosen.append((m, path, old, new))
    if problems or args.list:
        print("\n".join(problems) or f"every snippet is unique ({len(MUTANTS)} mutants)")
        return 1 if problems else 0

    python = shutil.which(args.python) or args.python
    package = tree / "src"
    if not args.no_build:
        configure(tree, build, python)
        if not build_extension(tree, build, python):
            print("the unmutated tree does not build")
            return 2
    timeout = args.timeout
    if not args.skip_baseline:
        slowest = 0.0
        for label, suite in suites:
            ok, secs, out = run_suite(suite, python, [], None, args.pytest_args, package)
            print(f"unmutated, {label}: {'passed' if ok else 'FAILED'} in {secs:.0f} s", flush=True)
            if not ok:
                print(out[-4000:])
                return 2
            slowest = max(slowest, secs)
        timeout = timeout or 1.5 * slowest + 60
    timeout = timeout or 1800

    results = []
    print(f"{'mutant':26} {'area':17} " + " ".join(f"{label + ' (s)':>24}" for label, _ in suites), flush=True)
    try:
        for m, path, old, new in chosen:
            original = texts[path]
            path.write_text(original.replace(old, new), "utf-8")
            row = {"mutant": m.name, "area": m.area, "file": path.relative_to(tree).as_posix()}
            try:
                if path.suffix != ".py" and not build_extension(tree, build, python):
                    row.update({label: {"verdict": "build failed"} for label, _ in suites})
                else:
                    core = run_core_tests(build, timeout) if path.suffix != ".py" else None
                    if core is not None:
                        v, _ = verdict(core[0], core[2])
                        row["core"] = {"verdict": v, "seconds": round(core[1], 1),
                                       "test": (core[2].strip().splitlines() or [""])[-1]}
                    for label, suite in suites:
                        ok, secs, out = run_suite(suite, python, m.first, timeout, args.pytest_args, package)
                        v, test = verdict(ok, out)
                        row[label] = {"verdict": v, "seconds": round(secs, 1), "test": test}
            finally:
                path.write_text(original, "utf-8")
            results.append(row)
            cells = [f"{row[label]['verdict']:>12} {row[label].get('seconds', 0):6.0f} s" for label, _ in suites]
            tests = "; ".join(row[label].get("test", "") for label, _ in suites)
            if "core" in row:
                tests = f"core tests: {row['core']['verdict']}; {tests}"
            print(f"{m.name:26} {m.area:17} " + " ".join(f"{c:>24}" for c in cells) + f"  {tests[:100]}", flush=True)
    finally:
        if not args.no_build:
            build_extension(tree, build, python)  # leave the private build unmutated

    print()
    for label, _ in suites:
        counted = [r for r in results if r[label]["verdict"] != "build failed"]
        killed = [r for r in counted if r[label]["verdict"] == "killed"]
        survivors = [r["mutant"] for r in counted if r[label]["verdict"] != "killed"]
        print(f"mutation score, {label}: {len(killed)}/{len(counted)} killed "
              f"({100.0 * len(killed) / max(len(counted), 1):.0f} %)" + (f"; not killed: {', '.join(survivors)}"
                                                                         if survivors else ""))
        if any("core" in r for r in counted):
            either = [r for r in counted
                      if "killed" in (r[label]["verdict"], r.get("core", {}).get("verdict"))]
            print(f"  with the core's own tests: {len(either)}/{len(counted)} killed")
    if args.json:
        Path(args.json).write_text(json.dumps({"suites": [label for label, _ in suites], "results": results},
                                              indent=1) + "\n", "utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
