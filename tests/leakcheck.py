"""The suite's leak check, importable wherever a test module sits (its folder, tests/, is
on the path of every run; `conftest` may name another folder's conftest module)."""

import gc
import sys


def leak_check(fn, n=5000, tolerance=None, warmup=200):
    """Call fn() n times after a warm-up and assert sys.getallocatedblocks() stays flat."""
    # Interpreter caches and free lists settle in one-off steps of up to a few hundred
    # blocks, now and then in two windows running; a leak costs at least one block per
    # call in every window, so the quietest of three windows decides.
    tolerance = n // 20 if tolerance is None else tolerance
    for _ in range(warmup):
        fn()
    grown = []
    for _window in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(n):
            fn()
        gc.collect()
        grown.append(sys.getallocatedblocks() - before)
    assert min(grown) <= tolerance, "%s blocks left behind by %d calls" % (grown, n)
