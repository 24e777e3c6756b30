"""BatchAggregator over 100,000 keys and diff_table of a 30-field model.

add_keys_batch over 100,000 ints (half of them repeats), then get_keys(), against
the idiomatic Python loop (classify into two sets, then one list) and against
set(keys), the interpreter's own C-speed floor for de-duplicating ints. Then
diff_table of a 30-field model, for a missing table (CREATE) and for an existing
one of 20 columns (10 ADD COLUMNs), against a straightforward Python version.

    python3 benchmarks/bench_batch_diff.py [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import sys

import pure
import workloads as w
from _common import fmt_time, native, print_header, race, table

BATCH_GOAL = 4.0        # times faster than the Python loop
FLOOR_GOAL = 2.0        # at most this many times set(keys)
DIFF_GOAL = 1.7


def batch(rounds: int):
    keys = w.int_keys(100_000)

    def native_batch():
        agg = native.BatchAggregator()
        agg.add_keys_batch(keys)
        return agg.get_keys()

    if not pure.same_keys(native_batch(), pure.batch_keys(keys)):
        sys.exit("add_keys_batch: the pure-Python loop gives different keys")
    assert len(set(keys)) == len(keys) // 2
    return race([
        ("loop", lambda: pure.batch_keys(keys)),
        ("native", native_batch),
        ("set", lambda: set(keys)),
        ("list_set", lambda: list(set(keys))),
    ], rounds=rounds, target=0.05)


def diff(rounds: int):
    sde = native.SchemaDiffEngine()
    fields = w.model_fields(30)
    out = {}
    for label, columns in (("create (no table)", {}), ("alter (20 of 30 columns exist)", w.db_columns(fields, 20))):
        args = ("users", fields, columns, "postgres")
        if sde.diff_table(*args) != pure.diff_table(*args):
            sys.exit(f"diff_table {label}: the pure-Python version gives different lists")
        out[label] = race([("python", lambda: pure.diff_table(*args)), ("native", lambda: sde.diff_table(*args))],
                          rounds=rounds)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args(argv)

    print_header("BatchAggregator (100,000 ints) and diff_table (30 fields)")
    b = batch(args.rounds)
    speedup = b["loop"] / b["native"]
    vs_floor = b["native"] / b["set"]
    print(table(
        ["100,000 ints, half repeated", "time", "native is"],
        [
            ["Python loop: two sets, then a list", fmt_time(b["loop"]), f"{speedup:.1f}x faster"],
            ["add_keys_batch + get_keys", fmt_time(b["native"]), ""],
            ["set(keys)  (the C-speed floor)", fmt_time(b["set"]), f"{vs_floor:.2f}x its time"],
            ["list(set(keys))", fmt_time(b["list_set"]), f"{b['native'] / b['list_set']:.2f}x its time"],
        ],
    ))
    print(f"goals: >= {BATCH_GOAL:g}x faster than the loop: {'met' if speedup >= BATCH_GOAL else 'NOT met'}; "
          f"within {FLOOR_GOAL:g}x of set(keys): {'met' if vs_floor <= FLOOR_GOAL else 'NOT met'}")
    print()
    d = diff(args.rounds)
    print(table(
        ["diff_table, 30-field model", "pure Python", "native", "speed-up", f"goal >= {DIFF_GOAL:g}x"],
        [[k, fmt_time(v["python"]), fmt_time(v["native"]), f"{v['python'] / v['native']:.1f}x",
          "met" if v["python"] / v["native"] >= DIFF_GOAL else "NOT met"] for k, v in d.items()],
    ))
    out = {"batch": b, "batch_speedup": speedup, "batch_vs_set": vs_floor, "diff": d}
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(out, f, indent=2)
    return out


if __name__ == "__main__":
    main()
