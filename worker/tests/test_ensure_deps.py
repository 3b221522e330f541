"""The dependency check: reading the package list, asking the installed metadata, running pip."""
import base64
import hashlib
import os
import zipfile

import pytest

import worker
from conftest import Route

SHIPPED = os.path.join(worker.SCRIPT_DIR, "requirements.txt")


def build_wheel(folder, name="colloquor_probe", version="1.0", payload_size=2_000_000):
    """A pure-Python wheel made by hand, so no build backend (and no network) is needed."""
    files = {
        "%s/__init__.py" % name: b"VALUE = 42\n",
        # Incompressible filler so that pip shows download progress for it.
        "%s/filler.bin" % name: os.urandom(payload_size),
    }
    info = "%s-%s.dist-info" % (name, version)
    files[info + "/METADATA"] = ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
                                 % (name.replace("_", "-"), version)).encode()
    files[info + "/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: hand\nRoot-Is-Purelib: true\n"
                              b"Tag: py3-none-any\n")
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (path, digest, len(data)))
    record.append(info + "/RECORD,,")
    files[info + "/RECORD"] = ("\n".join(record) + "\n").encode()
    path = os.path.join(str(folder), "%s-%s-py3-none-any.whl" % (name, version))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as whl:
        for member, data in files.items():
            whl.writestr(member, data)
    return path


def test_shipped_list_is_the_installer_format():
    with open(SHIPPED, "rb") as f:
        data = f.read()
    lines = data.split(b"\r\n")
    assert lines[-1] == b"" and b"\n" not in data.replace(b"\r\n", b"")
    names = [worker.requirement_name(line.split(b"#")[0].strip().decode())
             for line in lines if line and not line.startswith(b"#")]
    assert names == ["faster-whisper", "ctranslate2", "tokenizers", "huggingface_hub", "numpy",
                     "sherpa-onnx", "nvidia-cublas-cu12", "nvidia-cudnn-cu12"]


class TestMissingRequirements:
    def test_shipped_list_is_complete_here_without_gpu(self):
        with open(SHIPPED, encoding="utf-8") as f:
            assert worker.missing_requirements(f.read(), gpu=False) == []

    def test_cuda_lines_are_skipped_without_gpu_and_passed_whole_with_one(self):
        text = ("numpy>=1.26\r\n"
                "nvidia-cublas-cu12; sys_platform != \"darwin\"\r\n"
                "NVIDIA-cudnn-cu12==9.*; sys_platform != \"darwin\"  # runtime\r\n")
        assert worker.missing_requirements(text, gpu=False) == []
        assert worker.missing_requirements(text, gpu=True) == [
            'nvidia-cublas-cu12; sys_platform != "darwin"',
            'NVIDIA-cudnn-cu12==9.*; sys_platform != "darwin"',
        ]

    @pytest.mark.parametrize("line, name", [
        ("faster-whisper>=1.2.0  # comment", "faster-whisper"),
        ("huggingface_hub>=0.30", "huggingface_hub"),
        ("pkg[extra]>=1", "pkg"),
        ("pkg~=1.0", "pkg"),
        ("pkg!=2", "pkg"),
        ("pkg;python_version<'4'", "pkg"),
        ("pkg @ https://example.invalid/pkg.whl", "pkg"),
        ("plain", "plain"),
    ])
    def test_package_name_ends_at_the_first_operator(self, line, name):
        assert worker.requirement_name(line) == name

    def test_comments_and_blank_lines_are_ignored(self):
        text = "# only a comment\n\n   \n  # indented comment\nnumpy  # installed\n"
        assert worker.missing_requirements(text, gpu=False) == []
        assert worker.missing_requirements("colloquor-not-there>=1  # c\n", gpu=False) == [
            "colloquor-not-there>=1"]


class TestPipReader:
    def test_statuses_progress_and_file_names(self, lines, monkeypatch, capsys):
        clock = [100.0]
        reader = worker.PipReader(lines, clock=lambda: clock[0])
        reader.feed("Collecting colloquor-probe\n")
        reader.feed("  Downloading " + "x" * 60 + ".whl (2.0 MB)\n")
        reader.feed("Progress 500000 of 2000000\n")
        clock[0] += 0.2
        reader.feed("Progress 1000000 of 2000000\n")            # within 0.3 s: dropped
        clock[0] += 0.2
        reader.feed("Progress 2000000 of 2000000\n")
        reader.feed("Progress 5 of 0\n")                         # no total: dropped
        reader.feed("   \n")
        reader.feed("Installing collected packages: colloquor-probe " + "y" * 200 + "\n")
        reader.feed("Successfully installed colloquor-probe-1.0\n")
        reader.feed("Requirement already satisfied: numpy\n")
        name = "x" * 48
        assert lines == [
            ("S", "pip: Collecting colloquor-probe"),
            ("D", 25, "Installing packages - %s: 25%% (0 of 2 MB)" % name),
            ("D", 100, "Installing packages - %s: 100%% (2 of 2 MB)" % name),
            ("S", "pip: " + ("Installing collected packages: colloquor-probe " + "y" * 200)[:110]),
            ("S", "pip: Successfully installed colloquor-probe-1.0"),
        ]
        err = capsys.readouterr().err
        assert "Progress" not in err
        assert "Requirement already satisfied: numpy" in err
        assert "Collecting colloquor-probe" in err

    def test_progress_before_any_download_line_names_download(self, lines):
        worker.PipReader(lines, clock=lambda: 50.0).feed("Progress 1 of 4")
        assert lines == [("D", 25, "Installing packages - download: 25% (0 of 0 MB)")]


