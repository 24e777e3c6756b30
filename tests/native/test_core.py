"""Checks of the Python-free tracking core through the `core_tests` driver.

The hash and listing-order vectors are known answers; the slot discipline is also
compared step by step with a small pure-Python model of the same rules.
"""

import json
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "core-tests"
VECTORS = json.loads((REPO / "tests" / "data" / "fxhash.json").read_text())
M64 = (1 << 64) - 1
K = 0xF1357AEA2E62A9C5


# ---- pure-Python reference ---------------------------------------------------------------

def _mix(a, b):
    p = a * b
    return (p & M64) ^ (p >> 64)


def _word(b, lo, hi):
    return int.from_bytes(b[lo:hi], "little")


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & M64


def fx_hash_str(name):
    b = name.encode()
    n = len(b)
    s0, s1 = 0x243F6A8885A308D3, 0x13198A2E03707344
    if n <= 16:
        if n >= 8:
            s0 ^= _word(b, 0, 8)
            s1 ^= _word(b, n - 8, n)
        elif n >= 4:
            s0 ^= _word(b, 0, 4)
            s1 ^= _word(b, n - 4, n)
        elif n:
            s0 ^= b[0]
            s1 ^= (b[n - 1] << 8) | b[n // 2]
    else:
        for o in range(0, n - 16, 16):
            t = _mix(s0 ^ _word(b, o, o + 8), 0xA4093822299F31D0 ^ _word(b, o + 8, o + 16))
            s0, s1 = s1, t
        s0 ^= _word(b, n - 16, n - 8)
        s1 ^= _word(b, n - 8, n)
    w = _mix(s0, s1) ^ n
    return _rotl((((w * K) & M64) + 0xFF) * K & M64, 26)


def slots_for(x):
    if x < 4:
        return 4
    if x < 8:
        return 8
    s = 16
    while s < x * 8 // 7:
        s *= 2
    return s


def limit(s):
    return 0 if s == 0 else (s - 1 if s < 16 else s // 8 * 7)


class ModelTracker:
    """The field map's slot rules, one scalar slot at a time."""

    def __init__(self):
        self.slots = []

    def _groups(self, name):
        s = len(self.slots)
        pos, stride = fx_hash_str(name) & (s - 1), 0
        while True:
            yield [(pos + i) & (s - 1) for i in range(min(16, s))]
            stride += 16
            pos = (pos + stride) & (s - 1)

    def _place(self, name):
        for group in self._groups(name):
            empty = [j for j in group if self.slots[j] is None]
            if empty:
                self.slots[empty[0]] = name
                return

    def _grow(self, s):
        old = [n for n in self.slots if n is not None]
        self.slots = [None] * s
        for n in old:
            self._place(n)

    def set_field(self, name):
        if name in self.slots:
            return
        size = len(self.listing())
        cap = limit(len(self.slots))
        if size >= cap:
            self._grow(slots_for(max(size + 1, cap + 1)))
        self._place(name)

    def load(self, names):
        self.slots = [None] * len(self.slots)
        cap = limit(len(self.slots))
        if len(names) > cap:
            self._grow(slots_for(max(len(names), cap + 1)))
        for n in names:
            self.set_field(n)

    def listing(self):
        return [n for n in self.slots if n is not None]


# ---- the driver --------------------------------------------------------------------------

@pytest.fixture(scope="session")
def driver():
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(BUILD), "-DSABLECREST_CORE_TESTS=ON",
         "-DSABLECREST_CORE_ONLY=ON", "-DCMAKE_BUILD_TYPE=Release"],
        check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "core_tests"],
                   check=True, capture_output=True)
    proc = subprocess.Popen([str(BUILD / "core_tests")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)

    def ask(command):
        proc.stdin.write(command + "\n")
        proc.stdin.flush()
        return proc.stdout.readline().rstrip("\n")

    yield ask
    proc.stdin.close()
    rc = proc.wait(timeout=60)
    proc.stdout.close()
    assert rc == 0, "the driver reported a failed command"


def hexnames(names):
    return ",".join(n.encode().hex() for n in names)


def unhex(listing):
    return [bytes.fromhex(h).decode() for h in listing.split(",")] if listing else []


def trace(driver, steps):
    """Runs ("s"|"l", names) steps on one tracker; returns [(slot count, listing)]."""
    script = " ; ".join(f"{op} {hexnames(names)}" for op, names in steps)
    out = []
    for part in driver("trace " + script).split(" ; "):
        s, _, listing = part.partition(":")
        out.append((int(s), unhex(listing)))
    return out


def model_trace(steps):
    m, out = ModelTracker(), []
    for op, names in steps:
        if op == "s":
            for n in names:
                m.set_field(n)
        else:
            m.load(names)
        out.append((len(m.slots), m.listing()))
    return out


# ---- tests -------------------------------------------------------------------------------

class TestHash:
    @pytest.mark.parametrize("v", VECTORS["bytes_hash"], ids=lambda v: v["bytes_hex"][:16] or "empty")
    def test_raw_bytes(self, driver, v):
        assert driver("hash_bytes " + v["bytes_hex"]) == str(v["hash"])

    @pytest.mark.parametrize("v", VECTORS["int_hash"], ids=lambda v: str(v["key"]))
    def test_int(self, driver, v):
        assert driver(f"hash_int {v['key']}") == str(v["hash"])

    @pytest.mark.parametrize("v", VECTORS["str_hash"], ids=lambda v: v["name"][:12] or "empty")
    def test_field_name(self, driver, v):
        assert driver("hash_str " + v["name"].encode().hex()) == str(v["hash"])
        assert fx_hash_str(v["name"]) == v["hash"]  # the model's hash is the same function


class TestListingOrder:
    @pytest.mark.parametrize("v", VECTORS["listing_order"], ids=lambda v: v["calls"][:14])
    def test_known_answers(self, driver, v):
        if "first" in v:
            got = driver(f"order_load2 {hexnames(v['first'])} ; {hexnames(v['names'])}")
        elif v["calls"].startswith("set_field"):
            got = driver("order_set_field " + hexnames(v["names"]))
        else:
            got = driver("order_load " + hexnames(v["names"]))
        assert unhex(got) == v["order"]

    @pytest.mark.parametrize("n, slots", [
        (0, 0), (1, 4), (3, 4), (4, 8), (7, 8), (8, 16), (14, 16),
        (15, 32), (28, 32), (29, 64), (56, 64), (57, 128),
    ])
    def test_slot_counts(self, driver, n, slots):
        names = hexnames(f"n{i}" for i in range(n))
        assert int(driver("slots_set_field " + names)) == slots
        assert int(driver("slots_load " + names)) == slots

    NAMES = [f"col_{i}" for i in range(70)]
    SCRIPTS = [
        pytest.param([("s", [n]) for n in NAMES], id="growth-4-to-128"),
        pytest.param([("l", NAMES[:40]), ("l", NAMES[50:58]), ("s", ["x", "y"])], id="reload-smaller"),
        pytest.param([("l", ["a", "b", "a", "c"]), ("l", [])], id="duplicates-then-empty"),
        pytest.param([("s", NAMES[:3]), ("l", NAMES[:9]), ("s", NAMES[9:30])], id="load-then-grow"),
        pytest.param([("l", ["é", "名前", "", "a" * 40, "a" * 39])], id="unicode-and-long"),
    ]

    @pytest.mark.parametrize("steps", SCRIPTS)
    def test_matches_model(self, driver, steps):
        assert trace(driver, steps) == model_trace(steps)


class TestSelfChecks:
    def test_selftest(self, driver):
        assert driver("selftest") == "ok"


class TestBenchmark:
    @pytest.mark.parametrize("count, want", [
        (1 << 58, "error length_error capacity overflow"),
        (M64, "error length_error capacity overflow"),
        ((1 << 58) - 1, "error bad_alloc"),
    ])
    def test_refused_counts(self, driver, count, want):
        assert driver(f"bench {count}") == want

    @pytest.mark.parametrize("count", [0, 1, 1000])
    def test_small_counts(self, driver, count):
        assert 0.0 <= float(driver(f"bench {count}")) < 10.0
