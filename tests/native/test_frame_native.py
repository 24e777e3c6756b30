"""The error boundary's paths that Python code cannot reach, checked by an embedding driver.

References dropped on a thread outside every entry must wait for the next entry; a
failure without an exception set, a NULL from an interpreter call, a failure without
text and a deallocator failure each end as documented.
"""

import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "frame-native"


@pytest.fixture(scope="module")
def driver_output():
    if sysconfig.get_config_var("Py_ENABLE_SHARED") != 1:
        pytest.skip("embedding needs an interpreter built with a shared libpython")
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(BUILD), "-DSABLECREST_CORE_ONLY=ON",
         "-DSABLECREST_FRAME_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release",
         "-DPython_EXECUTABLE=" + sys.executable],
        check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "frame_tests"],
                   check=True, capture_output=True)
    proc = subprocess.run([str(BUILD / "frame_tests")], capture_output=True, text=True, timeout=60,
                          env={"PYTHONHOME": sys.base_prefix})
    return proc


def test_every_check_passes(driver_output):
    lines = driver_output.stdout.splitlines()
    assert lines[-1] == "0 failed", driver_output.stdout + driver_output.stderr
    assert driver_output.returncode == 0
    assert len([l for l in lines if l.startswith("ok ")]) == 9


def test_internal_failures_are_reported_on_stderr(driver_output):
    assert "_sablecrest_rs: internal failure: Python API call failed" in driver_output.stderr
