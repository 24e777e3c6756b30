"""Call overhead of the module's methods against the floor of their calling convention.

The floor is floor/floor.c: bare METH_VARARGS|METH_KEYWORDS methods that bind their
arguments with PyArg_ParseTupleAndKeywords and return a cached object, and a
METH_NOARGS one. It is compiled here with the running interpreter's headers, so
the comparison is always against the same interpreter, in the same process, with
rounds of the module and of the floor interleaved.

    python3 benchmarks/floor_overhead.py [--rounds N] [--json FILE]
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import os
import subprocess
import sysconfig
import tempfile
from pathlib import Path

from _common import fmt_time, machine, native, print_header, race, table

HERE = Path(__file__).resolve().parent
GOAL = 1.15


def build_floor(workdir: str):
    """Compile floor.c into `workdir` and import it as `_floor`."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = os.path.join(workdir, "_floor" + suffix)
    include = sysconfig.get_paths()["include"]
    cmd = [
        os.environ.get("CC", "gcc"), "-O2", "-shared", "-fPIC", "-Wall",
        f"-I{include}", str(HERE / "floor" / "floor.c"), "-o", target,
    ]
    subprocess.run(cmd, check=True)
    loader = importlib.machinery.ExtensionFileLoader("_floor", target)
    spec = importlib.util.spec_from_file_location("_floor", target, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def cases(floor_mod):
    """(label, module statement, floor statement, environment) per measured method."""
    qc = native.QueryCompiler()
    tracker = native.StateTracker()
    tracker.set_initial_state({
        "id": 1, "name": "Ann", "email": "ann@example.org", "age": 30,
        "score": 4.5, "active": True, "city": "Oslo", "zip": "0150",
        "created": "2024-01-02", "notes": None, "rank": 7, "team": "blue",
    })
    empty = native.StateTracker()
    agg = native.BatchAggregator()
    fl = floor_mod.Floor()
    env = {"qc": qc, "tracker": tracker, "empty": empty, "agg": agg, "fl": fl}
    return env, [
        ('QueryCompiler.get_placeholder("postgres", 5)', "qc.get_placeholder", 'f("postgres", 5)',
         "fl.two", 'f("postgres", 5)'),
        ('StateTracker.get_field("name")  (12 fields)', "tracker.get_field", 'f("name")',
         "fl.one", 'f("name")'),
        ("BatchAggregator.add_key_int(5)", "agg.add_key_int", "f(5)",
         "fl.one", "f(5)"),
        ("StateTracker.is_dirty()  (12 clean fields)", "tracker.is_dirty", "f()",
         "fl.none", "f()"),
        ("StateTracker.is_dirty()  (empty)", "empty.is_dirty", "f()",
         "fl.none", "f()"),
    ]


def main(argv=None) -> dict:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=25)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args(argv)

    print_header("call overhead against the floor of the calling convention")
    with tempfile.TemporaryDirectory(prefix="sablecrest-floor-") as tmp:
        floor_mod = build_floor(tmp)
        env, rows = cases(floor_mod)
        # The bound method is fetched in timeit's setup, so it is a fast local
        # inside the loop and both sides pay the same loop and lookup cost.
        loop = race([("loop", ("pass", ""))], rounds=args.rounds)["loop"]
        results = []
        for label, nat_fn, nat_stmt, floor_fn, floor_stmt in rows:
            best = race(
                [("native", (nat_stmt, f"f = {nat_fn}")), ("floor", (floor_stmt, f"f = {floor_fn}"))],
                rounds=args.rounds, env=env,
            )
            results.append({
                "method": label,
                "native_ns": best["native"] * 1e9,
                "floor_ns": best["floor"] * 1e9,
                "ratio": best["native"] / best["floor"],
            })

    print(table(
        ["method", "native", "floor", "ratio", f"goal <= {GOAL}"],
        [[r["method"], fmt_time(r["native_ns"] / 1e9), fmt_time(r["floor_ns"] / 1e9),
          f"{r['ratio']:.2f}", "met" if r["ratio"] <= GOAL else "NOT met"] for r in results],
    ))
    print(f"(times are per call including the timing loop's own {loop * 1e9:.1f} ns; "
          f"best of {args.rounds} interleaved rounds)")
    out = {"machine": machine(), "loop_ns": loop * 1e9, "goal_ratio": GOAL, "results": results}
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=2) + "\n", encoding="utf-8")
    return out


if __name__ == "__main__":
    main()
