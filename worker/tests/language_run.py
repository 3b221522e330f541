"""Two-language conversations spoken into the real worker, and the judgement of its lines.

Shared by the language test tier (test_language_process.py) and the language benchmark
(bench/language_bench.py). A conversation is a list of turns, each one sentence of
language_corpus spoken by espeak-ng on one channel; the turns go through feed_wav (the headless
front end) one after the other, each waiting for the worker's answer, so every finished line
belongs to the turn that was just spoken.

The sentences of language_corpus say the same thing in every language (sentence i of German is
sentence i of English), which is what lets a line be judged: its text in the wrong language comes
close to the other language's sentence i, and a line copied from earlier text comes close to a
sentence spoken before.
"""
import os
from typing import NamedTuple

import language_corpus
import speech
import worker_process

CYRILLIC_CODES = ("ru", "uk")
# Letters only one language of a same-script pair writes.
OWN_LETTERS = {"ru": set("ыэъё"), "uk": set("іїєґ"), "de": set("äöüß"), "es": set("ñ¿¡"),
               "fr": set("çàèùâêîôûœ"), "pl": set("ąćęłńśźż"), "it": set("ìò")}
# A line this close (word error rate against it) to a sentence spoken earlier holds that sentence.
COPY_RATE = 0.34
# The words decide a line's language when it comes this close to a sentence of one language and
# its distances to the two languages' sentences differ this much; garbled text is judged by its
# letters.
WORD_CLOSE = 0.75
WORD_MARGIN = 0.1
# Then the share of its words that the language's sentences use, when it differs this much.
VOCABULARY_MARGIN = 0.2


class Turn(NamedTuple):
    channel: int
    code: str           # the language it is spoken in
    index: int          # the sentence number in language_corpus (the same meaning in each)
    text: str


class Line(NamedTuple):
    code: str           # the language the worker labelled it with
    text: str
    translation_code: str = ""
    translation: str = ""


# The order of the languages in a one-channel conversation ("a" the first language, "b" the
# second): a sentence of one language after several of the other, and single turns.
MIXED_ORDER = "aaababbb"