class TestEnsureDeps:
    @pytest.fixture
    def pip_env(self, tmp_path, monkeypatch):
        target = tmp_path / "target"
        monkeypatch.setenv("PIP_TARGET", str(target))   # keep the shared environment clean
        monkeypatch.setenv("PIP_NO_INDEX", "1")
        monkeypatch.setenv("PIP_NO_CACHE_DIR", "1")
        monkeypatch.setattr(worker, "has_nvidia", lambda: False)
        return target

    def test_installs_a_missing_package_with_progress(self, tmp_path, lines, pip_env,
                                                       http_server, monkeypatch):
        wheel = build_wheel(tmp_path)
        with open(wheel, "rb") as f:
            http_server.routes["/colloquor_probe-1.0-py3-none-any.whl"] = Route(
                f.read(), chunk=64 * 1024, pause=0.03)
        req = "colloquor-probe @ %s/colloquor_probe-1.0-py3-none-any.whl" % http_server.url
        (tmp_path / "requirements.txt").write_bytes(
            ("# probe\r\nnumpy>=1.26\r\n%s  # local\r\n"
             "nvidia-cublas-cu12; sys_platform != \"darwin\"\r\n" % req).encode())
        worker.ensure_deps(lines, str(tmp_path))
        assert lines[0] == ("S", "Installing missing Python packages (colloquor-probe)...")
        assert lines[-1] == ("D", -1, "")
        progress = [f for f in lines if f[0] == "D" and f[1] != -1]
        assert progress, lines
        assert all(f[2].startswith("Installing packages - ") for f in progress)
        percents = [f[1] for f in progress]
        assert percents == sorted(percents) and all("of 2 MB)" in f[2] for f in progress)
        assert any(f[0] == "S" and f[1].startswith("pip: Successfully installed") for f in lines)
        assert (pip_env / "colloquor_probe" / "__init__.py").exists()

        # Once the package is visible to the metadata, nothing is said or run any more.
        monkeypatch.syspath_prepend(str(pip_env))
        del lines[:]
        requests = len(http_server.requests)
        worker.ensure_deps(lines, str(tmp_path))
        assert lines == []
        assert len(http_server.requests) == requests

    def test_failed_install_is_reported_and_start_up_goes_on(self, tmp_path, lines, pip_env):
        (tmp_path / "requirements.txt").write_text("colloquor-absent-package>=1\n")
        worker.ensure_deps(lines, str(tmp_path))
        assert lines[0] == ("S", "Installing missing Python packages (colloquor-absent-package)...")
        assert lines[-2:] == [("D", -1, ""),
                              ("S", "Installing packages failed (see worker.log); "
                                    "trying to continue...")]

    def test_pip_without_raw_progress_is_run_again_without_it(self, tmp_path, lines, pip_env,
                                                                monkeypatch):
        # An interpreter whose pip predates the raw progress bar, as pip 24.0 answers.
        calls = tmp_path / "calls"
        fake = tmp_path / "python"
        fake.write_text("#!/bin/sh\n"
                        "echo \"$*\" >> '%s'\n"
                        "case \"$*\" in *'--progress-bar raw'*)\n"
                        "  echo \"pip install: error: option --progress-bar: invalid choice: "
                        "'raw' (choose from 'on', 'off')\" >&2; exit 2;;\n"
                        "esac\n"
                        "echo 'Successfully installed colloquor-old-pip-1.0'\n" % calls)
        fake.chmod(0o755)
        monkeypatch.setattr(worker.sys, "executable", str(fake))
        (tmp_path / "requirements.txt").write_text("colloquor-old-pip>=1\n")
        worker.ensure_deps(lines, str(tmp_path))
        assert calls.read_text().splitlines() == [
            "-m pip install --disable-pip-version-check --progress-bar raw colloquor-old-pip>=1",
            "-m pip install --disable-pip-version-check --progress-bar off colloquor-old-pip>=1"]
        assert lines[-2:] == [("S", "pip: Successfully installed colloquor-old-pip-1.0"),
                              ("D", -1, "")]

    def test_no_list_means_nothing_is_done(self, tmp_path, lines, pip_env):
        worker.ensure_deps(lines, str(tmp_path))
        assert lines == []

    def test_error_inside_the_check_is_logged_only(self, tmp_path, lines, pip_env, capsys):
        (tmp_path / "requirements.txt").write_bytes(b"\xff\xfe not utf-8 \xc3\x28\n")
        worker.ensure_deps(lines, str(tmp_path))
        assert lines == []
        assert capsys.readouterr().err.startswith("dependency check failed: UnicodeDecodeError")
