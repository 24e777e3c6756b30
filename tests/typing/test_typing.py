"""Typing, checked by both mypy --strict and basedpyright in strict mode:

- the stubs against the running modules (stubtest: `_sablecrest_rs` and `sablecrest._native`);
- the package itself;
- the corpus of user code (`examples.py`, `orm_examples.py`, `orm_async_examples.py`,
  `orm_query_examples.py`, and the python blocks of README.md and of each page of docs/,
  a page's blocks joined into one module): every `assert_type` holds, and nothing else is reported;
- the mistakes (`mistakes/*.py`, one per file): each must be reported by both checkers.
  Its line carries both checkers' ignore comments for the expected error; an ignore that
  suppresses nothing is itself an error (mypy --strict's warn_unused_ignores, pyright's
  reportUnnecessaryTypeIgnoreComment), so a mistake that goes unreported fails, and so
  does one reported under another code.

The corpus files also run, so each inferred type is that of a real result.
"""

import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from docpages import as_module, module_name, page_name, pages

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
STUB = ROOT / "stubs" / "_sablecrest_rs-stubs" / "__init__.pyi"
EXAMPLES = HERE / "examples.py"
CORPUS = [EXAMPLES, HERE / "orm_examples.py", HERE / "orm_async_examples.py", HERE / "orm_query_examples.py"]
# User code checked but run elsewhere (tests/orm/test_shop.py): the shop example, which
# users copy from.
PROGRAMS = {p.name: p for p in CORPUS + [ROOT / "examples" / "shop.py"]}
LIBRARY = HERE / "mistakes" / "library.py"  # the models the mistakes share
MISTAKES = sorted(p for p in LIBRARY.parent.glob("*.py") if p != LIBRARY)
# The pages with python blocks, by page name (README.md, docs/NAME.md).
PAGES = {page_name(p): p for p in pages() if as_module(p) is not None}

