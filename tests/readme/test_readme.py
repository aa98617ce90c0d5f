"""Runs the README's Python examples (the >>> lines) against the installed module, so every
figure the manual quotes is what the module returns."""

import doctest
from pathlib import Path

README = Path(__file__).parents[2] / "README.md"


def test_readme_examples():
    result = doctest.testfile(str(README), module_relative=False, verbose=False,
                              optionflags=doctest.ELLIPSIS)
    assert result.attempted >= 40, result
    assert result.failed == 0, result
