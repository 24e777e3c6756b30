"""Compares builds of the `core_tests` driver made by other compilers and for other
architectures with the native build: every hash and every listing order must come out
byte for byte the same, and each build's self-test must pass.

    python3 tests/native/portability.py NAME=COMMAND [NAME=COMMAND ...]

The first NAME=COMMAND is the reference (the native build); COMMAND is split on blanks,
so an emulator and its arguments can stand before the driver, for example
"s390x=qemu-s390x-static build/portability/s390x/core_tests". The reference's answers to
the known-answer vectors are checked too. Prints one line per build and, last, a line
"N passed, N failed"; exits non-zero when any build differs or fails.
"""

from __future__ import annotations

import json
import random
import subprocess
import sys
import time
from pathlib import Path

VECTORS = json.loads((Path(__file__).resolve().parents[1] / "data" / "fxhash.json").read_text())


def hexnames(names):
    return ",".join(n.hex() for n in names)


def commands():
    """(command, expected answer or None); the same list, in the same order, for every build."""
    out = []
    for v in VECTORS["bytes_hash"]:
        out.append(("hash_bytes " + v["bytes_hex"], str(v["hash"])))
    for v in VECTORS["int_hash"]:
        out.append((f"hash_int {v['key']}", str(v["hash"])))
    for v in VECTORS["str_hash"]:
        out.append(("hash_str " + v["name"].encode().hex(), str(v["hash"])))
    for v in VECTORS["listing_order"]:
        names = [n.encode() for n in v["names"]]
        want = ",".join(n.encode().hex() for n in v["order"])
        if "first" in v:
            out.append((f"order_load2 {hexnames(n.encode() for n in v['first'])} ; {hexnames(names)}", want))
        elif v["calls"].startswith("set_field"):
            out.append(("order_set_field " + hexnames(names), want))
        else:
            out.append(("order_load " + hexnames(names), want))

    rng = random.Random(13)
    # Every length the hash treats differently (0..3, 4..7, 8..16, the 16-byte rounds
    # and their tails), with every byte value.
    for n in list(range(0, 140)) * 3:
        b = bytes(rng.randrange(256) for _ in range(n))
        out.append(("hash_bytes " + b.hex(), None))
        out.append(("hash_str " + b.hex(), None))
    edges = [0, 1, -1, 2**31 - 1, -(2**31), 2**32, 2**63 - 1, -(2**63)]
    for k in edges + [rng.randrange(-(2**63), 2**63) for _ in range(300)]:
        out.append((f"hash_int {k}", None))
    # Listing orders through growth 4 -> 256 slots, by single inserts and by loads.
    for n in range(1, 200, 3):
        names = [f"{rng.choice(['id', 'col', 'field', 'x'])}_{rng.randrange(10**6)}".encode() for _ in range(n)]
        out.append(("order_set_field " + hexnames(names), None))
        out.append(("order_load " + hexnames(names), None))
        out.append(("slots_set_field " + hexnames(names), None))
    for n in (40, 90, 170):
        big = [f"big_{i}".encode() for i in range(n)]
        small = [bytes(rng.randrange(256) for _ in range(rng.randrange(30))) for _ in range(n // 5)]
        out.append((f"order_load2 {hexnames(big)} ; {hexnames(small)}", None))
    steps = " ; ".join([f"s {hexnames([f'n{i}'.encode()])}" for i in range(40)] +
                       [f"l {hexnames([f'm{i}'.encode() for i in range(9)])}", "h",
                        f"s {hexnames([b'x', b'y', 'é'.encode(), b'a' * 40])}"])
    out.append(("trace " + steps, None))
    out.append(("selftest", "ok"))
    return out


def run_build(argv, cmds, timeout=600):
    """The build's answers, one per command; an exception when it cannot run or dies."""
    text = "".join(c + "\n" for c, _ in cmds)
    proc = subprocess.run(argv, input=text, capture_output=True, text=True, timeout=timeout)
    answers = proc.stdout.splitlines()
    if proc.returncode != 0 or len(answers) != len(cmds):
        tail = (proc.stderr or "").strip().splitlines()[-3:]
        raise RuntimeError(f"exit {proc.returncode}, {len(answers)} of {len(cmds)} answers {tail}")
    return answers


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    builds = [a.split("=", 1) for a in argv[1:]]
    cmds = commands()
    reference = None
    passed = failed = 0
    for i, (name, command) in enumerate(builds):
        start = time.perf_counter()
        try:
            answers = run_build(command.split(), cmds)
        except (OSError, RuntimeError, subprocess.TimeoutExpired) as e:
            print(f"  {name:<22} FAILED to run: {e}")
            failed += 1
            continue
        seconds = time.perf_counter() - start
        if i == 0:
            reference = answers
            wrong = [(c, a, w) for (c, w), a in zip(cmds, answers) if w is not None and a != w]
        else:
            if reference is None:
                print(f"  {name:<22} not compared: the reference build failed")
                failed += 1
                continue
            wrong = [(c, a, r) for (c, _), a, r in zip(cmds, answers, reference) if a != r]
        if wrong:
            failed += 1
            c, a, w = wrong[0]
            print(f"  {name:<22} DIFFERS in {len(wrong)} of {len(cmds)} answers; first: {c[:60]!r} "
                  f"gave {a[:60]!r}, expected {w[:60]!r}")
        else:
            passed += 1
            what = "known answers and self-test" if i == 0 else "identical to the reference, self-test ok"
            print(f"  {name:<22} ok: {len(cmds)} answers, {what} ({seconds:.1f} s)")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
