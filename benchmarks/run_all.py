"""Run the whole benchmark suite, one script after another, with this interpreter.

    python3 benchmarks/run_all.py            # under a minute; rewrites docs/benchmarks.*
    python3 benchmarks/run_all.py --no-docs  # print only

Each script runs in its own process so that one's memory does not weigh on the
next one's figures.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DOCS_JSON = HERE.parent / "docs" / "benchmarks.json"
SCRIPTS = ["floor_overhead.py", "bench_tracker.py", "bench_batch_diff.py", "bench_ops.py"]


def main() -> int:
    ap = argparse.ArgumentParser(description="Run every benchmark script.")
    ap.add_argument("--no-docs", action="store_true", help="leave docs/benchmarks.* alone")
    args = ap.parse_args()
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="sablecrest-bench-") as tmp:
        sections = {}
        for script in SCRIPTS:
            cmd = [sys.executable, str(HERE / script)]
            if script == "bench_ops.py":
                if args.no_docs:
                    cmd.append("--no-docs")
            else:
                sections[script[:-3]] = Path(tmp, script[:-3] + ".json")
                cmd += ["--json", str(sections[script[:-3]])]
            sys.stdout.flush()
            code = subprocess.call(cmd, cwd=HERE, env=os.environ.copy())
            print(flush=True)
            if code != 0:
                print(f"{script} failed with exit status {code}", file=sys.stderr)
                return code
        if not args.no_docs:
            # One file keeps every figure of the run together with its machine line.
            payload = json.loads(DOCS_JSON.read_text(encoding="utf-8"))
            for name, path in sections.items():
                payload[name] = json.loads(path.read_text(encoding="utf-8"))
            DOCS_JSON.write_text(json.dumps(payload, indent=2) + "\n", encoding="utf-8")
    print(f"suite finished in {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
