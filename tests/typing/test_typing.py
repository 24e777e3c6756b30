"""The stub package against the running module (mypy.stubtest) and against user code
(examples.py under mypy --strict), plus the stubs' place in the installed distribution."""

import os
import runpy
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "_sablecrest_rs-stubs" / "__init__.pyi"
EXAMPLES = Path(__file__).with_name("examples.py")


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Environment for mypy runs that check the work tree's stub, whatever is installed.

    The stub is laid out as a plain `_sablecrest_rs.pyi` on MYPYPATH, which mypy searches
    before site-packages, so a stale installed stub package cannot mask an edit here.
    """
    pytest.importorskip("mypy")
    tmp = tmp_path_factory.mktemp("mypy")
    stub_dir = tmp / "stubs"
    stub_dir.mkdir()
    shutil.copyfile(STUB, stub_dir / "_sablecrest_rs.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    # stubtest imports the module: hand it this interpreter's path (a build dir in development).
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return tmp, env


def run_mypy(mypy_env, *args):
    cwd, env = mypy_env
    proc = subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    return proc.returncode, proc.stdout + proc.stderr


def test_stubtest(mypy_env):
    # No allowlist: every runtime name, parameter name and kind, default, staticmethod and
    # final class must agree with the stub.
    rc, out = run_mypy(mypy_env, "mypy.stubtest", "_sablecrest_rs")
    assert rc == 0, out
    assert out.startswith("Success: no issues found in 1 module"), out


def test_examples_strict(mypy_env):
    cache = mypy_env[0] / "cache"
    rc, out = run_mypy(mypy_env, "mypy", "--strict", "--cache-dir", str(cache), str(EXAMPLES))
    assert rc == 0, out
    assert out.startswith("Success: no issues found in 1 source file"), out


def test_sablecrest_strict(mypy_env):
    """The ORM package itself and user code written against it pass mypy --strict."""
    cache = mypy_env[0] / "cache"
    orm = str(EXAMPLES.with_name("orm_examples.py"))
    import sablecrest

    # The package's sources, copied apart: checked where it is installed, site-packages
    # itself would become a source root of mypy's.
    package = mypy_env[0] / "src" / "sablecrest"
    shutil.copytree(Path(sablecrest.__file__).parent, package, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    rc, out = run_mypy(mypy_env, "mypy", "--strict", "--cache-dir", str(cache), str(package), orm)
    assert rc == 0, out
    assert out.startswith("Success: no issues found"), out
    runpy.run_path(orm, run_name="__main__")


def test_examples_run():
    """The type-checked examples also hold at run time (their asserts pin real results)."""
    runpy.run_path(str(EXAMPLES), run_name="__main__")


def test_installed_distribution_ships_stubs():
    """A wheel install carries the stub package next to the abi3 module, identical to the tree."""
    metadata = pytest.importorskip("importlib.metadata")
    try:
        dist = metadata.distribution("sablecrest")
    except metadata.PackageNotFoundError:
        pytest.skip("sablecrest is not installed (testing a build directory)")
    files = {str(f).replace("\\", "/"): f for f in dist.files or ()}
    assert "_sablecrest_rs-stubs/__init__.pyi" in files, sorted(files)
    # The abi3 module, or a free-threaded interpreter's own (it has no limited API).
    built = sysconfig.get_config_var("EXT_SUFFIX") if sysconfig.get_config_var("Py_GIL_DISABLED") else ".abi3."
    assert any(name.startswith("_sablecrest_rs.") and built in name for name in files), sorted(files)
    installed = Path(str(dist.locate_file(files["_sablecrest_rs-stubs/__init__.pyi"])))
    assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")
    assert dist.metadata["Requires-Python"] == ">=3.8"
