"""The README's examples are run as doctests, so the documentation shows real output.
Only blocks written as interactive sessions (``>>>``) are examples; the others show code
to read (a migration against a server, an async program) and are not run."""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)
EXAMPLES = [b for b in BLOCKS if ">>> " in b]


@pytest.mark.parametrize("block", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_example(block):
    # The benchmark's figure depends on the machine; it is shown, not checked.
    block = "\n".join(line for line in block.splitlines() if "benchmark_pure_rust" not in line)
    block = re.sub(r"^0\.\d\.\.\.$", "", block, flags=re.M)
    test = doctest.DocTestParser().get_doctest(block, {}, "README", str(README), 0)
    assert test.examples, "a block with >>> but no example the parser can run"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"README example failed:\n{block}"
