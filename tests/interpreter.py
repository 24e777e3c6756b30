"""What the running interpreter itself says and does, for tests that pass its errors and
references through: its own wording is taken from it at test time (3.15 reworded several
messages), and objects it made immortal (3.12 on) are left out of reference counts."""

import operator
import sys


def message(fn, *args):
    """The text of the exception that fn(*args) raises on this interpreter."""
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - any exception: its text is what is wanted
        return str(exc)
    raise AssertionError("%r%r raised nothing" % (fn, args))


def index_message(obj):
    """The interpreter's TypeError text for operator.index(obj), as PyNumber_Index words it."""
    return message(operator.index, obj)


# 3.12 and 3.13 keep an immortal object's count at 2**30 - 1 or above (2**32 - 1 on 32-bit
# builds); no object of a test comes near that many references.
_IMMORTAL_FLOOR = 2**29


def is_immortal(obj):
    """True where the interpreter no longer counts the object's references: an abi3 module
    built for 3.8 still adds and drops them inline, so the number drifts (3.14 lets it)."""
    check = getattr(sys, "_is_immortal", None)  # 3.14 on
    if check is not None:
        return check(obj)
    return sys.version_info >= (3, 12) and sys.getrefcount(obj) >= _IMMORTAL_FLOOR


def refcounts(objects):
    """sys.getrefcount of each object, None for an immortal one: compare two such lists."""
    return [None if is_immortal(o) else sys.getrefcount(o) for o in objects]
