"""StateTracker per call, and the native benchmark's time and peak memory.

Per call: set_field, get_field and is_dirty on a tracker loaded with a 12-field
record, next to a dict-based pure-Python tracker doing the same (best of several
interleaved rounds). Then StateTracker.benchmark_pure_rust(1,000,000): each run
in a fresh subprocess, so that its peak resident size (ru_maxrss of that child
alone, read with os.wait4) is not hidden by earlier runs; the median of the runs.

    python3 benchmarks/bench_tracker.py [--runs N] [--count N] [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

import pure
import workloads as w
from _common import fmt_time, native, print_header, race, table

GOAL_SECONDS = 0.27  # a quarter of the reference cycle's 1.1 s on this machine kind

CHILD = """
import sys, _sablecrest_rs
seconds = _sablecrest_rs.StateTracker.benchmark_pure_rust(int(sys.argv[1]))
print(repr(seconds))
"""


def per_call(rounds: int):
    env = {}
    for prefix, cls in (("n", native.StateTracker), ("p", pure.StateTracker)):
        clean = cls()
        clean.set_initial_state(w.RECORD)
        dirty = cls()
        dirty.set_initial_state(w.RECORD)
        dirty.set_field("tags", "admin")
        scratch = cls()
        scratch.set_initial_state(w.RECORD)
        env[prefix + "_clean"], env[prefix + "_dirty"], env[prefix + "_scratch"] = clean, dirty, scratch
    # Same answers on both sides before anything is timed.
    for name in ("clean", "dirty"):
        n, p = env["n_" + name], env["p_" + name]
        assert n.is_dirty() == p.is_dirty() and n.get_field("name") == p.get_field("name")
        assert n.get_dirty_changes() == p.get_dirty_changes()
    cases = [
        ('set_field("city", "Bergen")', "f = {}_scratch.set_field", 'f("city", "Bergen")'),
        ('set_field("age", 35)', "f = {}_scratch.set_field", 'f("age", 35)'),
        ('set_field("score", 4.5)', "f = {}_scratch.set_field", 'f("score", 4.5)'),
        ('get_field("name")', "f = {}_clean.get_field", 'f("name")'),
        ('get_field("missing")', "f = {}_clean.get_field", 'f("missing")'),
        ("is_dirty()  clean, 12 fields", "f = {}_clean.is_dirty", "f()"),
        ("is_dirty()  one dirty field", "f = {}_dirty.is_dirty", "f()"),
    ]
    rows = []
    for label, setup, stmt in cases:
        best = race([("python", (stmt, setup.format("p"))), ("native", (stmt, setup.format("n")))],
                    rounds=rounds, env=env)
        rows.append({"call": label, "python_ns": best["python"] * 1e9, "native_ns": best["native"] * 1e9})
    str_cost = race([("str", ("f(35)", "f = str")), ("str_float", ("f(4.5)", "f = str"))], rounds=rounds)
    return rows, str_cost


def run_child(count: int):
    """One benchmark run in a fresh interpreter: (seconds, peak RSS in bytes, the
    child's system CPU seconds)."""
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(count)], stdout=subprocess.PIPE, env=os.environ.copy())
    out = proc.stdout.read()
    proc.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
    if proc.returncode != 0:
        sys.exit(f"benchmark child failed with status {proc.returncode}")
    return float(out), usage.ru_maxrss * 1024, usage.ru_stime  # ru_maxrss is in KiB on Linux


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--count", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args(argv)

    print_header("StateTracker: per call, and benchmark_pure_rust")
    rows, str_cost = per_call(args.rounds)
    print(table(
        ["call", "pure Python", "native", "speed-up"],
        [[r["call"], fmt_time(r["python_ns"] / 1e9), fmt_time(r["native_ns"] / 1e9),
          f"{r['python_ns'] / r['native_ns']:.2f}x"] for r in rows],
    ))
    print(f"(for scale: str(35) costs {fmt_time(str_cost['str'])}, str(4.5) {fmt_time(str_cost['str_float'])}, "
          "both inside set_field on either side)")

    _, baseline_rss, _ = run_child(0)
    # The first large run after a while mostly waits for the kernel to find and
    # clear free memory (system time, not the module's): it is shown, not counted.
    warm = run_child(args.count)
    runs = [run_child(args.count) for _ in range(args.runs)]
    seconds = [r[0] for r in runs]
    peaks = [r[1] for r in runs]
    median = statistics.median(seconds)
    print()
    print(f"benchmark_pure_rust({args.count:,}), {args.runs} runs, each in a fresh process "
          f"(after a warm-up run: {warm[0]:.3f} s, of which the kernel {warm[2]:.2f} s CPU):")
    print("  seconds: " + ", ".join(f"{s:.3f}" for s in seconds)
          + "  (kernel CPU per run: " + ", ".join(f"{r[2]:.2f}" for r in runs) + ")")
    print(f"  median {median:.3f} s, best {min(seconds):.3f} s "
          f"(goal <= {GOAL_SECONDS} s: {'met' if median <= GOAL_SECONDS else 'NOT met'})")
    print(f"  peak RSS: median {statistics.median(peaks) / 2**20:.0f} MiB "
          f"(an interpreter that only imports the module: {baseline_rss / 2**20:.0f} MiB)")
    out = {
        "per_call": rows,
        "benchmark": {"count": args.count, "warmup_s": warm[0], "seconds": seconds, "median_s": median,
                      "peak_rss_bytes": peaks, "baseline_rss_bytes": baseline_rss},
    }
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(out, f, indent=2)
    return out


if __name__ == "__main__":
    main()
