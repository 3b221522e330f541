"""The real worker as a child process over real pipes, with the tiny.en recognizer in its cache."""
import os
import struct
import time

import pytest

import hub_cache
import lay_out_whisper
import make_speaker_model
from conftest import (MADLAD_REPO, NLLB13_REPO, NLLB33_REPO, Route, add_speaker_model,
                      add_translation_model, frame)
from fake_hub import FakeHub

SPK_PATH = "/k2-fsa/sherpa-onnx/releases/download/speaker-recongition-models/"
SEG_PATH = ("/k2-fsa/sherpa-onnx/releases/download/speaker-segmentation-models/"
            "sherpa-onnx-pyannote-segmentation-3-0.tar.bz2")

K_NO_MODELS = [
    ["K", "0", "nllb13", "NLLB 1.3B - fast (default)", "1400", "0"],
    ["K", "1", "nllb33", "NLLB 3.3B - better", "3400", "0"],
    ["K", "2", "madlad3b", "MADLAD-400 3B - best, fluent text", "3000", "0"],
]
C_NO_MODELS = [
    ["C", "0", "resnet34", "ResNet34 - fast, recommended", "25", "0"],
    ["C", "1", "campp", "CAM++ - accurate and light", "27", "0"],
    ["C", "2", "resnet152", "ResNet152 - experimental", "75", "0"],
    ["C", "3", "resnet293", "ResNet293 - experimental, slow", "109", "0"],
    ["C", "4", "titanet", "TitaNet Large (NVIDIA)", "96", "0"],
    ["C", "5", "campp_zhen", "CAM++ Chinese + English", "26", "0"],
]


def catalog(base, installed):
    """The catalog lines with the given ids marked as on disk."""
    return [line[:5] + ["1" if line[2] in installed else "0"] for line in base]


def speaker_file(model_id):
    return {"resnet34": "wespeaker_en_voxceleb_resnet34_LM.onnx",
            "campp": "wespeaker_en_voxceleb_CAM++_LM.onnx",
            "resnet152": "wespeaker_en_voxceleb_resnet152_LM.onnx",
            "resnet293": "wespeaker_en_voxceleb_resnet293_LM.onnx",
            "titanet": "nemo_en_titanet_large.onnx"}[model_id]


def add_default_models(root, model_store, translation=True, speaker=True):
    """The models a worker loads when nothing else is chosen, so that no background switch
    fetches them after start-up."""
    if translation:
        add_translation_model(root, NLLB13_REPO, model_store)
    if speaker:
        add_speaker_model(root, speaker_file("resnet34"), model_store)


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def progress_run(lines, rising=True):
    """Checks a run of "D" lines closed by -1. Returns the percents.

    A single file's percent only rises. A hub download may fall back for a moment: the client
    announces each file's size only when that file starts, so the total grows during the run.
    """
    assert lines and all(f[0] == "D" for f in lines), lines
    assert lines[-1] == ["D", "-1", ""]
    percents = [int(f[1]) for f in lines[:-1]]
    assert all(0 <= p <= 100 for p in percents)
    if rising:
        assert percents == sorted(percents)
    return percents


def after_ready(w, needed, timeout=60.0):
    """Lines until every line in needed has been seen after the ready status."""
    got = []
    while not all(line in got for line in needed):
        got += w.read_until(lambda f: f in needed, timeout)
    return got


def answers_an_utterance(w, channel=0):
    second = struct.pack("<16000h", *([1000, -1000] * 8000))
    w.write(frame("A", bytes([channel]) + second) + frame("E", bytes([channel])))
    got = w.read_until(lambda f: f[0] == "U", timeout=30)
    return [f[0] for f in got if f[0] in "FU"] == ["F", "U"]


