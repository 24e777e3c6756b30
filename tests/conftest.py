"""Helpers shared by the whole suite: leak checks, subprocess runs and unraisable capture."""

import contextlib
import os
import subprocess
import sys

import pytest

from leakcheck import leak_check  # noqa: F401  (suite modules import it from here)


def run_subprocess(code, timeout=60):
    """Run `python -c code` with this process's sys.path; return (rc, stdout, stderr)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout
    )
    return proc.returncode, proc.stdout, proc.stderr


@contextlib.contextmanager
def capture_unraisable():
    """Swap sys.unraisablehook for one that collects (exc_type, exc_value, object) triples."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.exc_value, u.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


@pytest.fixture(name="leak_check")
def _leak_check_fixture():
    """The leak_check helper, as a fixture."""
    return leak_check


@pytest.fixture(name="run_subprocess")
def _run_subprocess_fixture():
    """The run_subprocess helper, as a fixture."""
    return run_subprocess


@pytest.fixture
def unraisable():
    """A list of unraisable reports collected while the test runs."""
    with capture_unraisable() as seen:
        yield seen


@pytest.fixture(params=["sqlite", "postgresql", "mariadb"])
def db(request):
    """A sablecrest Database on each engine, without sc_* tables (tests/orm/ormdb.py)."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "orm"))
    from ormdb import open_db, wipe

    d = open_db(request.param)
    yield d
    wipe(d)
    d.close()