def conversation(first, second, count, two_channels=False):
    """Turns alternating between the two languages, starting with first. On one channel both
    languages are spoken on the microphone; with two channels the microphone speaks first and the
    other side second (the other side speaks the translation language)."""
    turns = []
    for n, (code, text) in enumerate(language_corpus.alternating(first, second, count)):
        channel = 1 if two_channels and code == second else 0
        turns.append(Turn(channel, code, n // 2, text))
    return turns


def mixed_conversation(first, second, order=MIXED_ORDER):
    """Turns on the microphone in the given order of the two languages, each language's
    sentences in corpus order."""
    turns, used = [], {first: 0, second: 0}
    for slot in order:
        code = first if slot == "a" else second
        index = used[code]
        used[code] += 1
        turns.append(Turn(0, code, index, language_corpus.SENTENCES[code][index]))
    return turns


def options(first, second, auto=False, reverse=False):
    return "%s|%s|%d|0|60" % ("auto" if auto else first, second, 1 if reverse else 0)


def turn_audio(folder, turns, two_channels):
    """Per turn, the WAV files feed_wav takes: one, or the microphone's and the other side's."""
    out = []
    for n, turn in enumerate(turns):
        voice = language_corpus.VOICES.get(turn.code, turn.code)
        wav = os.path.join(folder, "%s-%d.wav" % (turn.code, turn.index))
        if not os.path.exists(wav):
            speech.speak(wav, turn.text, voice=voice)
        if not two_channels:
            out.append([wav])
            continue
        quiet = wav[:-4] + "-quiet.wav"
        if not os.path.exists(quiet):
            speech.silence(quiet, speech.seconds_of(wav))
        out.append([wav, quiet] if turn.channel == 0 else [quiet, wav])
    return out


def speak_turns(worker, turns, audio, opts):
    """Feeds the turns one by one into a started worker_process.WorkerProcess; per turn, its
    finished lines with text."""
    heard = []
    for n, (turn, wavs) in enumerate(zip(turns, audio)):
        feed = speech.Feed(worker.write, wavs, options=opts if n == 0 else None,
                           settings=["echo=0"])
        assert feed.wait(), "feed_wav did not finish"
        ends = sum(1 for _, kind, _ in feed.events if kind == "E")
        lines = worker.answer(ends) if ends else []
        answers = worker_process.pair_answers(lines)
        assert not answers.strays, lines
        finished = []
        for f, u in answers.pairs:
            if lines[f][4].strip():
                assert lines[f][1] == str(turn.channel), (turn, lines[f])
                assert u is not None, lines
                finished.append(Line(lines[f][3], lines[f][4], lines[u][3], lines[u][4]))
        heard.append(finished)
    return heard


# ---------------------------------------------------------------------------------------------
# Judging the lines
# ---------------------------------------------------------------------------------------------

def is_cyrillic(code):
    return code in CYRILLIC_CODES


def closeness(reference, text):
    """Word error rate of the text against the reference (0 the same words, 1 or more none)."""
    errors, total = speech.word_errors(reference, text)
    return errors / max(1, total)


def vocabulary(code):
    return {word for sentence in language_corpus.SENTENCES[code] for word in speech.words(sentence)}


def text_language(text, first, second):
    """Which of the two languages the text is written in, or None when it cannot be told.

    The script first (Cyrillic against Latin), then the words: the text's distance to the
    nearest sentence of each language, when it is near one, else the share of its words that
    each language's sentences use; then letters only one of the two writes."""
    letters = [c for c in text.lower() if c.isalpha()]
    if not letters:
        return None
    if is_cyrillic(first) != is_cyrillic(second):
        cyrillic = sum(1 for c in letters if "\u0400" <= c <= "\u04ff")
        in_cyrillic = cyrillic * 2 > len(letters)
        return first if in_cyrillic == is_cyrillic(first) else second
    distance = {code: min(closeness(s, text) for s in language_corpus.SENTENCES[code])
                for code in (first, second)}
    if (min(distance.values()) <= WORD_CLOSE
            and abs(distance[first] - distance[second]) >= WORD_MARGIN):
        return min(distance, key=distance.get)
    said = speech.words(text)
    known = {code: sum(1 for word in said if word in vocabulary(code)) / max(1, len(said))
             for code in (first, second)}
    if abs(known[first] - known[second]) >= VOCABULARY_MARGIN:
        return max(known, key=known.get)
    own = {code: sum(1 for c in letters if c in OWN_LETTERS.get(code, ())) for code in
           (first, second)}
    if own[first] != own[second]:
        return max(own, key=own.get)
    return None


def copied_from(turns, heard, k, line):
    """The earlier turn whose sentence (or finished line) the line repeats although it was not
    spoken as it, or None. A line of the same sentence in the other language is no copy: it is
    text in the wrong language."""
    if len(speech.words(line.text)) < 3:
        return None
    index = turns[k].index
    own = [turns[k].text] + [sentences[index] for sentences in language_corpus.SENTENCES.values()
                             if index < len(sentences)]
    if any(closeness(text, line.text) <= COPY_RATE for text in own):
        return None
    for j in range(k):
        if turns[j].index == turns[k].index:
            continue
        earlier = [turns[j].text] + [x.text for x in heard[j]]
        if any(closeness(text, line.text) <= COPY_RATE for text in earlier):
            return j
    return None


class Score(NamedTuple):
    turns: int
    silent: int             # turns without any finished text
    lines: int
    right_code: int
    text_in_code: int       # the text is in the language of its code
    right_code_wrong_text: int
    copies: int
    errors: dict            # language -> (word errors, reference words)


def score(turns, heard, first, second):
    lines = right = in_code = wrong_text = copies = silent = 0
    errors = {first: [0, 0], second: [0, 0]}
    for k, (turn, finished) in enumerate(zip(turns, heard)):
        if not finished:
            silent += 1
        e, n = speech.word_errors(turn.text, " ".join(x.text for x in finished))
        errors[turn.code][0] += e
        errors[turn.code][1] += n
        for line in finished:
            lines += 1
            written = text_language(line.text, first, second)
            right += line.code == turn.code
            in_code += written == line.code
            wrong_text += line.code == turn.code and written not in (None, turn.code)
            copies += copied_from(turns, heard, k, line) is not None
    return Score(len(turns), silent, lines, right, in_code, wrong_text, copies,
                 {code: tuple(v) for code, v in errors.items()})


def merge(scores):
    """One score of several runs."""
    errors = {}
    for s in scores:
        for code, (e, n) in s.errors.items():
            old = errors.get(code, (0, 0))
            errors[code] = (old[0] + e, old[1] + n)
    return Score(*[sum(getattr(s, f) for s in scores) for f in Score._fields[:-1]], errors)


def describe(turns, heard):
    """One row per turn: channel, spoken language, sentence, then the lines as labelled."""
    rows = []
    for turn, finished in zip(turns, heard):
        said = "ch%d %s %s" % (turn.channel, turn.code, turn.text)
        got = " | ".join("%s: %s" % (x.code, x.text) for x in finished) or "(nothing)"
        rows.append("%s\n      -> %s" % (said, got))
    return rows