# pyright in strict mode, reporting an ignore comment that suppresses nothing. Each checker
# honours only its own comments (enableTypeIgnoreComments off: a `# type: ignore` is
# mypy's), so each ignore is checked by the checker it is meant for.
PYRIGHT = {
    "typeCheckingMode": "strict",
    "reportUnnecessaryTypeIgnoreComment": "error",
    "enableTypeIgnoreComments": False,
    "reportMissingModuleSource": False,  # the native modules' stubs, checked without their .so
}
# The package checks its arguments at run time for callers that no checker sees (its
# tests/orm/test_bad_input.py): those isinstance checks are what pyright's strict mode
# calls unnecessary. Its underscored names are the package's own, shared between its
# modules (a query and its session, a savepoint and its session): private to users only.
PYRIGHT_PACKAGE = dict(PYRIGHT, reportUnnecessaryIsInstance=False, reportPrivateUsage=False)


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """A work area: the `_sablecrest_rs` stub as a plain `_sablecrest_rs.pyi` (searched
    before site-packages, so a stale installed stub cannot mask an edit here), the
    package's sources copied apart (checked where it is installed, site-packages itself
    would become a source root of mypy's), and each page's python blocks as a module."""
    pytest.importorskip("mypy")
    import sablecrest

    tmp = tmp_path_factory.mktemp("typing")
    stubs = tmp / "stubs"
    stubs.mkdir()
    shutil.copyfile(STUB, stubs / "_sablecrest_rs.pyi")
    package = tmp / "src" / "sablecrest"
    shutil.copytree(Path(sablecrest.__file__).parent, package, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    modules = {}
    for name, page in PAGES.items():
        modules[name] = tmp / (module_name(page) + ".py")
        modules[name].write_text(page_module(page), encoding="utf-8")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    # stubtest imports the modules: hand it this interpreter's path (a build dir in development).
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return {"tmp": tmp, "env": env, "stubs": stubs, "src": tmp / "src", "package": package, "pages": modules}


def run(area, *args):
    proc = subprocess.run([sys.executable, "-m", *args], cwd=area["tmp"], env=area["env"],
                          capture_output=True, text=True, timeout=900)
    return proc.returncode, proc.stdout + proc.stderr


def page_module(page):
    """A page's python blocks as one module (docpages.as_module). Those rules that are
    about a program rather than its types are off: a doctest shows the value of an
    expression statement, a snippet shows a value it does not go on to use, the blocks
    joined import some modules twice, and a page, like a session at the prompt, may
    declare a model's next version under its name (the migrations page does)."""
    header = ("# pyright: reportUnusedExpression=false, reportUnusedVariable=false, reportDuplicateImport=false, "
              "reportRedeclaration=false\n# mypy: disable-error-code=\"no-redef\"\n")
    return header + as_module(page)


@pytest.fixture(scope="module")
def mypy_report(checked):
    """One mypy --strict run over the package, the corpus and the mistakes:
    {file: [diagnostic lines]}."""
    files = [checked["package"], *PROGRAMS.values(), *checked["pages"].values(), LIBRARY, *MISTAKES]
    rc, out = run(checked, "mypy", "--strict", "--show-absolute-path", "--no-error-summary", "--no-pretty",
                  "--cache-dir", str(checked["tmp"] / "cache"), *map(str, files))
    report = {}
    for line in out.splitlines():
        m = re.match(r"(.+?):\d+(?::\d+)?: (error|note): ", line)
        if m and m.group(2) == "error":
            report.setdefault(Path(m.group(1)).resolve(), []).append(line)
        elif not m and line.strip():
            report.setdefault("mypy", []).append(line)  # a crash or a configuration error: every test shows it
    if rc not in (0, 1):
        report.setdefault("mypy", []).append("mypy exited with %d" % rc)
    return report


def pyright_report(checked, config, files, name):
    path = checked["tmp"] / ("pyright-%s.json" % name)
    paths = [str(checked["src"]), str(LIBRARY.parent)]  # the mistakes import their models from library.py
    path.write_text(json.dumps(dict(config, stubPath=str(checked["stubs"]), extraPaths=paths)))
    rc, out = run(checked, "basedpyright", "-p", str(path), "--pythonpath", sys.executable, "--outputjson",
                  *map(str, files))
    try:
        result = json.loads(out[out.index("{"):])
    except ValueError:
        pytest.fail("basedpyright gave no report (exit %d):\n%s" % (rc, out))
    report = {}
    for d in result["generalDiagnostics"]:
        if d["severity"] in ("error", "warning"):
            line = "%s:%d: %s: %s (%s)" % (d["file"], d["range"]["start"]["line"] + 1, d["severity"],
                                          d["message"], d.get("rule", ""))
            report.setdefault(Path(d["file"]).resolve(), []).append(line)
    assert result["summary"]["filesAnalyzed"] >= len(files), out
    return report


@pytest.fixture(scope="module")
def pyright_package(checked):
    pytest.importorskip("basedpyright")
    return pyright_report(checked, PYRIGHT_PACKAGE, [checked["package"]], "package")


@pytest.fixture(scope="module")
def pyright_users(checked):
    """One basedpyright run over the corpus and the mistakes (strict)."""
    pytest.importorskip("basedpyright")
    return pyright_report(checked, PYRIGHT, [*PROGRAMS.values(), *checked["pages"].values(), LIBRARY, *MISTAKES], "users")


def found(report, *paths):
    return [line for path, lines in report.items()
            if path == "mypy" or any(Path(path).resolve().is_relative_to(Path(p).resolve()) for p in paths)
            for line in lines]


@pytest.mark.parametrize("module", ["_sablecrest_rs", "sablecrest._native"])
def test_stubtest(checked, module):
    # No allowlist: every runtime name, parameter name and kind, default, staticmethod and
    # final class must agree with the stub.
    rc, out = run(checked, "mypy.stubtest", module)
    assert rc == 0, out
    assert out.startswith("Success: no issues found in 1 module"), out


def test_package_mypy(checked, mypy_report):
    assert found(mypy_report, checked["package"]) == []


def test_package_pyright(checked, pyright_package):
    assert found(pyright_package, checked["package"]) == []


@pytest.mark.parametrize("name", sorted(PROGRAMS) + sorted(PAGES))
def test_corpus(checked, mypy_report, pyright_users, name):
    path = checked["pages"][name] if name in PAGES else PROGRAMS[name]
    assert found(mypy_report, path) == []
    assert found(pyright_users, path) == []


@pytest.mark.parametrize("path", MISTAKES, ids=[p.stem for p in MISTAKES])
def test_mistake_reported(mypy_report, pyright_users, path):
    marked = [line for line in path.read_text(encoding="utf-8").splitlines() if "# type: ignore[" in line]
    assert len(marked) == 1 and "# pyright: ignore[" in marked[0], "one mistake a file, marked for both checkers"
    assert found(mypy_report, path, LIBRARY) == []
    assert found(pyright_users, path, LIBRARY) == []


@pytest.mark.parametrize("path", CORPUS, ids=[p.stem for p in CORPUS])
def test_corpus_runs(path):
    """The type-checked examples also hold at run time (their asserts pin real results)."""
    if path != EXAMPLES:
        pytest.importorskip("typing_extensions")  # assert_type, as user code imports it
    if "async" in path.name:
        pytest.importorskip("aiosqlite")
    runpy.run_path(str(path), run_name="__main__")


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
