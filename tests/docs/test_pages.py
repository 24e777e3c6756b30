"""Every page of docs/ runs its examples as doctests, so the pages show real output.

A page's examples are its blocks written as interactive sessions (``>>>``), run in order
in one namespace: a page is one session, its prose between the blocks. A page that has no
example is listed below with the reason; the list is checked against the pages, so a page
whose examples stopped being sessions (or a new page without any) fails here rather than
pass as tested."""

import doctest
import importlib.util
import re

import pytest

from docpages import DOCS, README, page_name, pages, sessions

NO_EXAMPLES = {
    "docs/benchmarks.md": "the native toolkit's benchmark tables, written by benchmarks/run_all.py",
    "docs/orm_benchmarks.md": "tables written by benchmarks/bench_orm.py",
    "docs/orm_async_benchmarks.md": "tables written by benchmarks/orm_async.py",
    "docs/requests_benchmarks.md": "tables written by benchmarks/bench_requests.py",
    "docs/performance.md": "figures measured on one machine, and the commands that measure them",
    "docs/free-threading.md": "a design note: what running without the GIL would take",
    "docs/development.md": "shell commands and the layout of the sources",
}

# A page whose examples need a module the unit suite may lack.
NEEDS = {"docs/async.md": "aiosqlite"}

# Examples whose output is a measurement of this machine: run, their output not compared.
MEASURED = re.compile(r"\bbenchmark_pure_rust\(")

EXAMPLE_PAGES = [p for p in pages() if p != README and sessions(p)]


def test_pages_without_examples_are_the_listed_ones():
    assert {page_name(p) for p in pages() if not sessions(p)} == set(NO_EXAMPLES)


def test_every_page_of_docs_is_collected():
    # The doctests and the typing suite see the pages through docpages.pages().
    assert {p.name for p in pages() if p != README} == {p.name for p in DOCS.glob("*.md")}
    assert len(EXAMPLE_PAGES) + len(NO_EXAMPLES) + 1 == len(pages())


def test_every_session_is_in_a_python_fence():
    """A session fenced otherwise (```pycon, ```py, an indented block) would be shown as
    an example and never run."""
    stray = []
    for path in pages():
        text = path.read_text(encoding="utf-8")
        for m in re.finditer(r"^```([^\n]*)\n(.*?)^```", text, flags=re.S | re.M):
            if m.group(1) != "python" and re.search(r"^>>>( |$)", m.group(2), flags=re.M):
                stray.append("%s: ```%s" % (page_name(path), m.group(1)))
        outside = re.sub(r"^```.*?^```", "", text, flags=re.S | re.M)
        if re.search(r"^\s*>>> ", outside, flags=re.M):
            stray.append("%s: a session outside a fence" % page_name(path))
    assert stray == []


def run_page(path):
    """Runs the page's sessions in order in one namespace; returns (examples run, report)."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    globs = {"__name__": "__page__"}
    ran = 0
    for line, block in sessions(path):
        test = parser.get_doctest(block, globs, "%s:%d" % (page_name(path), line), str(path), line - 1)
        test.globs = globs  # a DocTest works on a copy: the page's sessions share one namespace
        assert test.examples, "%s:%d: a block with >>> but no example the parser can run" % (page_name(path), line)
        for example in test.examples:
            if MEASURED.search(example.source):
                example.options[doctest.SKIP] = True
        runner.run(test, out=report.append, clear_globs=False)
        ran += len(test.examples)
    return ran, runner.failures, "".join(report)


@pytest.mark.parametrize("path", EXAMPLE_PAGES, ids=[page_name(p) for p in EXAMPLE_PAGES])
def test_page_examples(path):
    needed = NEEDS.get(page_name(path))
    if needed is not None and importlib.util.find_spec(needed) is None:
        pytest.skip("%s needs %s" % (page_name(path), needed))
    ran, failures, report = run_page(path)
    assert ran > 0
    assert failures == 0, report


def test_a_wrong_output_fails_its_page(tmp_path):
    """The runner reports a page whose example prints something else, at the page's line,
    and skips only measured outputs."""
    page = tmp_path / "page.md"
    page.write_text("# A page\n\n```python\n>>> x = 2\n```\n\nText.\n\n```python\n>>> x + 1\n4\n"
                    ">>> StateTracker = type('S', (), {'benchmark_pure_rust': staticmethod(lambda n: 0.5)})\n"
                    ">>> StateTracker.benchmark_pure_rust(10)\n0.2...\n```\n", encoding="utf-8")
    ran, failures, report = run_page(page)
    assert (ran, failures) == (4, 1)
    assert "page.md:10" in report and "Expected:\n    4\nGot:\n    3" in report
