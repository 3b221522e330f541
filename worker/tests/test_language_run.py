"""How the language tests and the language benchmark judge a line: pure functions, no worker."""
import pytest

import language_corpus
import language_run
from language_run import Line, Turn

EN, DE, RU, UK = (language_corpus.SENTENCES[c] for c in ("en", "de", "ru", "uk"))


@pytest.mark.parametrize("text, first, second, expected", [
    # the script decides between Cyrillic and Latin, whatever the words
    ("Мы встретимся снова", "en", "ru", "ru"),
    ("We will meet again", "en", "ru", "en"),
    ("Мы встретимся снова", "ru", "en", "ru"),
    ("Ну ведь, сэфревы", "en", "ru", "ru"),
    # the words, near a sentence of one language
    (EN[1], "en", "de", "en"),
    ("die neuen Zahlen nehmen deutlich besser aus", "en", "de", "de"),
    ("The new numbers look much better than last month.", "de", "en", "en"),
    ("Nos veremos de nuevo después del almuerzo", "fr", "es", "es"),
    ("Ми зустрінемося знову після обіду", "ru", "uk", "uk"),
    ("Мы встретимся снова после обеда", "ru", "uk", "ru"),
    # garbled text: the words each language's sentences use, then the letters only one writes
    ("que nous seremos les nues, les nues, les nues, les nues", "fr", "es", "fr"),
    ("Creo que el mes no tiene la mosalla con el cliente", "fr", "es", "es"),
    ("Меном відсіфері віддідаю тама атакерацію, ніж мій мій мій мій", "ru", "uk", "uk"),
    ("и тем, что снова посременно, что мы на кончит план", "ru", "uk", "ru"),
    ("Blumen über Straße", "en", "de", "de"),
    ("Sky blue car", "en", "de", None),
    ("...", "en", "de", None),
])
def test_text_language(text, first, second, expected):
    assert language_run.text_language(text, first, second) == expected


def turns_of(*spoken):
    return [Turn(0, code, i, language_corpus.SENTENCES[code][i]) for code, i in spoken]


def test_copied_from_an_earlier_sentence_but_not_from_its_own_meaning():
    turns = turns_of(("en", 0), ("en", 1), ("de", 1), ("de", 0))
    heard = [[Line("en", EN[0])], [Line("en", EN[1])],
             [Line("de", EN[0].upper())],                    # a copy of the first turn
             [Line("de", EN[0])]]                             # its own sentence in English
    assert language_run.copied_from(turns, heard, 2, heard[2][0]) == 0
    assert language_run.copied_from(turns, heard, 3, heard[3][0]) is None
    # an earlier line repeated: copied from the turn that said it, even when it was misheard
    heard[1] = [Line("en", "Something else entirely was said here.")]
    later = Line("de", "Something else entirely was said here")
    assert language_run.copied_from(turns, heard, 3, later) == 1
    # short lines say too little to call them copies
    assert language_run.copied_from(turns, heard, 2, Line("de", "We will")) is None


def test_score_counts_each_fault_once():
    turns = turns_of(("en", 0), ("de", 0), ("en", 1), ("de", 1), ("de", 2))
    heard = [[Line("en", EN[0])],
             [Line("de", EN[0])],                             # right code, English text
             [Line("de", EN[1])],                             # wrong code, text in English
             [Line("de", EN[0] + " again")],                  # a copy with the right code
             []]                                              # nothing heard
    s = language_run.score(turns, heard, "en", "de")
    assert (s.turns, s.silent, s.lines) == (5, 1, 4)
    assert (s.right_code, s.text_in_code, s.right_code_wrong_text, s.copies) == (3, 1, 2, 1)
    assert s.errors["en"] == (0, len(EN[0].split()) + len(EN[1].split()))
    de_words = sum(len(DE[i].split()) for i in range(3))
    # English text for German turns: only "plan" is a word of both
    assert s.errors["de"][1] == de_words and s.errors["de"][0] >= de_words - 1
    merged = language_run.merge([s, s])
    assert merged.lines == 8 and merged.errors["en"] == (0, 2 * s.errors["en"][1])


def test_conversations():
    assert [(t.channel, t.code, t.index) for t in language_run.conversation("ru", "uk", 2)] == [
        (0, "ru", 0), (0, "uk", 0), (0, "ru", 1), (0, "uk", 1)]
    two = language_run.conversation("en", "ru", 2, two_channels=True)
    assert [(t.channel, t.code) for t in two] == [(0, "en"), (1, "ru"), (0, "en"), (1, "ru")]
    assert [t.text for t in two] == [EN[0], RU[0], EN[1], RU[1]]
    mixed = language_run.mixed_conversation("en", "uk", "aaba")
    assert [(t.code, t.index) for t in mixed] == [("en", 0), ("en", 1), ("uk", 0), ("en", 2)]
    assert mixed[2].text == UK[0]
    assert language_run.options("en", "de") == "en|de|0|0|60"
    assert language_run.options("en", "de", auto=True, reverse=True) == "auto|de|1|0|60"
