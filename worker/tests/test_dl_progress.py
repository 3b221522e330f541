"""Download progress: time texts, throttling, the hub's progress bars, and file downloads."""
import importlib.util
import os

import pytest

import dl_progress
import hub_cache
from conftest import Route
from fake_hub import COMMIT
from dl_progress import DownloadStalled, Progress, download_file, fetch, fmt_eta


class Clock:
    def __init__(self, t=1000.0):
        self.t = t

    def __call__(self):
        return self.t


class Lines(list):
    def __call__(self, *fields):
        self.append(fields)

    def percents(self):
        return [f[1] for f in self if f[0] == "D" and f[1] != -1]


@pytest.mark.parametrize("seconds, text", [
    (0, "0 s"), (-5, "0 s"), (59.9, "59 s"), (60, "1 min 00 s"), (61.5, "1 min 01 s"),
    (3599, "59 min 59 s"), (3600, "1 h 00 min"), (3660, "1 h 01 min"), (7199, "1 h 59 min"),
    (90000, "25 h 00 min"),
])
def test_fmt_eta_edges(seconds, text):
    assert fmt_eta(seconds) == text


class TestProgress:
    def test_throttles_to_one_line_per_quarter_second_below_100(self):
        clock, lines = Clock(), Lines()
        p = Progress("Model", lines, clock=clock)
        for i in range(10):                      # ten updates within 0.1 s
            p.set("a", (i + 1) * 1_000_000, 100_000_000)
            clock.t += 0.01
        assert lines == [("D", 1, "Model: 1% (1 of 100 MB)")]
        clock.t += 0.25
        p.set("a", 50_000_000, 100_000_000)
        assert lines[-1] == ("D", 50, "Model: 50% (50 of 100 MB)")
        assert len(lines) == 2

    def test_line_reaching_100_is_never_throttled(self):
        clock, lines = Clock(), Lines()
        p = Progress("Model", lines, clock=clock)
        p.set("a", 99_000_000, 100_000_000)
        clock.t += 0.01
        p.set("a", 100_000_000, 100_000_000)
        clock.t += 0.01
        p.set("a", 100_000_000, 100_000_000)
        assert lines.percents() == [99, 100, 100]

    def test_forced_report_ignores_the_throttle(self):
        clock, lines = Clock(), Lines()
        p = Progress("Model", lines, clock=clock)
        p.set("a", 10, 100)
        p.set("a", 20, 100)
        p.report(force=True)
        assert lines.percents() == [10, 20]

    def test_time_estimate_only_after_three_seconds_and_with_bytes(self):
        clock, lines = Clock(), Lines()
        p = Progress("Speaker model ResNet34", lines, clock=clock)
        clock.t += 3.0                           # not more than 3 s yet
        p.set("f", 5_000_000, 25_000_000)
        assert lines[-1][2] == "Speaker model ResNet34: 20% (5 of 25 MB)"
        clock.t += 5.0                           # 8 s: 15 MB left at 10 MB per 8 s
        p.set("f", 10_000_000, 25_000_000)
        assert lines[-1] == ("D", 40, "Speaker model ResNet34: 40% (10 of 25 MB, about 12 s left)")

    def test_no_estimate_while_nothing_arrived(self):
        clock, lines = Clock(), Lines()
        p = Progress("M", lines, clock=clock)
        clock.t += 10
        p.set("f", 0, 25_000_000)
        assert lines == [("D", 0, "M: 0% (0 of 25 MB)")]

    def test_two_files_are_summed(self):
        lines = Lines()
        p = Progress("Translation model NLLB 1.3B", lines, clock=Clock())
        p.parts["one"] = (100_000_000, 100_000_000)
        p.set("two", 50_000_000, 100_000_000)
        assert lines == [("D", 75, "Translation model NLLB 1.3B: 75% (150 of 200 MB)")]

    def test_unknown_total_sends_nothing(self):
        lines = Lines()
        p = Progress("M", lines, clock=Clock())
        p.set("f", 500, 0)
        p.report(force=True)
        assert lines == []

    def test_sizes_round_to_whole_megabytes_and_percent_is_capped(self):
        lines = Lines()
        p = Progress("M", lines, clock=Clock())
        p.set("f", 1_600_000, 1_400_000)         # a server that sends more than it announced
        assert lines == [("D", 100, "M: 100% (2 of 1 MB)")]

    def test_finish_sends_missing_100_once_then_nothing(self):
        clock, lines = Clock(), Lines()
        p = Progress("M", lines, clock=clock)
        p.set("f", 10, 100)
        clock.t += 0.01
        p.parts["f"] = (100, 100)
        p.finish()
        p.set("f", 100, 100)
        p.report(force=True)
        assert lines.percents() == [10, 100]


