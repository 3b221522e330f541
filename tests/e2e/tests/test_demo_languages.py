"""The two-language demo's argument handling and its bookkeeping of lines per spoken sentence."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import e2e  # noqa: E402
import language_corpus  # noqa: E402


@pytest.mark.parametrize("text, pair", [
    ("en,de", ("en", "de")),
    (" DE , ru ", ("de", "ru")),
    ("pl,it", ("pl", "it")),
])
def test_two_codes_of_the_eight_make_a_pair(text, pair):
    assert e2e.demo_languages(text) == pair


@pytest.mark.parametrize("text, message", [
    ("en", "two language codes"),
    ("en,de,fr", "two language codes"),
    (",de", "two language codes"),
    ("en,zh", "unknown language code zh"),
    ("en,en", "two different languages"),
])
def test_anything_else_is_refused_with_a_reason(text, message):
    with pytest.raises(ValueError, match=message):
        e2e.demo_languages(text)


@pytest.mark.parametrize("pair, selections", [
    (("en", "de"), (2, 3)),   # the lists start with "Auto" / "No translation"
    (("ru", "it"), (1, 8)),
    (("uk", "fr"), (6, 4)),
])
def test_the_pair_selects_its_items_in_the_language_lists(pair, selections):
    assert e2e.language_selections(*pair) == selections


def test_the_own_session_takes_turns_and_the_earlier_ones_use_other_sentences():
    earlier, spoken = e2e.demo_script("en", "de", turns=3)
    assert [code for code, _ in spoken] == ["en", "de"] * 3
    assert [code for code, _ in earlier] == ["en", "de"]
    assert not {s for _, s in earlier} & {s for _, s in spoken}
    for code, sentence in earlier + spoken:
        assert sentence in language_corpus.SENTENCES[code]


@pytest.mark.parametrize("counts, total, ranges", [
    ([1, 2, 3], 4, [(0, 1), (1, 2), (2, 3), (3, 4)]),
    ([1, 1, 3], 5, [(0, 1), (1, 1), (1, 3), (3, 5)]),   # a clip without a line, one with two
    ([], 2, [(0, 2)]),
])
def test_rows_are_credited_to_the_clip_played_before_them(counts, total, ranges):
    assert e2e.rows_per_clip(counts, total) == ranges


@pytest.mark.parametrize("argv", [
    ["--scenario", "demo", "--langs", "en,xx"],
    ["--scenario", "demo", "--langs", "en,de", "--text", "Hello there."],
    ["--scenario", "session", "--langs", "en,de"],
])
def test_a_wrong_demo_request_ends_before_anything_starts(argv, monkeypatch, capsys):
    monkeypatch.delenv("WINEPREFIX", raising=False)
    assert e2e.main(["e2e.py"] + argv) == 2
    assert "e2e.py: " in capsys.readouterr().err


def test_lines_count_as_right_only_under_the_language_spoken(capsys):
    def row(lang, text):
        return ["U", "0", "0", "0", lang, "", text, ""]

    rows = [row("en", "We will meet."), row("en", "Wir sollten."), row("de", "Die Zahlen."),
            row("de", "Noch eine.")]
    right = e2e.show_languages(["en", "de", "en"], rows, [(0, 1), (1, 3), (3, 4)])
    assert right == 2
    out = capsys.readouterr().out
    assert "de -> en  Wir sollten." in out and "en -> de  Noch eine." in out
