"""install_models.py run as the installer runs it: a child interpreter with -u, its data folder
next to the script, the hub and the release area served from 127.0.0.1."""
import os
import shutil
import subprocess
import sys

import pytest
from faster_whisper.utils import _MODELS

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(HERE), "install_models.py")
sys.path.insert(0, os.path.dirname(HERE))
import install_models  # noqa: E402
from conftest import COMMIT  # noqa: E402

NLLB = "OpenNMT/nllb-200-distilled-1.3B-ct2-int8"
SPEAKER_PATH = "/k2-fsa/sherpa-onnx/releases/download/speaker-recongition-models/wespeaker_en_voxceleb_resnet34_LM.onnx"
SPEAKER_BYTES = bytes(range(256)) * 400
WHISPER_FILES = {"config.json": b"{}", "preprocessor_config.json": b"{\"n\": 1}", "model.bin": b"\x01" * 5000,
                 "tokenizer.json": b"{\"t\": 2}", "vocabulary.txt": b"a\nb\n", "README.md": b"not needed",
                 "model.safetensors": b"not needed either"}
NLLB_FILES = {"config.json": b"{}", "model.bin": b"\x02" * 7000, "tokenizer.json": b"{}",
              "shared_vocabulary.json": b"[]", "README.md": b"kept: the whole snapshot"}

READY = ["Downloading NLLB-200 distilled 1.3B (translation) ...", "Downloading the speaker model (26 MB) ..."]


@pytest.fixture
def install_dir(tmp_path):
    folder = tmp_path / "Colloquor"
    folder.mkdir()
    shutil.copy(SCRIPT, folder / "install_models.py")
    return folder


def serve_models(server, whisper="small"):
    server.repos[_MODELS[whisper]] = dict(WHISPER_FILES)
    server.repos[NLLB] = dict(NLLB_FILES)
    server.files[SPEAKER_PATH] = SPEAKER_BYTES


def run_script(install_dir, server_url, *args, releases=None, extra_env=None, cwd=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("HF_", "HUGGINGFACE"))}
    env.pop("DICTATION_RELEASES_HOST", None)
    env["HF_ENDPOINT"] = server_url
    env["DICTATION_RELEASES_HOST"] = releases or server_url
    env.update(extra_env or {})
    # The working directory is deliberately elsewhere: the data folder follows the script.
    return subprocess.run([sys.executable, "-u", str(install_dir / "install_models.py"), *args],
                          cwd=str(cwd or install_dir.parent), env=env, capture_output=True, text=True,
                          timeout=300)


def snapshot(install_dir, repo):
    return install_dir / "data" / "hf" / ("models--" + repo.replace("/", "--")) / "snapshots" / COMMIT


def test_processor_run_fetches_small_nllb_and_the_speaker_model(server, install_dir):
    serve_models(server)
    result = run_script(install_dir, server.url)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["Downloading Whisper small ..."] + READY + ["Models are ready."]

    whisper = snapshot(install_dir, _MODELS["small"])
    assert sorted(os.listdir(whisper)) == ["config.json", "model.bin", "preprocessor_config.json",
                                           "tokenizer.json", "vocabulary.txt"]
    assert (whisper / "model.bin").read_bytes() == WHISPER_FILES["model.bin"]
    assert sorted(os.listdir(snapshot(install_dir, NLLB))) == sorted(NLLB_FILES)
    speaker = install_dir / "data" / "speaker" / "wespeaker_en_voxceleb_resnet34_LM.onnx"
    assert speaker.read_bytes() == SPEAKER_BYTES
    assert os.listdir(speaker.parent) == [speaker.name]
    assert not (install_dir.parent / "data").exists()


def test_gpu_flag_fetches_large_v3(server, install_dir):
    serve_models(server, "large-v3")
    result = run_script(install_dir, server.url, "--gpu")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "Downloading Whisper large-v3 ..."
    assert (snapshot(install_dir, _MODELS["large-v3"]) / "model.bin").exists()
    assert not server.requested("faster-whisper-small")


def test_second_run_keeps_the_speaker_file_and_prints_no_skipped_line(server, install_dir):
    serve_models(server)
    speaker = install_dir / "data" / "speaker" / "wespeaker_en_voxceleb_resnet34_LM.onnx"
    speaker.parent.mkdir(parents=True)
    speaker.write_bytes(b"already here")
    result = run_script(install_dir, server.url)
    assert result.returncode == 0, result.stderr
    assert "skipped" not in result.stdout
    assert speaker.read_bytes() == b"already here"
    assert not server.requested("speaker-recongition-models")


@pytest.mark.parametrize("case", ["no server", "missing file", "cut off"])
def test_speaker_model_failures_are_reported_and_never_fail_the_script(server, install_dir, case):
    serve_models(server)
    releases = None
    if case == "no server":
        releases = "http://127.0.0.1:9"
    elif case == "missing file":
        del server.files[SPEAKER_PATH]
    else:
        server.cut.add(SPEAKER_PATH)
    result = run_script(install_dir, server.url, releases=releases)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "Models are ready."
    skipped = lines[-2]
    assert skipped.startswith("  skipped (") and skipped.endswith(
        ") - the app will download it when that mode is switched on"), skipped
    assert len(skipped) > len("  skipped () - the app will download it when that mode is switched on")
    if case == "missing file":
        assert "404" in skipped
    # Never a half file under the final name.
    assert not (install_dir / "data" / "speaker" / "wespeaker_en_voxceleb_resnet34_LM.onnx").exists()


@pytest.mark.parametrize("missing", ["whisper", "translation"])
def test_required_model_failure_ends_with_an_error_status(server, install_dir, missing):
    serve_models(server)
    del server.repos[_MODELS["small"] if missing == "whisper" else NLLB]
    result = run_script(install_dir, server.url)
    assert result.returncode != 0
    assert "Traceback" in result.stderr
    assert "Models are ready." not in result.stdout
    assert "Downloading the speaker model (26 MB) ..." not in result.stdout
    assert not server.requested("speaker-recongition-models")


def test_environment_defaults_only_fill_what_is_unset(monkeypatch, tmp_path):
    calls = []

    def fake_snapshot(repo_id, cache_dir=None, allow_patterns=None):
        calls.append((repo_id, cache_dir, allow_patterns, os.environ.get("HF_HOME"),
                      os.environ.get("HF_HUB_DISABLE_SYMLINKS_WARNING")))
        return cache_dir

    import huggingface_hub
    monkeypatch.setattr(huggingface_hub, "snapshot_download", fake_snapshot)
    monkeypatch.setattr(install_models, "download_speaker_model", lambda root: None)
    monkeypatch.setattr(install_models, "__file__", str(tmp_path / "install_models.py"))
    hf = str(tmp_path / "data" / "hf")

    monkeypatch.delenv("HF_HOME", raising=False)
    monkeypatch.delenv("HF_HUB_DISABLE_SYMLINKS_WARNING", raising=False)
    assert install_models.main([]) == 0
    assert calls[0] == (_MODELS["small"], hf, install_models.WHISPER_PATTERNS, hf, "1")
    assert calls[1] == (NLLB, hf, None, hf, "1")

    calls.clear()
    monkeypatch.setenv("HF_HOME", "/elsewhere")
    monkeypatch.setenv("HF_HUB_DISABLE_SYMLINKS_WARNING", "0")
    assert install_models.main(["--gpu"]) == 0
    assert calls[0] == (_MODELS["large-v3"], hf, install_models.WHISPER_PATTERNS, "/elsewhere", "0")
    assert os.path.isdir(hf)
