"""The documentation's pages and their python blocks, as the doctests and the typing suite
read them (importable wherever a test module sits, as `leakcheck` is).

A page is README.md or a Markdown file of docs/. Its python blocks are the fenced
```` ```python ```` blocks; those written as interactive sessions (``>>>``) are its
examples, which run. The others show code to read (a program against a server, a revision
file) and are only type-checked. A page's blocks are one program: its sessions share their
names from the first block to the last, as a reader goes down the page."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
DOCS = ROOT / "docs"

# The fence must open a line: a ```python quoted inside a line of prose is no block.
_BLOCK = re.compile(r"^```python\n(.*?)^```", flags=re.S | re.M)


def pages():
    """README.md, then docs/*.md by name."""
    return [README] + sorted(DOCS.glob("*.md"))


def page_name(path):
    """README.md, or docs/NAME.md: how tests and their ids name a page (a file elsewhere
    by its name)."""
    try:
        return path.relative_to(ROOT).as_posix()
    except ValueError:
        return path.name


def blocks(path):
    """[(line, text)] of the page's python blocks; `line` is that of the block's first line
    of code, 1-based, for messages that point into the page."""
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in _BLOCK.finditer(text)]


def is_session(block):
    return any(line.startswith(">>> ") or line == ">>>" for line in block.splitlines())


def sessions(path):
    """[(line, text)] of the page's examples: the blocks written as sessions."""
    return [(line, block) for line, block in blocks(path) if is_session(block)]


def as_module(path):
    """The page's python blocks as one module, in order: a session's statements without
    their prompts and output, the other blocks as they are. None for a page without
    python blocks."""
    found = blocks(path)
    if not found:
        return None
    out = []
    for line, block in found:
        out.append("# %s, line %d" % (page_name(path), line))
        if is_session(block):
            out += [text[4:] for text in block.splitlines() if text.startswith((">>> ", "... "))]
        else:
            out += block.splitlines()
    return "\n".join(out) + "\n"


def module_name(path):
    """A module name for the page's blocks: page_readme, page_free_threading..."""
    return "page_" + re.sub(r"\W", "_", path.stem.lower())