class TestTqdmClass:
    """The bars are driven the way the hub client drives them."""

    def make(self, monkeypatch):
        lines = Lines()
        bars = dl_progress.tqdm_class("Recognition model small", lines)
        clock = Clock()
        monkeypatch.setattr(bars.progress, "clock", clock)
        return bars, lines, clock

    def test_byte_bars_feed_one_progress_and_close_forces_the_last_line(self, monkeypatch,
                                                                        capsys):
        bars, lines, clock = self.make(monkeypatch)
        files = bars(total=3, unit="it", desc="Fetching 3 files")
        a = bars(total=100_000_000, unit="B", name="huggingface_hub.snapshot_download")
        b = bars(total=100_000_000, unit="B")
        a.update(100_000_000)
        clock.t += 1
        b.update(50_000_000)
        assert lines[-1] == ("D", 75, "Recognition model small: 75% (150 of 200 MB)")
        b.update(10_000_000)                     # throttled
        assert len(lines) == 2
        b.close()
        assert lines[-1][1] == 80
        files.update(3)
        files.close()
        out = capsys.readouterr()
        assert out.out == "" and out.err == ""

    def test_transfer_mirror_bar_is_not_counted_twice(self, monkeypatch):
        bars, lines, clock = self.make(monkeypatch)
        written = bars(total=0, unit="B", name="huggingface_hub.snapshot_download")
        transfer = bars(total=0, unit="B", name="huggingface_hub.snapshot_download.transfer")
        for bar in (written, transfer):
            bar.total = 40_000_000
            bar.update(40_000_000)
        assert lines == [("D", 100, "Recognition model small: 100% (40 of 40 MB)")]

    def test_counts_even_when_the_hub_disables_its_bars(self, monkeypatch):
        from huggingface_hub.utils import disable_progress_bars, enable_progress_bars
        bars, lines, clock = self.make(monkeypatch)
        disable_progress_bars()
        try:
            bar = bars(total=10_000_000, unit="B", name="huggingface_hub.snapshot_download")
            clock.t += 1
            bar.update(5_000_000)
        finally:
            enable_progress_bars()
        assert lines[-1] == ("D", 50, "Recognition model small: 50% (5 of 10 MB)")


class TestFetch:
    def test_cached_repository_returns_its_folder_without_any_line(self, tmp_path, http_server):
        src = tmp_path / "src"
        src.mkdir()
        (src / "config.json").write_text("{}")
        snap = hub_cache.add_snapshot(str(tmp_path / "hf"), "Org/cached-model",
                                      {"config.json": str(src / "config.json")})
        lines = Lines()
        assert fetch("Org/cached-model", str(tmp_path / "hf"), "X", lines) == snap
        assert lines == []
        assert http_server.requests == []


