"""The language-share benchmark's own tooling: the corpus order, the pairs and the shares."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import front_end_languages as fel  # noqa: E402


def test_the_languages_take_turns_in_the_corpus():
    spoken = fel.corpus(["en", "de"])
    assert [code for code, _ in spoken] == ["en", "de"] * 6
    assert spoken[1] == ("de", fel.language_corpus.SENTENCES["de"][0])


@pytest.mark.parametrize("code, langs, others", [
    ("en", fel.language_corpus.CODES, ["de", "ru"]),
    ("uk", fel.language_corpus.CODES, ["ru"]),
    ("en", ["en", "ru"], ["ru"]),       # only pairs within the languages measured
    ("it", ["en", "it"], []),
])
def test_each_language_is_judged_against_its_partners_in_the_pairs(code, langs, others):
    assert fel.pairs_of(code, langs) == others


def test_the_share_is_within_the_pair_and_the_raw_probability_is_kept():
    probs = {"de": 0.6, "en": 0.2, "nl": 0.2}
    assert fel.shares(probs, "de", ["en", "ru"]) == [("en", pytest.approx(0.75), 0.6),
                                                      ("ru", 1.0, 0.6)]
    assert fel.shares({"nl": 1.0}, "de", ["en"]) == [("en", 0.0, 0.0)]


def test_the_recording_puts_the_lead_and_the_gaps_in_silence():
    clips = [np.full(3, 5, dtype=np.int16), np.full(2, -5, dtype=np.int16)]
    rec, starts = fel.session_recording(clips, gap=0.001)
    lead = int(fel.LEAD_SECONDS * fel.RATE)
    assert len(rec) == lead + 3 + 16 + 2 + 16
    assert starts == [lead, lead + 19]
    assert not rec[:lead].any() and rec[lead:lead + 3].tolist() == [5, 5, 5]
    assert rec[lead + 19:lead + 21].tolist() == [-5, -5]


def test_the_cut_utterances_are_found_at_their_blocks_in_the_recording():
    rec = np.zeros(10 * fel.BLOCK, dtype=np.int16)
    rec[3 * fel.BLOCK + 5] = 9
    rec[7 * fel.BLOCK + 1] = -9
    cuts = [rec[2 * fel.BLOCK:5 * fel.BLOCK], rec[6 * fel.BLOCK:8 * fel.BLOCK],
            np.full(5, 3, dtype=np.int16)]
    assert fel.utterance_starts(rec, cuts, [3 * fel.BLOCK, 7 * fel.BLOCK, 0]) == [
        2 * fel.BLOCK, 6 * fel.BLOCK, None]


def test_the_gain_control_redone_here_limits_only_when_asked():
    t = np.arange(48000 + 1600)
    tone = np.sin(t / 3.0) * np.where(t < 48000, 300, 20000)
    free = fel.agc_alone(tone.astype(np.int16), False)
    limited = fel.agc_alone(tone.astype(np.int16), True)
    # Three seconds of a quiet tone raise the factor (1 % of the gap to 2500 per sub-block)...
    assert 1000 < np.abs(free[47840:48000]).max() < 2500 * 1.5
    # ...so the loud tone after it goes past the limit, where only the limited copy stops.
    assert np.abs(free).max() > 32000 and np.abs(limited).max() == 32000
    inside = np.abs(free) < 32000
    assert np.array_equal(limited[inside], np.trunc(free[inside]))


def test_a_cut_is_found_although_the_front_end_limited_its_loudest_samples():
    rec = np.zeros(4 * fel.BLOCK, dtype=np.int16)
    rec[fel.BLOCK + 3] = 32700
    cut = np.clip(rec[fel.BLOCK:3 * fel.BLOCK], -32000, 32000)
    assert fel.utterance_starts(rec, [cut], [fel.BLOCK]) == [fel.BLOCK]


def test_a_row_tells_how_far_the_shares_moved_from_the_clips_case_by_case():
    cases = [("de", "en", 0.9, 0.8), ("de", "en", 0.4, 0.3), ("en", "de", 1.0, 0.9)]
    row = fel.summary_row("front end", cases, ["en", "de"], [0.5, 0.8, 1.0]).split()
    # share, min, <.5, <.85, moved, p(true), then per language
    assert row[2:] == ["0.767", "0.400", "1", "1", "0.267", "0.667", "1.00", "0.65"]
