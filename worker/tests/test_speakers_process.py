"""Voice numbers over the real pipes: the worker process with the tiny.en recognizer, spoken
utterances from espeak-ng, the generated speaker model and, in one test, the generated
speaker-turn detector fetched from the local server like the real one."""
import io
import os
import subprocess
import tarfile
import time
import wave

import pytest

import make_segmentation_model
import speech
from conftest import Route, add_speaker_model, frame

SEG_PATH = ("/k2-fsa/sherpa-onnx/releases/download/speaker-segmentation-models/"
            "sherpa-onnx-pyannote-segmentation-3-0.tar.bz2")
RESNET34 = "wespeaker_en_voxceleb_resnet34_LM.onnx"
BLOCK = 1600 * 2

@pytest.fixture(autouse=True)
def spoken_test_tools():
    speech.require_tools(feed_wav=False)


def speak(folder, name, text, effects):
    """16 kHz mono 16-bit PCM of text spoken by espeak-ng, shaped with sox effects."""
    raw = os.path.join(folder, name + "-raw.wav")
    out = os.path.join(folder, name + ".wav")
    subprocess.run(["espeak-ng", "-v", "en-us", "-p", "20", "-s", "150", "-w", raw, text],
                   check=True)
    subprocess.run(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", out] + effects, check=True)
    with wave.open(out) as w:
        return w.readframes(w.getnframes())


@pytest.fixture(scope="session")
def voices(tmp_path_factory):
    """Two voices that the generated speaker model tells apart: one muffled (low-passed), one
    with a steady 3.5 kHz whistle under it. Each utterance is one long sentence, long enough to
    found a voice of its own."""
    folder = str(tmp_path_factory.mktemp("voices"))
    whistle = os.path.join(folder, "whistle.wav")
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", whistle,
                    "synth", "6", "sine", "3500", "vol", "0.25"], check=True)

    def with_whistle(name, text):
        dry = speak(folder, name + "-dry", text, [])
        mixed = os.path.join(folder, name + ".wav")
        subprocess.run(["sox", "-m", os.path.join(folder, name + "-dry.wav"), whistle, mixed,
                        "trim", "0", "%.3f" % (len(dry) / 2 / 16000.0)], check=True)
        with wave.open(mixed) as w:
            return w.readframes(w.getnframes())

    return {
        "low": speak(folder, "low", "The weather is really nice today and we should go for a "
                                    "walk in the park", ["lowpass", "800", "lowpass", "800"]),
        "whistle": with_whistle("whistle", "We could also have lunch by the river and then go "
                                           "home on the bus"),
        "low2": speak(folder, "low2", "My brother told me that the museum is closed on every "
                                      "Monday in winter", ["lowpass", "800", "lowpass", "800"]),
        "whistle2": with_whistle("whistle2", "I think that the new library in the town centre "
                                             "opens next week"),
    }


def utterance(channel, pcm):
    """The frames Parlivo writes for one utterance: 100 ms blocks, then the end mark."""
    data = b"".join(frame("A", bytes([channel]) + pcm[i:i + BLOCK])
                    for i in range(0, len(pcm), BLOCK))
    return data + frame("E", bytes([channel]))


def finals(w, channel, quiet=2.0, timeout=90.0):
    """The finished lines ("F" and "U") of the channel's next utterance.

    The lines of one pass come in one burst (no translation here). A long utterance may have
    sentences committed early and the rest in the final pass a little later, so reading goes
    on until the output has been quiet for the given time.
    """
    got = w.read_until(lambda f: f[0] == "U" and f[1] == str(channel), timeout=timeout)
    while True:
        more = w.lines_for(quiet)
        if not more:
            break
        got += more
    return [f for f in got if f[0] in "FU" and f[1] == str(channel)]


def voice_numbers(lines):
    return sorted({int(f[2]) for f in lines})


@pytest.fixture
def root_with_speaker_model(data_root, model_store):
    add_speaker_model(data_root, RESNET34, model_store)
    return data_root