class TestStartUp:
    def test_nothing_cached_but_the_recognizer(self, data_root, start_worker, capsys):
        w = start_worker(data_root)
        got = w.start_up()
        ready_after = w.ready_after
        rss = rss_kb(w.proc.pid)
        assert got == [["S", "Loading the recognition model tiny.en..."],
                       ["S", "GPU unavailable, loading on the CPU..."],
                       ["S", "Loading the translation model..."],
                       ["Z", ""]] + K_NO_MODELS + [["M", ""]] + C_NO_MODELS + \
                      [["S", "ready (CPU)"]]
        # The models come as background switches; the local server has neither.
        later = after_ready(w, [["Z", ""], ["M", ""]])
        assert ["S", "Downloading Translation model NLLB 1.3B (one time only)..."] in later
        assert ["S", 'Downloading the speaker model "ResNet34 - fast, recommended" '
                     '(25 MB, one time only)...'] in later
        assert ["S", "Could not load the speaker model: HTTP Error 404: Not Found"] in later
        assert any(f[0] == "S" and f[1].startswith("Could not load the translation model: ")
                   for f in later)
        assert not any(f[0] in "NV" for f in w.seen)
        # End of input: the worker leaves at once, saying nothing.
        w.close_input()
        assert w.wait() == 0
        assert w.lines_for(0.5) == []
        assert "GPU failed: RuntimeError('no NVIDIA GPU (CPU mode)')" in "\n".join(w.stderr)
        assert not os.path.exists(os.path.join(str(data_root), "speaker",
                                               "wespeaker_en_voxceleb_resnet34_LM.onnx"))
        with capsys.disabled():
            print("\n[figures] tiny.en cached, no other models: ready (CPU) %.2f s after "
                  "process start, resident memory %.0f MB" % (ready_after, rss / 1024.0))

    def test_chosen_models_missing_offline_start_with_the_cached_ones(
            self, data_root, model_store, start_worker, http_server, capsys):
        add_translation_model(data_root, NLLB13_REPO, model_store)
        add_speaker_model(data_root, speaker_file("campp"), model_store)
        # No network to speak of: every connection is taken and never answered.
        http_server.fallback = lambda command, path: Route(b"", status=404, delay=120)
        # A stall limit long enough that both downloads still hang when the utterance comes.
        w = start_worker(data_root, {"TRANSLATION_MODEL": "nllb33", "SPEAKER_MODEL": "resnet34"},
                         stall_seconds=120)
        got = w.start_up(timeout=30)
        assert got == [["S", "Loading the recognition model tiny.en..."],
                       ["S", "GPU unavailable, loading on the CPU..."],
                       ["S", "Loading the translation model..."],
                       ["Z", "nllb13"]] + catalog(K_NO_MODELS, {"nllb13"}) + \
                      [["M", "campp"]] + catalog(C_NO_MODELS, {"campp"}) + \
                      [["S", "ready (CPU)"]]
        # The chosen ones are fetched in the background, as a "G" or "M" frame would have them.
        after_ready(w, [["S", "Downloading Translation model NLLB 3.3B (one time only)..."],
                        ["S", 'Downloading the speaker model "ResNet34 - fast, recommended" '
                              '(25 MB, one time only)...']])
        assert answers_an_utterance(w)        # while both downloads hang
        with capsys.disabled():
            print("\n[figures] offline, chosen translation and speaker models missing, cached "
                  "ones at hand: ready (CPU) %.2f s after process start" % w.ready_after)

    def test_a_download_cut_short_counts_as_missing(self, data_root, model_store, start_worker,
                                                    http_server):
        hub = FakeHub(http_server)
        hub.add_repo(lay_out_whisper.REPO_ID, lay_out_whisper.packaged_model_dir())
        hub.add_repo(NLLB13_REPO, os.path.join(str(model_store), "nllb"))
        # Cut short: the snapshot folders exist, but some of their files never arrived.
        whisper = hub_cache.snapshot_folder(os.path.join(str(data_root), "hf"),
                                            lay_out_whisper.REPO_ID)
        for name in ("tokenizer.json", "vocabulary.txt"):
            os.remove(os.path.join(whisper, name))
        os.remove(os.path.join(add_translation_model(data_root, NLLB13_REPO, model_store),
                               "model.bin"))
        add_translation_model(data_root, MADLAD_REPO, model_store)
        w = start_worker(data_root)
        got = w.start_up()
        assert got[:2] == [["S", "Loading the recognition model tiny.en..."],
                           ["S", "Downloading Recognition model tiny.en (one time only)..."]]
        z = got.index(["Z", "madlad3b"])
        assert got[z + 1:z + 4] == catalog(K_NO_MODELS, {"madlad3b"})
        later = after_ready(w, [["Z", "nllb13"]])
        assert ["S", "Downloading Translation model NLLB 1.3B (one time only)..."] in later
        assert w.read_until(lambda f: f[:2] == ["K", "2"])[-3:] == catalog(
            K_NO_MODELS, {"nllb13", "madlad3b"})
        assert answers_an_utterance(w)

    def test_a_speaker_model_sherpa_onnx_would_die_on(self, data_root, start_worker):
        path = os.path.join(str(data_root), "speaker", speaker_file("resnet34"))
        os.makedirs(os.path.dirname(path))
        make_speaker_model.write_speaker_model(path, metadata=False)
        w = start_worker(data_root)
        got = w.start_up()
        v = got.index(next(f for f in got if f[0] == "V"))
        assert got[v][1].startswith("Speaker detection unavailable: the speaker model file "
                                    "wespeaker_en_voxceleb_resnet34_LM.onnx is not usable and "
                                    "was deleted: Unknown model type"), got[v]
        assert got[v + 1:] == C_NO_MODELS + [["S", "ready (CPU)"]]
        assert not os.path.exists(path)
        assert answers_an_utterance(w)
        w.close_input()
        assert w.wait() == 0

    def test_with_models_on_disk(self, data_root, model_store, start_worker, http_server, capsys):
        add_translation_model(data_root, NLLB13_REPO, model_store)
        add_speaker_model(data_root, speaker_file("resnet34"), model_store)
        w = start_worker(data_root)
        got = w.start_up()
        assert got == [["S", "Loading the recognition model tiny.en..."],
                       ["S", "GPU unavailable, loading on the CPU..."],
                       ["S", "Loading the translation model..."],
                       ["Z", "nllb13"]] + catalog(K_NO_MODELS, {"nllb13"}) + \
                      [["M", "resnet34"]] + catalog(C_NO_MODELS, {"resnet34"}) + \
                      [["S", "ready (CPU)"]]
        assert http_server.requests == []         # everything came from the cache
        rss = rss_kb(w.proc.pid)
        with capsys.disabled():
            print("\n[figures] tiny.en + tiny translation + tiny speaker model: ready (CPU) "
                  "%.2f s, resident memory %.0f MB" % (w.ready_after, rss / 1024.0))

    @pytest.mark.parametrize("tr_env, spk_env, tr_active, spk_active", [
        ("madlad3b", "campp", "madlad3b", "campp"),
        ("gpt", "nothing", "nllb13", "resnet34"),
    ])
    def test_initial_models_from_the_environment(self, data_root, model_store, start_worker,
                                                 tr_env, spk_env, tr_active, spk_active):
        add_translation_model(data_root, NLLB13_REPO, model_store)
        add_translation_model(data_root, MADLAD_REPO, model_store)
        add_speaker_model(data_root, speaker_file("resnet34"), model_store)
        add_speaker_model(data_root, speaker_file("campp"), model_store)
        w = start_worker(data_root, {"TRANSLATION_MODEL": tr_env, "SPEAKER_MODEL": spk_env})
        got = w.start_up()
        assert ["Z", tr_active] in got and ["M", spk_active] in got
        assert [f for f in got if f[0] in "ZM"] == [["Z", tr_active], ["M", spk_active]]

    def test_translation_model_downloaded_from_the_hub_once(self, data_root, model_store,
                                                            start_worker, http_server):
        add_default_models(data_root, model_store, translation=False)
        hub = FakeHub(http_server, chunk=4096, pause=0.03)
        hub.add_repo(NLLB13_REPO, os.path.join(str(model_store), "nllb"))
        w = start_worker(data_root)
        w.start_up()
        got = after_ready(w, [["Z", "nllb13"]])
        assert got[0] == ["S", "Downloading Translation model NLLB 1.3B (one time only)..."]
        percents = progress_run(got[1:-1], rising=False)
        assert percents and percents[-1] == 100
        assert w.read_until(lambda f: f[:2] == ["K", "2"]) == catalog(K_NO_MODELS, {"nllb13"})
        w.write(frame("Q"))
        assert w.wait() == 0

        requests = len(http_server.requests)
        again = start_worker(data_root).start_up()
        assert ["Z", "nllb13"] in again
        assert not any(f[0] == "D" or "Downloading Translation" in f[-1] for f in again)
        assert not any("/api/models/" in path or "/resolve/" in path
                       for _, path in http_server.requests[requests:])


    def test_recognizer_that_cannot_be_had_ends_the_process(self, tmp_path, start_worker,
                                                              http_server):
        w = start_worker(tmp_path / "empty", {"DICTATE_MODEL": "small"})
        got = []
        while True:
            line = w.next_line()
            if line is None:
                break
            got.append(line)
        assert got == [["S", "Loading the recognition model small..."],
                       ["S", "Downloading Recognition model small (one time only)..."],
                       ["S", "GPU unavailable, loading on the CPU..."]]
        assert w.wait() != 0
        log = "\n".join(w.stderr)
        assert "model pre-download failed: " in log and "Traceback" in log
        assert any("/Systran/faster-whisper-small" in path for _, path in http_server.requests)


