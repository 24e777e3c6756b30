"""Where one contender's time goes, phase by phase, under cProfile.

    python3 benchmarks/profile_orm.py [--contender sablecrest] [--engine sqlite]
                                      [--phases insert,update] [--repeat 20] [--top 25]

Each repetition runs the whole workload on fresh tables and profiles only the phases
asked for; the listing sums the repetitions (sorted by own time). The profiler's
overhead falls on Python frames, not on C calls: compare a phase's total with its time
in bench_orm.py to see how much of the listing is the profiler.
"""

import argparse
import cProfile
import io
import os
import pstats
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
try:
    import sablecrest  # noqa: F401
except ImportError:
    sys.path.insert(0, str(ROOT))

import bench_orm  # noqa: E402
import orm_contenders as oc  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--contender", default="sablecrest", help="; ".join(c.name for c in oc.CONTENDERS))
    ap.add_argument("--engine", default="sqlite")
    ap.add_argument("--phases", default=",".join(oc.ALL_PHASES))
    ap.add_argument("--repeat", type=int, default=20)
    ap.add_argument("--top", type=int, default=25)
    args = ap.parse_args()
    cls = next((c for c in oc.CONTENDERS if c.name == args.contender), None)
    if cls is None:
        ap.error(f"unknown contender {args.contender!r}")
    phases = args.phases.split(",")
    c = cls(args.engine, bench_orm.URLS)
    profiles = {p: cProfile.Profile() for p in phases}
    for _ in range(args.repeat):
        c.fresh()
        for phase in oc.ALL_PHASES:
            run = getattr(c, phase)
            if phase in profiles:
                profiles[phase].runcall(run)
            else:
                run()
    c.close()
    for phase in phases:
        out = io.StringIO()
        stats = pstats.Stats(profiles[phase], stream=out)
        stats.sort_stats("tottime").print_stats(args.top)
        text = out.getvalue().replace(str(ROOT) + os.sep, "")
        print(f"==== {args.contender} on {args.engine}: {phase} ({oc.PHASE_LABELS[phase]}), "
              f"{args.repeat} repetitions")
        print(text[text.find("   ncalls"):] if "   ncalls" in text else text)


if __name__ == "__main__":
    main()