def options(diarize):
    return frame("L", "en|none|1|%d|60" % (1 if diarize else 0))


class TestVoicesOverPipes:
    def test_speaker_detection_unavailable_gives_voice_zero(self, data_root, start_worker,
                                                           voices):
        w = start_worker(data_root)          # no speaker model anywhere, nor on the server
        got = w.start_up()
        assert ["M", ""] in got
        w.read_until(lambda f: f == ["M", ""])
        w.write(options(True) + utterance(1, voices["low"]))
        lines = finals(w, 1)
        w.write(utterance(1, voices["whistle"]))
        lines += finals(w, 1)
        assert [f for f in lines if f[0] == "F" and f[4]], lines       # text was recognised
        assert voice_numbers(lines) == [0]
        assert all(f[2] == "0" for f in w.seen if f[0] in "PTFU")

    def test_registry_numbers_voices_and_reset_restarts(self, root_with_speaker_model,
                                                        start_worker, voices):
        w = start_worker(root_with_speaker_model)
        w.start_up()
        w.write(options(True))
        w.read_until(lambda f: f[0] == "S" and f[1].startswith("Could not download the "
                                                               "speaker-turn detector"))
        w.write(utterance(1, voices["low"]))
        first = finals(w, 1)
        w.write(utterance(1, voices["whistle"]))
        second = finals(w, 1)
        w.write(utterance(1, voices["low2"]))
        third = finals(w, 1)
        assert (voice_numbers(first), voice_numbers(second), voice_numbers(third)) == (
            [1], [2], [1]), (first, second, third)
        # The microphone channel numbers its own voices.
        w.write(utterance(0, voices["whistle2"]))
        assert voice_numbers(finals(w, 0)) == [1]
        # A new session: the voice that was 2 is now the first one heard.
        w.write(frame("R") + utterance(1, voices["whistle2"]))
        assert voice_numbers(finals(w, 1)) == [1]
        w.write(utterance(1, voices["low"]))
        assert voice_numbers(finals(w, 1)) == [2]
        # every line with text has a voice (the empty partial lines that mark sessions have none)
        assert all(f[2] in "123456" for f in w.seen if f[0] in "PTFU" and f[4])

    def test_neural_turns_with_the_downloaded_detector(self, root_with_speaker_model,
                                                       start_worker, voices, tmp_path,
                                                       http_server):
        detector = make_segmentation_model.write_segmentation_model(str(tmp_path / "seg.onnx"))
        archive = io.BytesIO()
        with tarfile.open(fileobj=archive, mode="w:bz2") as tar:
            tar.add(detector, "sherpa-onnx-pyannote-segmentation-3-0/model.onnx")
        http_server.routes[SEG_PATH] = Route(archive.getvalue())
        w = start_worker(root_with_speaker_model)
        w.start_up()
        w.write(options(True) + options(True))
        w.read_until(lambda f: f == ["S", "Speaker-turn detector ready."])
        assert sum(1 for _, path in http_server.requests if path == SEG_PATH) == 1
        # Its trial run goes on in the background; the passes use it once it is over.
        deadline = time.monotonic() + 60
        while not any(line.startswith("speaker-turn detector usable") for line in w.stderr):
            assert time.monotonic() < deadline, w.stderr
            time.sleep(0.05)
        # One utterance with both voices and a pause between them, then one voice alone.
        pause = b"\x00\x00" * 16000
        w.write(utterance(1, voices["whistle"] + pause + voices["low"]))
        both = finals(w, 1, quiet=5.0)
        w.write(utterance(1, voices["whistle2"]))
        later = finals(w, 1)
        texts = [f for f in both if f[0] == "F"]
        whistle_voice, low_voice = int(texts[0][2]), int(texts[-1][2])
        assert sorted((low_voice, whistle_voice)) == [1, 2], both
        assert voice_numbers(later) == [whistle_voice], later
        diar = [line for line in w.stderr if line.startswith("DIAR ch1 resnet34 neural: ")]
        assert len(diar) >= 2, w.stderr
