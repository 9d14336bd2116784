"""The README's examples run as written: every block of `>>>` lines is a
doctest, with the outputs it shows."""

import doctest
import os

import pytest

pytest.importorskip("numpy")

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples():
    failures, tried = doctest.testfile(
        README, module_relative=False, optionflags=doctest.NORMALIZE_WHITESPACE, verbose=False
    )
    assert tried > 40
    assert failures == 0