class TestModelSwitching:
    def test_translation_requests_during_a_load(self, data_root, model_store, start_worker,
                                                http_server):
        add_translation_model(data_root, NLLB13_REPO, model_store)
        add_translation_model(data_root, MADLAD_REPO, model_store)
        hub = FakeHub(http_server, chunk=2048, pause=0.05)
        hub.add_repo(NLLB33_REPO, os.path.join(str(model_store), "nllb"))
        add_default_models(data_root, model_store, translation=False)
        w = start_worker(data_root)
        w.start_up()
        # nllb33 starts loading; nllb13 is requested, then replaced by madlad3b; an unknown id
        # must not replace the pending request.
        w.write(frame("G", "nllb33") + frame("G", "nllb13") + frame("G", "madlad3b")
                + frame("G", "bogus"))
        got = w.read_until(lambda f: f[:2] == ["K", "2"] and ["Z", "madlad3b"] in w.seen,
                           timeout=60)
        assert got[0] == ["S", "Downloading Translation model NLLB 3.3B (one time only)..."]
        z33 = got.index(["Z", "nllb33"])
        progress_run(got[1:z33], rising=False)
        all_three = catalog(K_NO_MODELS, {"nllb13", "nllb33", "madlad3b"})
        assert got[z33 + 1:] == all_three + [["Z", "madlad3b"]] + all_three
        # The active id answers nothing, and neither does an unknown one.
        w.write(frame("G", "madlad3b") + frame("G", "xyz") + frame("G", ""))
        assert w.lines_for(1.0) == []
        w.write(frame("G", "nllb13"))
        assert w.read_until(lambda f: f[:2] == ["K", "2"])[0] == ["Z", "nllb13"]

    def test_failed_translation_switch_names_the_active_model(self, data_root, model_store,
                                                              start_worker, http_server):
        add_translation_model(data_root, NLLB13_REPO, model_store)
        add_translation_model(data_root, MADLAD_REPO, model_store)
        FakeHub(http_server, delay=0.5)           # knows no repository, answers slowly
        add_default_models(data_root, model_store, translation=False)
        w = start_worker(data_root)
        w.start_up()
        w.write(frame("G", "nllb33") + frame("G", "madlad3b"))
        got = w.read_until(lambda f: f[:2] == ["K", "2"], timeout=60)
        assert got[0] == ["S", "Downloading Translation model NLLB 3.3B (one time only)..."]
        assert got[1] == ["D", "-1", ""]
        assert got[2][0] == "S" and got[2][1].startswith("Could not load the translation model: ")
        assert got[3] == ["Z", "nllb13"]
        assert got[4] == ["Z", "madlad3b"]
        assert "translation model error: " in "\n".join(w.stderr)

    def test_speaker_requests_during_a_download(self, data_root, model_store, start_worker,
                                                http_server):
        add_speaker_model(data_root, speaker_file("resnet34"), model_store)
        with open(os.path.join(str(model_store), "speaker.onnx"), "rb") as f:
            onnx = f.read()
        for model_id in ("campp", "titanet"):
            http_server.routes[SPK_PATH + speaker_file(model_id)] = Route(
                onnx, chunk=max(1, len(onnx) // 10), pause=0.08)
        add_default_models(data_root, model_store, speaker=False)
        w = start_worker(data_root)
        w.start_up()
        w.write(frame("M", "campp") + frame("M", "resnet152") + frame("M", "titanet")
                + frame("M", "bogus"))
        got = w.read_until(lambda f: f[:2] == ["C", "5"] and ["M", "titanet"] in w.seen,
                           timeout=60)
        assert got[0] == ["S", 'Downloading the speaker model "CAM++ - accurate and light" '
                               '(27 MB, one time only)...']
        m1 = got.index(["M", "campp"])
        progress_run(got[1:m1])
        assert got[m1 + 1:m1 + 7] == catalog(C_NO_MODELS, {"resnet34", "campp"})
        assert got[m1 + 7] == ["S", 'Downloading the speaker model "TitaNet Large (NVIDIA)" '
                                    '(96 MB, one time only)...']
        m2 = got.index(["M", "titanet"])
        progress_run(got[m1 + 8:m2])
        assert got[m2 + 1:] == catalog(C_NO_MODELS, {"resnet34", "campp", "titanet"})
        assert not any("resnet152" in path for _, path in http_server.requests)

        w.write(frame("M", "titanet"))
        assert w.lines_for(1.0) == []
        w.write(frame("M", "resnet293"))              # not on the server
        got = w.read_until(lambda f: f[0] == "M")
        assert got[-3:] == [["D", "-1", ""],
                            ["S", "Could not load the speaker model: HTTP Error 404: Not Found"],
                            ["M", "titanet"]]
        assert not os.path.exists(os.path.join(str(data_root), "speaker", speaker_file("resnet293")))


class TestStalledDownloads:
    """A network that goes silent ends the load it holds; the latest request then has its turn."""

    def test_translation_download_on_a_silent_network(self, data_root, model_store,
                                                      start_worker, silent_server):
        add_translation_model(data_root, MADLAD_REPO, model_store)
        add_default_models(data_root, model_store)
        w = start_worker(data_root, {"HF_ENDPOINT": silent_server.url}, stall_seconds=1)
        w.start_up()
        w.write(frame("G", "nllb33") + frame("G", "nllb13") + frame("G", "madlad3b"))
        got = w.read_until(lambda f: f[:2] == ["K", "2"], timeout=60)
        assert got == [["S", "Downloading Translation model NLLB 3.3B (one time only)..."],
                       ["D", "-1", ""],
                       ["S", "Could not load the translation model: Download of Translation "
                             "model NLLB 3.3B stopped: no data for 1 s."],
                       ["Z", "nllb13"],
                       ["Z", "madlad3b"]] + catalog(K_NO_MODELS, {"nllb13", "madlad3b"})
        assert "translation model error: DownloadStalled(" in "\n".join(w.stderr)
        assert answers_an_utterance(w)

    def test_speaker_download_that_stops_arriving(self, data_root, model_store, start_worker,
                                                  http_server):
        with open(os.path.join(str(model_store), "speaker.onnx"), "rb") as f:
            onnx = f.read()
        # Half the file, then silence; the next model comes steadily.
        http_server.routes[SPK_PATH + speaker_file("campp")] = Route(
            onnx, chunk=len(onnx) // 2 + 1, pause=60)
        http_server.routes[SPK_PATH + speaker_file("titanet")] = Route(
            onnx, chunk=max(1, len(onnx) // 4), pause=0.5)
        add_default_models(data_root, model_store)
        w = start_worker(data_root, stall_seconds=1)
        w.start_up()
        w.write(frame("M", "campp") + frame("M", "titanet"))
        got = w.read_until(lambda f: f[:2] == ["C", "5"], timeout=60)
        got = [f for f in got if f[0] != "D" or f[1] == "-1"]
        assert got == [["S", 'Downloading the speaker model "CAM++ - accurate and light" '
                             '(27 MB, one time only)...'],
                       ["D", "-1", ""],
                       ["S", "Could not load the speaker model: Download of Speaker model CAM++ "
                             "stopped: no data for 1 s."],
                       ["M", "resnet34"],
                       ["S", 'Downloading the speaker model "TitaNet Large (NVIDIA)" '
                             '(96 MB, one time only)...'],
                       ["D", "-1", ""],
                       ["M", "titanet"]] + catalog(C_NO_MODELS, {"resnet34", "titanet"})
        folder = os.path.join(str(data_root), "speaker")
        assert not os.path.exists(os.path.join(folder, speaker_file("campp")))

    def test_slow_download_that_keeps_moving_is_not_cut(self, data_root, model_store,
                                                        start_worker, http_server):
        hub = FakeHub(http_server, chunk=10_000, pause=0.4)     # the model takes 4 s and more
        hub.add_repo(NLLB33_REPO, os.path.join(str(model_store), "nllb"))
        add_default_models(data_root, model_store)
        w = start_worker(data_root, stall_seconds=1)
        w.start_up()
        w.write(frame("G", "nllb33"))
        got = w.read_until(lambda f: f[:2] == ["K", "2"], timeout=60)
        z = got.index(["Z", "nllb33"])
        progress_run(got[1:z], rising=False)
        assert not any(f[0] == "S" and f[1].startswith("Could not") for f in got)


class TestFrames:
    def test_malformed_and_unknown_frames_are_skipped_in_step(self, data_root, model_store,
                                                              start_worker, http_server):
        import io
        import tarfile
        archive = io.BytesIO()
        with tarfile.open(fileobj=archive, mode="w:bz2") as tar:
            body = b"detector"
            info = tarfile.TarInfo("sherpa-onnx-pyannote-segmentation-3-0/model.onnx")
            info.size = len(body)
            tar.addfile(info, io.BytesIO(body))
        http_server.routes[SEG_PATH] = Route(archive.getvalue())
        add_default_models(data_root, model_store)
        w = start_worker(data_root)
        w.start_up()
        second = struct.pack("<16000h", *([1000, -1000] * 8000))
        w.write(frame("A", b"\x00")                       # only the channel byte
                + frame("A", b"\x02" + second[:320])      # no such channel
                + frame("E", b"")
                + frame("X", b"abc")                      # unknown type with a payload
                + frame("L", "en|ru|1|1")                 # four fields: ignored entirely
                + frame("A", b"\x01" + second)
                + frame("E", b"\x01")
                + frame("R", b"whatever")
                + frame("a", b"\x00\x00\x00"))
        # Only the second of channel 1 and its end were acted on: one finished pair answers it.
        # The "R" marks a new session on each channel once the audio before it is answered.
        got = w.read_until(lambda f: f[:2] == ["T", "1"], timeout=30)
        assert [f[:4] for f in got] == [["P", "0", "0", ""], ["T", "0", "0", ""],
                                        ["F", "1", "0", "ru"], ["U", "1", "0", ""],
                                        ["P", "1", "0", ""], ["T", "1", "0", ""]]
        assert w.lines_for(1.0) == []
        assert w.proc.poll() is None
        w.write(frame("L", "en|ru|1|1|60|extra"))         # six fields: diarize on
        got = w.read_until(lambda f: f[:2] == ["S", "Speaker-turn detector ready."])
        assert got[0] == ["S", "Downloading the speaker-turn detector (6 MB, one time only)..."]
        progress_run(got[1:-1])
        with open(os.path.join(str(data_root), "speaker", "pyannote-segmentation-3-0.onnx"),
                  "rb") as f:
            assert f.read() == b"detector"
        w.write(frame("Q") + frame("G", "nllb33"))
        assert w.wait() == 0
        assert w.lines_for(0.5) == []

    def test_quit_ends_at_once_even_during_a_download(self, data_root, model_store,
                                                      start_worker, http_server):
        add_speaker_model(data_root, speaker_file("resnet34"), model_store)
        http_server.routes[SPK_PATH + speaker_file("campp")] = Route(
            b"x" * 2_000_000, chunk=16384, pause=0.1)
        add_default_models(data_root, model_store, speaker=False)
        w = start_worker(data_root)
        w.start_up()
        w.write(frame("M", "campp"))
        w.read_until(lambda f: f[0] == "D" and int(f[1]) > 0)   # bytes are arriving
        t = time.monotonic()
        w.write(frame("Q"))
        assert w.wait(timeout=10) == 0
        assert time.monotonic() - t < 5
        folder = os.path.join(str(data_root), "speaker")
        assert os.path.exists(os.path.join(folder, speaker_file("campp") + ".part"))
        assert not os.path.exists(os.path.join(folder, speaker_file("campp")))

    @pytest.mark.parametrize("tail", [
        b"A\x0a\x00\x00\x00\x00\x01\x02\x03",             # header for 10 bytes, 4 arrive
        b"L\x05\x00",                                     # half a header
    ])
    def test_end_of_input_inside_a_frame(self, data_root, model_store, start_worker, tail):
        add_default_models(data_root, model_store)
        w = start_worker(data_root)
        w.start_up()
        w.write(frame("A", b"\x00\x00\x00") + tail)
        w.close_input()
        assert w.wait() == 0
        assert w.lines_for(0.3) == []