class TestDownloadFile:
    def test_downloads_through_part_file_with_progress(self, tmp_path, http_server):
        body = os.urandom(1_000_000)
        http_server.routes["/m.onnx"] = Route(body, chunk=50_000, pause=0.03)
        dest = tmp_path / "speaker" / "m.onnx"
        lines = Lines()
        download_file(http_server.url + "/m.onnx", str(dest), "Speaker model Tiny", lines)
        assert dest.read_bytes() == body
        assert not os.path.exists(str(dest) + ".part")
        percents = lines.percents()
        assert len(percents) >= 2 and percents == sorted(percents) and percents[-1] == 100
        assert lines[-2] == ("D", 100, "Speaker model Tiny: 100% (1 of 1 MB)")
        assert lines[-1] == ("D", -1, "")

    def test_broken_off_download_keeps_part_file_and_raises(self, tmp_path, http_server):
        body = os.urandom(400_000)
        http_server.routes["/m.onnx"] = Route(body, cut_after=200_000)
        dest = tmp_path / "m.onnx"
        dest.write_bytes(b"old model")
        lines = Lines()
        with pytest.raises(Exception):
            download_file(http_server.url + "/m.onnx", str(dest), "Speaker model Tiny", lines)
        assert dest.read_bytes() == b"old model"
        part = tmp_path / "m.onnx.part"
        assert part.exists() and 0 < part.stat().st_size <= 200_000
        assert ("D", -1, "") not in lines

    def test_missing_file_raises_without_creating_the_destination(self, tmp_path, http_server):
        lines = Lines()
        with pytest.raises(Exception):
            download_file(http_server.url + "/nothing", str(tmp_path / "x.onnx"), "X", lines)
        assert not (tmp_path / "x.onnx").exists()
        assert lines == []

    def test_unknown_size_sends_only_the_closing_line(self, tmp_path, http_server):
        http_server.routes["/blob"] = Route(b"z" * 300_000, length=False, chunk=10_000)
        lines = Lines()
        download_file(http_server.url + "/blob", str(tmp_path / "blob"), "X", lines)
        assert (tmp_path / "blob").read_bytes() == b"z" * 300_000
        assert lines == [("D", -1, "")]

    def test_existing_destination_is_replaced_at_the_end(self, tmp_path, http_server):
        http_server.routes["/m"] = Route(b"new")
        dest = tmp_path / "m"
        dest.write_bytes(b"old")
        download_file(http_server.url + "/m", str(dest), "X", Lines())
        assert dest.read_bytes() == b"new"

    def test_stalled_server_times_out(self, tmp_path, http_server, monkeypatch):
        monkeypatch.setattr(dl_progress, "STALL_SECONDS", 0.5)
        http_server.routes["/slow"] = Route(b"a" * 1000, chunk=100, pause=3.0)
        with pytest.raises(DownloadStalled, match=r"^Download of X stopped: no data for 0.5 s\.$"):
            download_file(http_server.url + "/slow", str(tmp_path / "s"), "X", Lines())
        assert not (tmp_path / "s").exists()


@pytest.fixture
def short_stall(monkeypatch):
    monkeypatch.setattr(dl_progress, "STALL_SECONDS", 0.5)


class TestStallLimit:
    @pytest.mark.parametrize("value", [None, "", "1", "120", "soon"])
    def test_thirty_seconds_whatever_the_environment_says(self, monkeypatch, value):
        if value is None:
            monkeypatch.delenv("DICTATION_STALL_SECONDS", raising=False)
        else:
            monkeypatch.setenv("DICTATION_STALL_SECONDS", value)
        # A copy of its own, so that the module the other tests use keeps its classes.
        module_source = importlib.util.spec_from_file_location("dl_progress_fresh", dl_progress.__file__)
        fresh = importlib.util.module_from_spec(module_source)
        module_source.loader.exec_module(fresh)
        assert fresh.STALL_SECONDS == 30.0
        assert fresh.stalled_text("X") == "Download of X stopped: no data for 30 s."

    @pytest.mark.parametrize("where", ["connection taken, never answered", "answer stops"])
    def test_silent_file_download_ends_with_its_reason(self, tmp_path, http_server, silent_server,
                                                       short_stall, where):
        if where == "answer stops":
            http_server.routes["/m.onnx"] = Route(b"m" * 400_000, chunk=100_000, pause=30)
            url = http_server.url + "/m.onnx"
        else:
            url = silent_server.url + "/m.onnx"
        lines = Lines()
        with pytest.raises(DownloadStalled) as caught:
            download_file(url, str(tmp_path / "m.onnx"), "Speaker model CAM++", lines)
        assert str(caught.value) == "Download of Speaker model CAM++ stopped: no data for 0.5 s."
        assert not (tmp_path / "m.onnx").exists()
        assert ("D", -1, "") not in lines

    def test_slow_file_download_that_keeps_moving_goes_on(self, tmp_path, http_server,
                                                          short_stall):
        # Eight pauses of 0.3 s: the whole takes far longer than the limit, no silence does.
        body = os.urandom(9 * 1000)
        http_server.routes["/m.onnx"] = Route(body, chunk=1000, pause=0.3)
        lines = Lines()
        download_file(http_server.url + "/m.onnx", str(tmp_path / "m.onnx"), "X", lines)
        assert (tmp_path / "m.onnx").read_bytes() == body
        assert lines[-1] == ("D", -1, "")


