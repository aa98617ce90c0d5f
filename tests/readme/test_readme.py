"""Runs the Python examples (the >>> lines) of the README and of every page of the manual under
docs/ against the installed module, so every figure the manual quotes is what the module
returns."""

import doctest
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
PAGES = ["README.md"] + sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))

# The least number of examples each page with examples runs: a page whose examples stop being
# found (a broken fence, a lost prompt) fails instead of passing with nothing run. A page with
# examples must be listed here, and a listed page must have them.
MINIMUM_EXAMPLES = {
    "README.md": 9,
    "docs/api.md": 8,
    "docs/traps.md": 48,
}


@pytest.mark.parametrize("page", PAGES)
def test_examples(page, monkeypatch):
    # the fatal report's sample is the one printed without a backtrace
    monkeypatch.delenv("QUILLOMETER_BACKTRACE", raising=False)
    result = doctest.testfile(
        str(ROOT / page), module_relative=False, verbose=False, optionflags=doctest.ELLIPSIS
    )
    assert result.failed == 0, result
    assert (result.attempted > 0) == (page in MINIMUM_EXAMPLES), result
    assert result.attempted >= MINIMUM_EXAMPLES.get(page, 0), result
