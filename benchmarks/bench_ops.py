"""Each operation of the module against an idiomatic pure-Python equivalent.

Every pair is first checked to give the same result on the benchmark input, then
timed: best of several interleaved rounds. Prints a table, writes the figures to
docs/benchmarks.json and a Markdown table to docs/benchmarks.md, and draws
docs/benchmarks.png when matplotlib is importable.

    python3 benchmarks/bench_ops.py [--rounds N] [--no-docs]
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
from pathlib import Path

import pure
import workloads as w
from _common import fmt_time, machine, machine_line, native, print_header, race, table

DOCS = Path(__file__).resolve().parent.parent / "docs"

NATIVE_RECORDS = 1_000_000
PYTHON_RECORDS = 100_000


def native_cycle(record=w.RECORD, changes=w.CHANGES, cls=native.StateTracker):
    t = cls()
    t.set_initial_state(record)
    for field, value in changes:
        t.set_field(field, value)
    dirty = t.is_dirty()
    delta = t.get_dirty_changes()
    t.hydrate_snapshot()
    return dirty, delta, t


def same_cycle(a, b):
    """Same answers, and the same state after the new snapshot."""
    return a[:2] == b[:2] and (a[2].is_dirty(), a[2].get_current_dict()) == (b[2].is_dirty(), b[2].get_current_dict())


def python_cycle(record=w.RECORD, changes=w.CHANGES):
    return native_cycle(record, changes, pure.StateTracker)


def operations():
    """(name, goal or None, native callable, python callable, equality check)."""
    qc = native.QueryCompiler()
    sde = native.SchemaDiffEngine()
    sel = w.SELECT_ARGS
    cols = w.WRITE_COLUMNS
    fields = w.model_fields(15)
    columns = w.db_columns(fields, 10)
    keys = w.int_keys(10_000)

    def native_batch():
        agg = native.BatchAggregator()
        agg.add_keys_batch(keys)
        return agg.get_keys()

    eq = lambda a, b: a == b  # noqa: E731
    return [
        ("compile_select", 5.0, lambda: qc.compile_select(*sel), lambda: pure.compile_select(*sel), eq),
        ("compile_insert (8 columns)", 8.0,
         lambda: qc.compile_insert("users", cols, "postgres"),
         lambda: pure.compile_insert("users", cols, "postgres"), eq),
        ("compile_update (8 columns)", 8.0,
         lambda: qc.compile_update("users", cols, "id", "postgres"),
         lambda: pure.compile_update("users", cols, "id", "postgres"), eq),
        ("StateTracker cycle (12 fields)", 3.0, native_cycle, python_cycle, same_cycle),
        ("diff_table (15 fields, 10 columns)", 1.7,
         lambda: sde.diff_table("users", fields, columns, "postgres"),
         lambda: pure.diff_table("users", fields, columns, "postgres"), eq),
        ("add_keys_batch + get_keys (10,000 ints)", 4.0,
         native_batch, lambda: pure.batch_keys(keys), pure.same_keys),
    ]


def str_cost(rounds: int) -> float:
    """What the cycle's str() calls cost by themselves in Python."""
    values = [*w.RECORD.values(), *(v for _, v in w.CHANGES)]
    return race([("str", ("for v in values: f(v)", "f = str"))], rounds=rounds, env={"values": values})["str"]


def measure_native_benchmark(runs: int):
    """benchmark_pure_rust(1,000,000) against the same cycle in Python on fewer
    records; both as seconds per record, best of `runs`."""
    nat = min(native.StateTracker.benchmark_pure_rust(NATIVE_RECORDS) for _ in range(runs))
    py = []
    for _ in range(runs):
        gc.collect()
        seconds, trackers = pure.tracker_benchmark(PYTHON_RECORDS)
        assert all(s == c and c["age"] == "26" for s, c in trackers)
        del trackers
        py.append(seconds)
    return nat / NATIVE_RECORDS, min(py) / PYTHON_RECORDS, nat


def run(rounds: int):
    results = []
    for name, goal, nat_fn, py_fn, same in operations():
        if not same(nat_fn(), py_fn()):
            sys.exit(f"{name}: the pure-Python equivalent gives a different result")
        best = race([("python", py_fn), ("native", nat_fn)], rounds=rounds)
        results.append({
            "operation": name, "python_s": best["python"], "native_s": best["native"],
            "speedup": best["python"] / best["native"], "goal": goal, "unit": "per call",
        })
        if name.startswith("StateTracker"):
            shared = str_cost(rounds)
            results[-1]["note"] = (f"str() of the 15 values costs {fmt_time(shared)} in Python; the module "
                                   f"writes the texts of ints, strs, floats, bools and None itself and calls "
                                   f"str() only for the others (here the datetime)")
    nat_rec, py_rec, nat_total = measure_native_benchmark(3)
    results.append({
        "operation": "benchmark_pure_rust (per record)", "python_s": py_rec, "native_s": nat_rec,
        "speedup": py_rec / nat_rec, "goal": None, "unit": "per record",
        "note": f"native: {NATIVE_RECORDS:,} records in {nat_total:.3f} s; "
                f"Python: the same cycle on {PYTHON_RECORDS:,} records; figures per record",
    })
    return results


