"""The documentation site's links: the README's (which GitHub and the package index show,
and mkdocs never reads), and mkdocs' strict build, which must fail on each kind of broken
page rather than publish it."""

import re
import shutil
import subprocess
import sys
import unicodedata

import pytest

from docpages import DOCS, README, ROOT

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")

# Files the README links that another line of work adds to the repository; a link to one
# is checked only once it is there.
ARRIVING = {"examples/shop.py"}


def slug(heading):
    """The anchor mkdocs gives a heading (Python-Markdown's toc), which is GitHub's too for
    headings of words and punctuation."""
    text = unicodedata.normalize("NFKD", heading).encode("ascii", "ignore").decode("ascii")
    text = re.sub(r"[^\w\s-]", "", text).strip().lower()
    return re.sub(r"[-\s]+", "-", text)


def anchors(path):
    text = re.sub(r"^```.*?^```", "", path.read_text(encoding="utf-8"), flags=re.S | re.M)
    return {slug(m.group(1)) for m in re.finditer(r"^#{1,6} +(.+?) *$", text, flags=re.M)}


def readme_links():
    return [link for link in LINK.findall(README.read_text(encoding="utf-8")) if "://" not in link]


def test_readme_links_resolve():
    broken = []
    for link in readme_links():
        target, _, anchor = link.partition("#")
        path = ROOT / target if target else README
        if not path.exists():
            if target not in ARRIVING:
                broken.append(link)
        elif anchor and anchor not in anchors(path):
            broken.append(link)
    assert broken == []


def test_readme_links_every_page():
    linked = {link.partition("#")[0] for link in readme_links()}
    assert {"docs/" + p.name for p in DOCS.glob("*.md") if "benchmarks" not in p.name} <= linked


@pytest.mark.parametrize("heading, anchor", [
    ("Commits whose outcome is unknown, and the error that is raised",
     "commits-whose-outcome-is-unknown-and-the-error-that-is-raised"),
    ("migrate: the live diff", "migrate-the-live-diff"),
    ("The native toolkit: _sablecrest_rs", "the-native-toolkit-_sablecrest_rs"),
    ("Set-based writes", "set-based-writes"),
])
def test_slug_is_the_anchor_mkdocs_writes(heading, anchor):
    assert slug(heading) == anchor


def build(tmp_path):
    # Never with -q: mkdocs then drops the warnings before --strict counts them.
    proc = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict",
                           "-f", str(tmp_path / "mkdocs.yml"), "-d", str(tmp_path / "site")],
                          capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


def append(name, text):
    def edit(tmp):
        with open(tmp / "docs" / name, "a", encoding="utf-8") as f:
            f.write(text)
    return edit


def rewrite(name, old, new):
    def edit(tmp):
        path = tmp / name
        text = path.read_text(encoding="utf-8")
        assert old in text
        path.write_text(text.replace(old, new, 1), encoding="utf-8")
    return edit


BREAKAGES = {
    "a link to a page that does not exist": (append("errors.md", "\n[x](sesions.md)\n"), "sesions.md"),
    "a link to a missing anchor": (append("errors.md", "\n[x](sessions.md#savepoint)\n"), "#savepoint"),
    "a link to a file outside docs/": (append("errors.md", "\n[x](../examples/demo.py)\n"), "examples/demo.py"),
    "a page left out of the nav": (append("extra.md", "# Extra\n"), "extra.md"),
    "a nav entry without its page": (rewrite("mkdocs.yml", "      - Async: async.md\n",
                                             "      - Async: async.md\n      - Gone: gone.md\n"), "gone.md"),
}


@pytest.fixture
def site(tmp_path):
    pytest.importorskip("mkdocs")
    shutil.copytree(DOCS, tmp_path / "docs")
    shutil.copyfile(ROOT / "mkdocs.yml", tmp_path / "mkdocs.yml")
    return tmp_path


def test_site_builds_strictly(site):
    rc, out = build(site)
    assert rc == 0, out
    assert (site / "site" / "index.html").exists() and (site / "site" / "sessions" / "index.html").exists()


@pytest.mark.parametrize("name", sorted(BREAKAGES))
def test_strict_build_fails_on(site, name):
    edit, named = BREAKAGES[name]
    edit(site)
    rc, out = build(site)
    assert rc != 0 and named in out, out
