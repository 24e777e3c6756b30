"""Shared helpers for the benchmark scripts: timing, machine description, tables.

Timing takes the best of several rounds of many calls: on a shared machine the
minimum is the figure least disturbed by other work, and rounds of the two sides
are interleaved so that a burst of load hits both alike.
"""

from __future__ import annotations

import os
import platform
import sys
import timeit
from typing import Any, Dict, List, Optional, Sequence, Tuple

try:
    import _sablecrest_rs as native
except ImportError as exc:  # pragma: no cover - only a message for the user
    sys.exit(
        f"cannot import _sablecrest_rs ({exc}); install the module "
        "(python3 -m pip install .) or point PYTHONPATH at a build directory"
    )


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def load_average() -> Optional[Tuple[float, float, float]]:
    try:
        return os.getloadavg()
    except OSError:
        return None


def machine() -> Dict[str, Any]:
    return {
        "arch": platform.machine(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "module": os.path.basename(getattr(native, "__file__", "?")),
        "load_average": load_average(),
    }


def machine_line(m: Optional[Dict[str, Any]] = None) -> str:
    m = m or machine()
    load = m["load_average"]
    load_text = "n/a" if load is None else "/".join(f"{x:.2f}" for x in load)
    return (
        f"{m['arch']}, {m['cpu']}, {m['cores']} cores; "
        f"{m['implementation']} {m['python']}; load average {load_text}"
    )


def print_header(title: str) -> None:
    print(f"== {title}")
    print(f"   machine: {machine_line()}")
    print(f"   module:  {native.__file__}")


def _calls_per_round(timer: timeit.Timer, target: float) -> int:
    """How many calls make one round of about `target` seconds."""
    n = 1
    while True:
        t = timer.timeit(n)
        if t >= target / 10 or n >= 1 << 24:
            return max(1, int(n * target / max(t, 1e-9)))
        n *= 10


def race(
    contenders: Sequence[Tuple[str, Any]],
    rounds: int = 7,
    target: float = 0.02,
    env: Optional[Dict[str, Any]] = None,
) -> Dict[str, float]:
    """Best seconds per call of each contender, rounds interleaved.

    A contender is a zero-argument callable, or a pair (statement, setup) run by
    timeit in `env`: a bound method fetched in the setup is a fast local inside
    the loop, so the loop adds as little as the interpreter allows.
    """
    timers = []
    for name, what in contenders:
        if callable(what):
            timer = timeit.Timer(what)
        else:
            stmt, setup = what
            timer = timeit.Timer(stmt, setup=setup, globals=dict(env or {}))
        timers.append((name, timer, _calls_per_round(timer, target)))
    best = {name: float("inf") for name, _, _ in timers}
    for _ in range(rounds):
        for name, timer, number in timers:
            best[name] = min(best[name], timer.timeit(number) / number)
    return best


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def table(headers: Sequence[str], rows: List[Sequence[str]]) -> str:
    widths = [max(len(str(r[i])) for r in [headers, *rows]) for i in range(len(headers))]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(str(h).ljust(w) for h, w in zip(headers, widths)), line]
    for r in rows:
        cells = [str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(r, widths))]
        out.append("  ".join(cells))
    return "\n".join(out)