def report(results, m) -> str:
    rows = []
    for r in results:
        goal = "" if r["goal"] is None else f">= {r['goal']:g}x " + ("met" if r["speedup"] >= r["goal"] else "NOT met")
        rows.append([r["operation"], fmt_time(r["python_s"]), fmt_time(r["native_s"]), f"{r['speedup']:.1f}x", goal])
    return table(["operation", "pure Python", "native", "speed-up", "goal"], rows)


def write_markdown(results, m, path: Path) -> None:
    lines = [
        "| operation | pure Python | native | speed-up | goal |",
        "|---|---:|---:|---:|---|",
    ]
    for r in results:
        goal = "" if r["goal"] is None else f"≥ {r['goal']:g}× " + ("met" if r["speedup"] >= r["goal"] else "**not met**")
        lines.append(f"| {r['operation']} | {fmt_time(r['python_s'])} | {fmt_time(r['native_s'])} "
                     f"| {r['speedup']:.1f}× | {goal} |")
    lines += ["", f"Measured on {machine_line(m)}.", ""]
    lines += [f"{r['operation']}: {r['note']}." for r in results if r.get("note")]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def draw_chart(results, m, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"matplotlib is not installed: chart skipped, {path} not rewritten (pip install matplotlib)")
        return False
    names = [r["operation"] for r in results][::-1]
    speedups = [r["speedup"] for r in results][::-1]
    goals = [r["goal"] for r in results][::-1]
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    fig, ax = plt.subplots(figsize=(9.5, 5), dpi=110)
    colours = ["#1c7ed6" if g is None else "#2b8a3e" if s >= g else "#c92a2a" for s, g in zip(speedups, goals)]
    lo = min([0.8, *(s * 0.7 for s in speedups)])
    hi = max(speedups + [g or 1 for g in goals]) * 2.5
    # Bars start at the axis' left edge: on a log axis there is no zero to start from.
    ax.barh(range(len(names)), [s - lo for s in speedups], left=lo, color=colours, height=0.6)
    ax.set_xscale("log")
    ax.set_xlim(lo, hi)
    for i, (s, g) in enumerate(zip(speedups, goals)):
        if g is not None:
            ax.plot([g, g], [i - 0.42, i + 0.42], color="black", linewidth=2)
        ax.text(s * 1.05, i, f"{s:.1f}x", va="center", fontsize=9)
    ax.plot([], [], color="black", linewidth=2, label="goal")
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle=":")
    ticks = [t for t in (0.25, 0.5, 1, 2, 3, 5, 10, 20, 50, 100) if lo <= t <= hi]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels(names, fontsize=9)
    ax.set_xlabel("speed-up over pure Python (log scale; right of 1x the module is faster)")
    ax.set_title(f"_sablecrest_rs against idiomatic pure Python\n"
                 f"{m['implementation']} {m['python']} on {m['arch']} {m['cpu']}", fontsize=11)
    ax.legend(loc="lower right", fontsize=8)
    fig.text(0.01, 0.01, "Measured on " + machine_line(m) + ", a shared machine: figures are noisy.\n"
             f"Best of interleaved rounds. benchmark_pure_rust: per record, native {NATIVE_RECORDS:,} records, "
             f"the same cycle in Python on {PYTHON_RECORDS:,}.", fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path)
    plt.close(fig)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--no-docs", action="store_true", help="print only; leave docs/ alone")
    args = ap.parse_args(argv)

    print_header("operations against idiomatic pure Python")
    results = run(args.rounds)
    m = machine()  # the load average at the end of the run, beside the figures
    print(report(results, m))
    for r in results:
        if r.get("note"):
            print(f"{r['operation']}: {r['note']}.")
    print(f"best of {args.rounds} interleaved rounds; load average at the end: "
          + "/".join(f"{x:.2f}" for x in (m["load_average"] or ())))
    if args.no_docs:
        return results
    DOCS.mkdir(exist_ok=True)
    payload = {"machine": m, "rounds": args.rounds, "results": results}
    (DOCS / "benchmarks.json").write_text(json.dumps(payload, indent=2) + "\n", encoding="utf-8")
    write_markdown(results, m, DOCS / "benchmarks.md")
    wrote = draw_chart(results, m, DOCS / "benchmarks.png")
    print(f"wrote {DOCS / 'benchmarks.json'}, {DOCS / 'benchmarks.md'}"
          + (f", {DOCS / 'benchmarks.png'}" if wrote else ""))
    return results


if __name__ == "__main__":
    main()
