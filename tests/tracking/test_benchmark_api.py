"""StateTracker.benchmark_pure_rust through Python: its result and its argument errors.

Speed is measured under benchmarks/, never here.
"""

import ctypes

import pytest

from _sablecrest_rs import StateTracker
from interpreter import index_message

bench = StateTracker.benchmark_pure_rust


def panic_type():
    try:
        bench(2**58)
    except BaseException as exc:  # noqa: B036 - PanicException is not an Exception
        return type(exc)
    raise AssertionError("capacity overflow was not raised")


def unsigned_conversion_error(value):
    """The interpreter's own error for PyLong_AsUnsignedLongLong(value)."""
    as_unsigned = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    as_unsigned.argtypes = [ctypes.py_object]
    as_unsigned.restype = ctypes.c_ulonglong
    try:
        as_unsigned(value)
    except OverflowError as exc:
        return str(exc)
    raise AssertionError("%r converted" % value)


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class MyInt(int):
    pass


class TestResult:
    @pytest.mark.parametrize("call", [
        pytest.param(lambda: bench(0), id="zero"),
        pytest.param(lambda: bench(count=1000), id="keyword"),
        pytest.param(lambda: StateTracker().benchmark_pure_rust(10), id="through-instance"),
        pytest.param(lambda: bench(Index(5)), id="index"),
        pytest.param(lambda: bench(MyInt(7)), id="int-subclass"),
        pytest.param(lambda: bench(True), id="bool"),
    ])
    def test_returns_non_negative_float(self, call):
        result = call()
        assert type(result) is float and result >= 0.0

    @pytest.mark.parametrize("count", [0, 3])
    def test_small_counts_time_only_the_cycle(self, count):
        # The region is sized to the count and made ready before the clock starts: a few
        # records take microseconds (even under a sanitizer), not the milliseconds of
        # preparing a large region.
        assert min(bench(count) for _ in range(5)) < 1e-4

    def test_zero_is_near_zero(self):
        assert bench(0) < 0.5

    def test_registration(self):
        assert StateTracker.benchmark_pure_rust.__text_signature__ == "(count)"
        assert StateTracker.benchmark_pure_rust.__doc__ == (
            "Pure Rust Native Benchmark (Rust -> Rust) executing 100% in C/Rust memory using "
            "FxHashMap")


class TestArgumentErrors:
    @pytest.mark.parametrize("args, kwargs, exc_type, message", [
        ((-1,), {}, OverflowError, unsigned_conversion_error(-1)),
        ((Index(-1),), {}, OverflowError, unsigned_conversion_error(-1)),
        ((2**64,), {}, OverflowError, unsigned_conversion_error(2**64)),
        # The interpreter's own texts, with the argument's name in front (3.15 reworded the
        # one for an __index__ that returns a non-int).
        ((1.5,), {}, TypeError, "argument 'count': " + index_message(1.5)),
        (("10",), {}, TypeError, "argument 'count': " + index_message("10")),
        ((None,), {}, TypeError, "argument 'count': " + index_message(None)),
        ((Index("3"),), {}, TypeError, "argument 'count': " + index_message(Index("3"))),
        ((Index(TypeError("no index")),), {}, TypeError, "argument 'count': no index"),
        ((Index(ValueError("kept as is")),), {}, ValueError, "kept as is"),
        ((), {}, TypeError,
         "StateTracker.benchmark_pure_rust() missing 1 required positional argument: 'count'"),
        ((1, 2), {}, TypeError,
         "StateTracker.benchmark_pure_rust() takes 1 positional arguments but 2 were given"),
        ((1,), {"count": 2}, TypeError,
         "StateTracker.benchmark_pure_rust() got multiple values for argument 'count'"),
        ((), {"n": 1}, TypeError,
         "StateTracker.benchmark_pure_rust() got an unexpected keyword argument 'n'"),
    ], ids=lambda p: p.__name__ if isinstance(p, type) else None)
    def test_messages(self, args, kwargs, exc_type, message):
        with pytest.raises(exc_type) as err:
            bench(*args, **kwargs)
        assert type(err.value) is exc_type and str(err.value) == message

    def test_prefixed_error_is_not_chained(self):
        with pytest.raises(TypeError) as err:
            bench(1.5)
        assert err.value.__cause__ is None and err.value.__suppress_context__

    @pytest.mark.parametrize("count", [2**58, 2**58 + 1, Index(2**60), 2**64 - 1])
    def test_capacity_overflow(self, count):
        panic = panic_type()
        with pytest.raises(panic) as err:
            bench(count)
        assert err.value.args == ("capacity overflow",)
        assert (panic.__module__, panic.__name__) == ("pyo3_runtime", "PanicException")
        assert panic.__bases__ == (BaseException,) and not issubclass(panic, Exception)

    @pytest.mark.parametrize("count", [2**50, 2**57, 2**58 - 1])
    def test_count_beyond_memory_raises_memory_error(self, count, run_subprocess):
        # In a child: a build that tried to allocate would abort or be killed, not fail here.
        rc, out, err = run_subprocess(
            "from _sablecrest_rs import StateTracker\n"
            "try:\n"
            "    StateTracker.benchmark_pure_rust(%d)\n"
            "except MemoryError as exc:\n"
            "    print('MemoryError', exc.args)\n" % count, timeout=30)
        assert (rc, out) == (0, "MemoryError ()\n"), err

    def test_usable_after_errors(self):
        for bad in (-1, "x", 2**58):
            try:
                bench(bad)
            except BaseException:  # noqa: B036
                pass
        assert bench(3) >= 0.0
