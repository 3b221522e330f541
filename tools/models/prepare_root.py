"""Fills a worker data root with every model it needs, without any network.

    python tools/models/prepare_root.py ROOT [--no-translation] [--no-speaker] [--detector]

lays out the Whisper tiny.en recognizer (run the worker with DICTATE_MODEL=tiny.en), a generated
tiny NLLB translation model as "nllb13" and a generated tiny speaker model as "resnet34";
with --detector also the generated speaker-turn detector. The translation model has random
weights and gibberish output; the speaker model and the detector tell tones and strongly
filtered voices apart, not real speakers. The plumbing around all of them is real.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lay_out_whisper  # noqa: E402
import make_segmentation_model  # noqa: E402
import make_speaker_model  # noqa: E402
import make_translation_model  # noqa: E402

NLLB13_REPO = "OpenNMT/nllb-200-distilled-1.3B-ct2-int8"


def prepare(root, translation=True, speaker=True, detector=False):
    made = [lay_out_whisper.lay_out(root)]
    if translation:
        made.append(make_translation_model.lay_out(root, NLLB13_REPO))
    if speaker:
        made.append(make_speaker_model.lay_out(root))
    if detector:
        made.append(make_segmentation_model.lay_out(root))
    return made


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        print("usage: prepare_root.py ROOT [--no-translation] [--no-speaker] [--detector]",
              file=sys.stderr)
        return 2
    for path in prepare(args[0], "--no-translation" not in argv, "--no-speaker" not in argv,
                        "--detector" in argv):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
