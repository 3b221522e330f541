"""The language-share benchmark's own tooling: which pairs a clip's share is taken in."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import front_end_languages as fel  # noqa: E402


@pytest.mark.parametrize("code, langs, others", [
    ("en", fel.language_corpus.CODES, ["de", "ru"]),
    ("uk", fel.language_corpus.CODES, ["ru"]),
    ("en", ["en", "ru"], ["ru"]),       # only pairs within the languages measured
    ("it", ["en", "it"], []),
])
def test_each_language_is_judged_against_its_partners_in_the_pairs(code, langs, others):
    assert fel.pairs_of(code, langs) == others
