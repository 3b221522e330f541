"""The worker's parts in-process: lines, frames, environment, and model loading with real models."""
import io
import os
import stat
import tarfile
import threading

import pytest

import worker
from conftest import (MADLAD_REPO, NLLB13_REPO, NLLB33_REPO, Route, add_speaker_model,
                      add_translation_model, frame)


@pytest.fixture
def root(tmp_path, monkeypatch, w):
    """An empty data root made active the way start-up does it."""
    data = tmp_path / "root"
    monkeypatch.setenv("DICTATION_ROOT", str(data))
    for name in ("HF_HOME", "TMP", "TEMP", "HF_HUB_DISABLE_SYMLINKS_WARNING"):
        monkeypatch.delenv(name, raising=False)
    w.paths = worker.set_up_environment()
    return data


def handle(w, kind, payload):
    return worker.handle_frame(w, worker.Frame(kind, payload))


# ---------------------------------------------------------------------------------------------
# Lines
# ---------------------------------------------------------------------------------------------

class TestLineWriter:
    def test_fields_are_cleaned_joined_and_encoded_one_write_per_line(self):
        writes = []

        class Recording(io.BytesIO):
            def write(self, data):
                writes.append(bytes(data))
                return super().write(data)

        out = Recording()
        writer = worker.LineWriter(out, strict=True)
        writer.send("F", 1, 3, "ru", "Привет,\tмир\r\nдва")
        writer.send("D", -1, "")
        assert out.getvalue() == ("F\t1\t3\tru\tПривет, мир  два\nD\t-1\t\n").encode()
        assert len(writes) == 2

    def test_lines_from_many_threads_never_interleave(self):
        r, wr = os.pipe()
        pipe_out = os.fdopen(wr, "wb", buffering=0)
        writer = worker.LineWriter(pipe_out, strict=True)
        chunks = []
        reader = threading.Thread(target=lambda: chunks.append(os.fdopen(r, "rb").read()))
        reader.start()
        text = "x" * 3000

        def talk(n):
            for i in range(200):
                writer.send("D", n, text)

        threads = [threading.Thread(target=talk, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        pipe_out.close()
        reader.join()
        got = chunks[0].decode().split("\n")
        assert got[-1] == "" and len(got) == 801
        assert all(line.split("\t")[0] == "D" and line.split("\t")[2] == text for line in got[:-1])

    def test_a_stream_that_takes_part_of_a_line_gets_the_rest(self):
        class Trickle(io.BytesIO):
            def write(self, data):
                return super().write(bytes(data[:7]))

        out = Trickle()
        worker.LineWriter(out).send("U", 0, 2, "de", "Guten Tag, wie geht es Ihnen?")
        assert out.getvalue() == "U\t0\t2\tde\tGuten Tag, wie geht es Ihnen?\n".encode()

    def test_broken_output_is_not_an_error(self):
        class Broken:
            def write(self, _data):
                raise BrokenPipeError()

        worker.LineWriter(Broken()).send("S", "nobody listens")

    def test_a_line_off_the_table_fails_strict_and_still_goes_out_in_use(self, capsys):
        with pytest.raises(ValueError, match="unknown line kind 'X'"):
            worker.LineWriter(io.BytesIO(), strict=True).send("X", "text")
        with pytest.raises(ValueError, match="line P takes 4 fields"):
            worker.LineWriter(io.BytesIO(), strict=True).send("P", 0, 1, "text")
        out = io.BytesIO()
        worker.LineWriter(out).send("S", "two", "fields")
        assert out.getvalue() == b"S\ttwo\tfields\n"
        assert "line S takes 1 fields (text), got 2" in capsys.readouterr().err


# ---------------------------------------------------------------------------------------------
# Environment and choices
# ---------------------------------------------------------------------------------------------

class TestEnvironment:
    def test_data_root_and_environment_defaults(self, tmp_path, monkeypatch):
        data = tmp_path / "d"
        monkeypatch.setenv("DICTATION_ROOT", str(data))
        monkeypatch.setenv("HF_HOME", str(tmp_path / "mine"))
        for name in ("TMP", "TEMP", "HF_HUB_DISABLE_SYMLINKS_WARNING"):
            monkeypatch.delenv(name, raising=False)
        paths = worker.set_up_environment()
        assert paths.root == str(data) and paths.speaker == str(data / "speaker")
        assert (data / "tmp").is_dir() and not (data / "speaker").exists()
        assert os.environ["HF_HOME"] == str(tmp_path / "mine")        # already set: kept
        assert os.environ["TMP"] == os.environ["TEMP"] == str(data / "tmp")
        assert os.environ["HF_HUB_DISABLE_SYMLINKS_WARNING"] == "1"
        assert paths.hf == str(data / "hf")

    def test_empty_root_variable_means_data_next_to_the_script(self, monkeypatch):
        monkeypatch.setenv("DICTATION_ROOT", "")
        assert worker.data_root() == os.path.join(worker.SCRIPT_DIR, "data")

    def test_has_nvidia_by_the_installer_s_rule(self, tmp_path, monkeypatch):
        """nvidia-smi.exe in System32, or "nvidia-smi -L" succeeding; found on PATH is not enough."""
        bin_dir = tmp_path / "bin"
        bin_dir.mkdir()
        monkeypatch.setenv("PATH", str(bin_dir))
        monkeypatch.setenv("SystemRoot", str(tmp_path / "win"))
        asked = tmp_path / "asked"

        def answer_with(code):
            tool = bin_dir / "nvidia-smi"
            tool.write_text('#!/bin/sh\necho "$@" >> "%s"\nexit %d\n' % (asked, code))
            tool.chmod(tool.stat().st_mode | stat.S_IEXEC)
            worker.has_nvidia.cache_clear()
            return worker.has_nvidia()

        worker.has_nvidia.cache_clear()
        assert worker.has_nvidia() is False                 # no tool anywhere
        assert answer_with(9) is False                      # a driver without a working card
        assert answer_with(0) is True and worker.has_nvidia() is True
        assert asked.read_text().splitlines() == ["-L", "-L"]          # asked once per process
        system32 = tmp_path / "win" / "System32"
        system32.mkdir(parents=True)
        (system32 / "nvidia-smi.exe").write_bytes(b"MZ")
        assert answer_with(9) is True                       # found there: the tool is not run
        assert asked.read_text().splitlines() == ["-L", "-L"]
        worker.has_nvidia.cache_clear()

    def test_recognition_model_choice(self, monkeypatch):
        monkeypatch.setattr(worker, "has_nvidia", lambda: True)
        monkeypatch.setenv("DICTATE_MODEL", "medium")
        assert worker.recognition_model_name() == "medium"
        monkeypatch.setenv("DICTATE_MODEL", "")
        assert worker.recognition_model_name() == "large-v3"
        monkeypatch.setattr(worker, "has_nvidia", lambda: False)
        assert worker.recognition_model_name() == "small"
        monkeypatch.setenv("DICTATE_MODEL", "medium")
        assert worker.recognition_model_name() == "medium"

    @pytest.mark.parametrize("value, expected", [
        (None, "nllb13"), ("", "nllb13"), ("madlad3b", "madlad3b"), ("nllb33", "nllb33"),
        ("gpt", "nllb13"), ("NLLB33", "nllb13"),
    ])
    def test_initial_translation_model(self, monkeypatch, value, expected):
        if value is None:
            monkeypatch.delenv("TRANSLATION_MODEL", raising=False)
        else:
            monkeypatch.setenv("TRANSLATION_MODEL", value)
        assert worker.initial_model_id("TRANSLATION_MODEL", worker.TR_MODELS, "nllb13") == expected


# ---------------------------------------------------------------------------------------------
# Frames
# ---------------------------------------------------------------------------------------------

class TestReadingFrames:
    def test_frames_back_to_back_and_empty_payloads(self):
        reader = worker.FrameReader(io.BytesIO(frame("A", b"\x00\x01\x02") + frame("R") + frame("Q")))
        assert reader.read() == ("A", b"\x00\x01\x02")
        assert reader.read() == worker.Frame("R", b"")
        assert reader.read() == ("Q", b"")
        with pytest.raises(worker.EndOfInput):
            reader.read()

    @pytest.mark.parametrize("data", [b"A\x0a\x00", b"A\x0a\x00\x00\x00abcd", b""])
    def test_end_inside_a_frame(self, data):
        with pytest.raises(worker.EndOfInput):
            worker.FrameReader(io.BytesIO(data)).read()

    def test_read_exact_collects_short_reads(self):
        class Trickle:
            def __init__(self, data):
                self.data = data

            def read(self, n):
                piece, self.data = self.data[:1], self.data[1:]
                return piece

        assert worker.read_exact(Trickle(b"abcdef"), 5) == b"abcde"

    def test_oversized_payload_is_skipped_and_the_stream_stays_in_step(self):
        stream = io.BytesIO(frame("A", b"\x00" + b"\x01" * 40) + frame("E", b"\x01"))
        reader = worker.FrameReader(stream, max_payload=16)
        assert reader.read() == ("A", None)
        assert reader.read() == ("E", b"\x01")


class TestFrameLoop:
    def test_quit_stops_reading_at_once(self, w):
        rest = frame("A", b"\x00\x01\x00")
        stream = io.BytesIO(frame("A", b"\x01\x05\x00") + frame("Q") + rest)
        worker.frame_loop(w, stream)
        assert stream.read() == rest
        assert bytes(w.chans[1].buf) == b"\x05\x00" and not w.chans[0].buf

    def test_end_of_input_and_broken_input_end_the_loop(self, w, capsys):
        worker.frame_loop(w, io.BytesIO(frame("E", b"\x00") + b"G\x09"))
        assert w.chans[0].ends

        class Broken:
            def read(self, n):
                raise OSError(22, "Invalid argument")

        worker.frame_loop(w, Broken())
        assert "input failed: OSError(22, 'Invalid argument')" in capsys.readouterr().err


class TestFrameActions:
    def test_audio_and_final_marks(self, w):
        def h(kind, payload):
            return handle(w, kind, payload)

        assert h("A", b"\x00\x01\x00\x02\x00") and h("A", b"\x01\xff\x7f")
        assert h("A", b"\x00") and h("A", b"\x02\x01\x00") and h("A", b"")   # ignored
        assert h("A", b"\x00\x03\x00\x04")              # a trailing half sample is dropped
        assert bytes(w.chans[0].buf) == b"\x01\x00\x02\x00\x03\x00"
        assert bytes(w.chans[1].buf) == b"\xff\x7f"
        assert h("E", b"") and h("E", b"\x05")
        assert not w.chans[0].ends and not w.chans[1].ends
        assert h("E", b"\x01\x09\x09")
        assert w.chans[1].ends == [(2, 1)] and not w.chans[0].ends

    def test_audio_wakes_a_waiting_thread(self, w):
        woke = threading.Event()

        def wait():
            with w.cond:
                w.cond.wait_for(lambda: w.chans[1].ends, timeout=5)
                if w.chans[1].ends:
                    woke.set()

        t = threading.Thread(target=wait)
        t.start()
        handle(w, "E", b"\x01")
        t.join()
        assert woke.is_set()

    def test_options(self, w, monkeypatch):
        started = []
        monkeypatch.setattr(worker, "ensure_segmentation", lambda w: started.append(1))
        before = set(threading.enumerate())
        handle(w, "L", b"en|ru|1|0")                       # four fields: ignored
        assert w.options == worker.Options("ru", "none", True, False, 60)
        handle(w, "L", b"en|r\xffu|0|1|75|extra")
        assert w.options == worker.Options("en", "ru", False, True, 75)
        handle(w, "L", b"xx|yy|yes|true|abc")
        assert w.options == worker.Options("xx", "yy", False, False, 75)
        for t in set(threading.enumerate()) - before:
            t.join(timeout=5)
        assert started == [1]                    # only the frame that turned diarize on

    def test_options_with_detector_present_start_nothing(self, w, monkeypatch):
        os.makedirs(w.paths.speaker)
        with open(worker.seg_path(w), "wb") as f:
            f.write(b"model")
        monkeypatch.setattr(worker, "ensure_segmentation", lambda w: pytest.fail("started"))
        handle(w, "L", b"auto|none|1|1|60")
        assert w.options.diarize is True

    def test_reset_quit_and_unknown(self, w):
        for ch in w.chans:
            ch.voice_sums, ch.gnext, ch.last_spk = {1: [1.0]}, 3, 2
        assert handle(w, "R", b"ignored payload")
        assert all(ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 0 for ch in w.chans)
        assert handle(w, "X", b"abc") is True
        assert handle(w, "A", None) is True     # oversized: skipped
        assert handle(w, "Q", b"") is False

    def test_unknown_model_ids_change_nothing(self, w, lines):
        w.translation.loading = True
        w.translation.pending = "madlad3b"
        handle(w, "G", b"gpt-4")
        handle(w, "G", b"")
        assert w.translation.pending == "madlad3b"
        handle(w, "M", b"nothing")
        assert not w.speaker.loading and w.speaker.pending == ""
        handle(w, "G", b"nllb33")
        assert w.translation.pending == "nllb33"
        assert lines == []


# ---------------------------------------------------------------------------------------------
# Models, in-process
# ---------------------------------------------------------------------------------------------

class TestTranslationModels:
    def test_load_activates_and_announces(self, w, root, model_store, lines):
        add_translation_model(root, NLLB13_REPO, model_store)
        worker.load_translator(w, "nllb13")
        assert lines[0] == ("Z", "nllb13")
        assert lines[1:] == [
            ("K", 0, "nllb13", "NLLB 1.3B - fast (default)", 1400, 1),
            ("K", 1, "nllb33", "NLLB 3.3B - better", 3400, 0),
            ("K", 2, "madlad3b", "MADLAD-400 3B - best, fluent text", 3000, 0),
        ]
        engine, tokenizer, model_id, kind = worker.translation_snapshot(w)
        assert (model_id, kind) == ("nllb13", "nllb")
        assert tokenizer.token_to_id("rus_Cyrl") is not None
        src = ["eng_Latn"] + tokenizer.encode("Hello.", add_special_tokens=False).tokens + ["</s>"]
        out = engine.translate_batch([src], target_prefix=[["rus_Cyrl"]], beam_size=1,
                                     max_decoding_length=8)
        assert out[0].hypotheses[0][0] == "rus_Cyrl"

    def test_activation_empties_the_translation_cache(self, w, root, model_store, lines):
        add_translation_model(root, MADLAD_REPO, model_store)
        w.cache[("nllb13", "en", "ru", True, "Hi.")] = "Привет."
        worker.load_translator(w, "madlad3b")
        assert w.cache == {} and w.translation.model.kind == "madlad"

    def test_unknown_id_does_nothing(self, w, root, lines):
        worker.load_translator(w, "nllb99")
        assert lines == [] and w.translation.active_id == ""

    def test_failed_creation_brings_the_previous_model_back(self, w, root, model_store, lines,
                                                             capsys):
        add_translation_model(root, NLLB13_REPO, model_store)
        broken = add_translation_model(root, NLLB33_REPO, model_store)
        os.remove(os.path.join(broken, "model.bin"))
        with open(os.path.join(broken, "model.bin"), "wb") as f:
            f.write(b"not a model")
        worker.load_translator(w, "nllb13")
        old_engine = w.translation.model.translator
        del lines[:]
        with pytest.raises(Exception):
            worker.load_translator(w, "nllb33")
        engine, tokenizer, model_id, kind = worker.translation_snapshot(w)
        assert model_id == "nllb13" and engine is not None and engine is not old_engine
        assert tokenizer.token_to_id("eng_Latn") is not None
        assert engine.translate_batch([["eng_Latn", "</s>"]], max_decoding_length=4)
        assert lines == []                       # the caller reports the failure
        assert "translation model nllb13 kept after nllb33 failed" in capsys.readouterr().err

    def test_failed_creation_without_a_way_back_leaves_no_model(self, w, root, model_store, lines):
        first = add_translation_model(root, NLLB13_REPO, model_store)
        broken = add_translation_model(root, NLLB33_REPO, model_store)
        with open(os.path.join(broken, "model.bin"), "wb") as f:
            f.write(b"x")
        worker.load_translator(w, "nllb13")
        for name in os.listdir(first):                   # the old model vanished from disk
            os.remove(os.path.join(first, name))
        with pytest.raises(Exception):
            worker.load_translator(w, "nllb33")
        assert worker.translation_snapshot(w) == (None, None, "", "")

    def test_failed_fetch_keeps_the_active_engine(self, w, root, model_store, lines, monkeypatch):
        add_translation_model(root, NLLB13_REPO, model_store)
        worker.load_translator(w, "nllb13")
        engine = w.translation.model.translator

        def no_network(*args, **kwargs):
            raise OSError("offline")

        monkeypatch.setattr(worker, "fetch", no_network)
        with pytest.raises(OSError):
            worker.load_translator(w, "madlad3b")
        assert w.translation.model.translator is engine and w.translation.active_id == "nllb13"

    def test_gpu_engine_failure_falls_back_to_the_cpu(self, w, root, model_store, lines, capsys,
                                                      monkeypatch):
        add_translation_model(root, NLLB13_REPO, model_store)
        w.dev = "GPU"                                    # this machine has no CUDA device
        worker.load_translator(w, "nllb13")
        assert lines[0] == ("S", "Not enough GPU memory for this translation model - "
                                 "using the CPU (slower).")
        assert lines[1] == ("Z", "nllb13")
        assert w.translation.model.translator.device == "cpu"
        assert "translator on GPU failed: " in capsys.readouterr().err

    def test_switch_thread_reports_failure_with_the_active_id(self, w, root, model_store, lines,
                                                              monkeypatch):
        add_translation_model(root, NLLB13_REPO, model_store)
        worker.load_translator(w, "nllb13")
        del lines[:]
        monkeypatch.setattr(worker, "fetch", lambda *a, **k: (_ for _ in ()).throw(
            OSError("no route")))
        before = set(threading.enumerate())
        worker.switch_translator(w, "nllb33")
        for t in set(threading.enumerate()) - before:
            t.join(timeout=10)
        assert lines == [("D", -1, ""), ("S", "Could not load the translation model: no route"),
                         ("Z", "nllb13")]
        assert w.translation.loading is False


class TestSpeakerModels:
    def test_load_present_model_resets_voices_and_announces(self, w, root, model_store, lines):
        add_speaker_model(root, "wespeaker_en_voxceleb_CAM++_LM.onnx", model_store)
        for ch in w.chans:
            ch.voice_sums, ch.gnext, ch.last_spk = {1: None}, 2, 1
        worker.load_speaker(w, "campp")
        assert w.speaker.active_id == "campp" and w.speaker.model is not None
        assert all(ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 0 for ch in w.chans)
        assert lines[0] == ("M", "campp")
        assert [f[5] for f in lines[1:]] == [0, 1, 0, 0, 0, 0]
        assert lines[1] == ("C", 0, "resnet34", "ResNet34 - fast, recommended", 25, 0)
        assert lines[6] == ("C", 5, "campp_zhen", "CAM++ Chinese + English", 26, 0)

    def test_download_of_a_missing_model(self, w, root, model_store, lines, http_server,
                                         monkeypatch):
        with open(os.path.join(str(model_store), "speaker.onnx"), "rb") as f:
            http_server.routes["/base/nemo_en_titanet_large.onnx"] = Route(f.read())
        monkeypatch.setattr(worker, "SPK_BASE", http_server.url + "/base/")
        worker.load_speaker(w, "titanet")
        assert lines[0] == ("S", 'Downloading the speaker model "TitaNet Large (NVIDIA)" '
                                 '(96 MB, one time only)...')
        m = lines.index(("M", "titanet"))
        progress = lines[1:m]
        assert progress[-1] == ("D", -1, "")
        assert progress[-2][:2] == ("D", 100) and progress[-2][2].startswith(
            "Speaker model TitaNet Large (NVIDIA): 100% (")
        assert [f[0] for f in progress] == ["D"] * len(progress)
        assert os.path.isfile(os.path.join(str(root), "speaker", "nemo_en_titanet_large.onnx"))

    def test_unusable_file_raises_and_keeps_the_previous_extractor(self, w, root, model_store,
                                                                   lines):
        add_speaker_model(root, "wespeaker_en_voxceleb_resnet34_LM.onnx", model_store)
        worker.load_speaker(w, "resnet34")
        active = w.speaker.model
        folder = os.path.join(str(root), "speaker")
        with open(os.path.join(folder, "wespeaker_en_voxceleb_resnet152_LM.onnx"), "wb") as f:
            f.write(b"garbage")
        with pytest.raises(RuntimeError, match="not usable and was deleted"):
            worker.load_speaker(w, "resnet152")
        assert w.speaker.model is active and w.speaker.active_id == "resnet34"
        assert os.listdir(folder) == ["wespeaker_en_voxceleb_resnet34_LM.onnx"]

    def test_a_trial_that_cannot_finish_keeps_the_file(self, w, root, model_store, lines,
                                                       monkeypatch):
        add_speaker_model(root, "wespeaker_en_voxceleb_CAM++_LM.onnx", model_store)
        monkeypatch.setattr(worker, "TRIAL_TIMEOUT", 0.001)
        with pytest.raises(RuntimeError, match="could not be tried: the trial run failed: "
                                               "TimeoutExpired"):
            worker.load_speaker(w, "campp")
        assert w.speaker.model is None and lines == []
        assert os.listdir(os.path.join(str(root), "speaker")) == [
            "wespeaker_en_voxceleb_CAM++_LM.onnx"]


class TestRecognizer:
    @pytest.mark.parametrize("chosen", ["tiny.en", ""])
    def test_gpu_failure_falls_back_to_the_cpu(self, w, root, lines, capsys, monkeypatch, chosen):
        """The user's model stays the user's model on the CPU; the card's model gives way to
        the processor's."""
        import lay_out_whisper
        lay_out_whisper.lay_out(str(root))
        monkeypatch.setattr(worker, "has_nvidia", lambda: True)
        monkeypatch.setattr(worker, "CPU_MODEL", "tiny.en")     # the one model at hand here
        monkeypatch.setenv("DICTATE_MODEL", chosen)
        worker.load_recognizer(w, worker.recognition_model_name())
        if chosen:
            assert lines == [("S", "Loading the recognition model tiny.en..."),
                             ("S", "GPU unavailable, loading on the CPU...")]
        else:
            assert lines == [("S", "Loading the recognition model large-v3..."),
                             ("S", "Downloading Recognition model large-v3 (one time only)..."),
                             ("S", "GPU unavailable, loading on the CPU..."),
                             ("S", "Loading the recognition model tiny.en...")]
        assert w.dev == "CPU" and w.model is not None
        assert "GPU failed: " in capsys.readouterr().err


class TestSegmentationDownload:
    def archive(self, members):
        data = io.BytesIO()
        with tarfile.open(fileobj=data, mode="w:bz2") as tar:
            for name, body in members.items():
                info = tarfile.TarInfo(name)
                info.size = len(body)
                tar.addfile(info, io.BytesIO(body))
        return data.getvalue()

    @pytest.fixture
    def seg(self, root, monkeypatch, http_server):
        monkeypatch.setattr(worker, "SEG_URL", http_server.url + "/seg.tar.bz2")
        return http_server

    def test_extracts_the_model_and_deletes_the_archive(self, w, seg, root, lines):
        seg.routes["/seg.tar.bz2"] = Route(self.archive({
            "sherpa-onnx-pyannote-segmentation-3-0/README.md": b"readme",
            "sherpa-onnx-pyannote-segmentation-3-0/model.int8.onnx": b"small",
            "sherpa-onnx-pyannote-segmentation-3-0/model.onnx": b"the detector"}))
        worker.ensure_segmentation(w)
        folder = os.path.join(str(root), "speaker")
        with open(os.path.join(folder, worker.SEG_FILE), "rb") as f:
            assert f.read() == b"the detector"
        assert sorted(os.listdir(folder)) == [worker.SEG_FILE]
        assert lines[0] == ("S", "Downloading the speaker-turn detector (6 MB, one time only)...")
        assert lines[-2:] == [("D", -1, ""), ("S", "Speaker-turn detector ready.")]
        del lines[:]
        worker.ensure_segmentation(w)             # present: nothing to do
        assert lines == [] and len(seg.requests) == 1

    def test_archive_without_model_writes_nothing_but_says_ready(self, w, seg, root, lines):
        seg.routes["/seg.tar.bz2"] = Route(self.archive({"x/README.md": b"r"}))
        worker.ensure_segmentation(w)
        assert os.listdir(os.path.join(str(root), "speaker")) == []
        assert lines[-1] == ("S", "Speaker-turn detector ready.")

    def test_failure_is_reported_and_a_later_attempt_runs_again(self, w, seg, root, lines, capsys):
        worker.ensure_segmentation(w)              # 404
        assert lines[-2:] == [("D", -1, ""), ("S", "Could not download the speaker-turn "
                                                   "detector: HTTP Error 404: Not Found")]
        assert "segmentation model failed: " in capsys.readouterr().err
        assert w.speakers.download_busy is False
        worker.ensure_segmentation(w)
        assert len(seg.requests) == 2

    def test_two_requests_at_once_download_once(self, w, seg, root, lines):
        seg.routes["/seg.tar.bz2"] = Route(self.archive({"a/model.onnx": b"m" * 1000}),
                                           delay=0.5)
        threads = [threading.Thread(target=worker.ensure_segmentation, args=(w,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(seg.requests) == 1
        assert lines.kinds().count("S") == 2     # one "Downloading", one "ready"
