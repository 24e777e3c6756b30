"""The README's examples are run as doctests, so the documentation shows real output.
Only blocks written as interactive sessions (``>>>``) are examples; the others show code
to read and are not run. The pages of docs/ are run by test_pages.py."""

import doctest

import pytest

from docpages import README, sessions

EXAMPLES = [block for _line, block in sessions(README)]


def test_readme_has_examples():
    # The tour is the README's example: a README whose blocks no longer parse as sessions
    # (a fence written otherwise) would leave test_example with nothing to run.
    assert EXAMPLES


@pytest.mark.parametrize("block", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_example(block):
    test = doctest.DocTestParser().get_doctest(block, {}, "README", str(README), 0)
    assert test.examples, "a block with >>> but no example the parser can run"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"README example failed:\n{block}"