class TestFetchFromTheHub:
    """fetch against a local stand-in for the model hub, through the real hub client."""

    @pytest.fixture
    def hub(self, http_server, monkeypatch, tmp_path):
        from huggingface_hub import constants
        from fake_hub import FakeHub
        monkeypatch.setattr(constants, "ENDPOINT", http_server.url)
        monkeypatch.setattr(constants, "HUGGINGFACE_CO_URL_TEMPLATE",
                            http_server.url + "/{repo_id}/resolve/{revision}/{filename}")
        repo = tmp_path / "repo"
        repo.mkdir()
        for name in ("model.bin", "extra.bin"):
            (repo / name).write_bytes(os.urandom(1_500_000))
        (repo / "config.json").write_text("{}")
        fake = FakeHub(http_server, chunk=64 * 1024, pause=0.02)
        fake.add_repo("Org/two-files", str(repo))
        return fake

    def test_download_reports_the_real_size_once_and_closes(self, hub, tmp_path):
        lines = Lines()
        folder = fetch("Org/two-files", str(tmp_path / "hf"), "Translation model Test", lines)
        assert sorted(os.listdir(folder)) == ["config.json", "extra.bin", "model.bin"]
        assert lines[0] == ("S", "Downloading Translation model Test (one time only)...")
        assert lines[-1] == ("D", -1, "")
        progress = lines[1:-1]
        assert progress and all(f[0] == "D" for f in progress)
        assert progress[-1] == ("D", 100, "Translation model Test: 100% (3 of 3 MB)")
        assert all(0 <= p <= 100 for p in lines.percents())
        # Bars the client leaves to the garbage collector must stay silent from now on.
        import gc
        gc.collect()
        count = len(lines)
        assert fetch("Org/two-files", str(tmp_path / "hf"), "Translation model Test",
                     lines) == folder
        gc.collect()
        assert len(lines) == count

    def test_allowed_patterns_limit_the_download(self, hub, tmp_path, http_server):
        lines = Lines()
        folder = fetch("Org/two-files", str(tmp_path / "hf"), "Recognition model x", lines,
                       ["config.json", "model.*"])
        assert sorted(os.listdir(folder)) == ["config.json", "model.bin"]
        assert progress_total(lines) == "2 MB"
        assert not any("extra.bin" in path for _, path in http_server.requests)

    def test_hub_that_takes_the_connection_and_never_answers(self, hub, tmp_path, silent_server,
                                                             monkeypatch, short_stall):
        from huggingface_hub import constants
        monkeypatch.setattr(constants, "ENDPOINT", silent_server.url)
        monkeypatch.setattr(constants, "HUGGINGFACE_CO_URL_TEMPLATE",
                            silent_server.url + "/{repo_id}/resolve/{revision}/{filename}")
        lines = Lines()
        with pytest.raises(DownloadStalled) as caught:
            fetch("Org/two-files", str(tmp_path / "hf"), "Translation model Test", lines)
        assert str(caught.value) == ("Download of Translation model Test stopped: "
                                     "no data for 0.5 s.")
        assert lines == [("S", "Downloading Translation model Test (one time only)...")]
        # Given up at the first silence, not tried again and again.
        assert silent_server.accepted == 1

    def test_hub_file_that_stops_arriving(self, hub, tmp_path, http_server, short_stall):
        hub.pause = 30          # the first piece of each file comes, then nothing
        lines = Lines()
        with pytest.raises(DownloadStalled, match="no data for 0.5 s"):
            fetch("Org/two-files", str(tmp_path / "hf"), "Translation model Test", lines)
        assert lines[0] == ("S", "Downloading Translation model Test (one time only)...")
        assert ("D", -1, "") not in lines
        assert [p for c, p in http_server.requests if c == "GET" and p.endswith("/model.bin")] == [
            "/Org/two-files/resolve/%s/model.bin" % COMMIT]

    def test_slow_hub_download_that_keeps_moving_goes_on(self, hub, tmp_path, short_stall):
        hub.chunk, hub.pause = 200_000, 0.3     # eight pieces a file, 2 s and more in all
        lines = Lines()
        folder = fetch("Org/two-files", str(tmp_path / "hf"), "Translation model Test", lines)
        assert sorted(os.listdir(folder)) == ["config.json", "extra.bin", "model.bin"]
        assert lines[-1] == ("D", -1, "")

    def test_failed_download_raises_without_closing_line(self, hub, tmp_path):
        lines = Lines()
        with pytest.raises(Exception):
            fetch("Org/missing", str(tmp_path / "hf"), "Translation model Test", lines)
        assert lines == [("S", "Downloading Translation model Test (one time only)...")]


def progress_total(lines):
    last = [f for f in lines if f[0] == "D" and f[1] != -1][-1][2]
    return last.rsplit(" of ", 1)[1].rstrip(")")
