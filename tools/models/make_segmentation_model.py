"""A tiny speaker-turn detector in the ONNX form of sherpa-onnx's pyannote segmentation models.

Like the real detector it takes a window of 10 s of samples, shape (1, 1, 160000), and gives for
each frame the scores of the seven "powerset" classes of three local speakers (nobody; speaker
1, 2 or 3 alone; two of them at once). Instead of a trained network it looks at two plain
figures of each 20 ms frame: its energy and how often the signal crosses zero. A quiet frame is
nobody; a loud frame with few zero crossings (a low voice, below about 800 Hz) is local speaker
1; a loud frame with many crossings is local speaker 2. So audio made of low and high tones has
turns that a test knows in advance, while the diarization around the model is sherpa-onnx's own.

    python tools/models/make_segmentation_model.py ROOT

writes it as ROOT/speaker/pyannote-segmentation-3-0.onnx, where the worker looks for it.
"""
import os
import sys

import numpy as np

SAMPLE_RATE = 16000
WINDOW = 10 * SAMPLE_RATE
HOP = 320                       # samples per output frame (20 ms)
FRAMES = WINDOW // HOP
LOUD = 1e-4                     # mean square of a frame above which somebody speaks
LOW_VOICE_CROSSINGS = 0.1       # zero crossings per sample below which the voice is "low"
FILE_NAME = "pyannote-segmentation-3-0.onnx"


def write_segmentation_model(path):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    def const(name, value, dtype=np.float32):
        return numpy_helper.from_array(np.array(value, dtype=dtype), name)

    inits = [
        const("frame_shape", [FRAMES, HOP], np.int64),
        const("axis1", [1], np.int64),
        const("starts1", [1], np.int64), const("ends_all", [HOP], np.int64),
        const("starts0", [0], np.int64), const("ends_but_last", [HOP - 1], np.int64),
        const("zero", 0.0), const("loud", LOUD), const("low", LOW_VOICE_CROSSINGS),
        const("two", 2.0), const("one", 1.0),
        const("others", np.zeros((FRAMES, 4), dtype=np.float32)),
        const("out_shape", [1, FRAMES, 7], np.int64),
    ]
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 1, WINDOW])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, FRAMES, 7])
    n = helper.make_node
    nodes = [
        n("Reshape", ["x", "frame_shape"], ["frames"]),
        n("Mul", ["frames", "frames"], ["square"]),
        n("ReduceMean", ["square", "axis1"], ["energy"], keepdims=1),          # (F, 1)
        n("Slice", ["frames", "starts1", "ends_all", "axis1"], ["later"]),
        n("Slice", ["frames", "starts0", "ends_but_last", "axis1"], ["earlier"]),
        n("Mul", ["later", "earlier"], ["pairs"]),
        n("Less", ["pairs", "zero"], ["crossing"]),
        n("Cast", ["crossing"], ["crossing_f"], to=TensorProto.FLOAT),
        n("ReduceMean", ["crossing_f", "axis1"], ["rate"], keepdims=1),        # (F, 1)
        n("Greater", ["energy", "loud"], ["is_loud"]),
        n("Cast", ["is_loud"], ["loud_f"], to=TensorProto.FLOAT),
        n("Less", ["rate", "low"], ["is_low"]),
        n("Cast", ["is_low"], ["low_f"], to=TensorProto.FLOAT),
        n("Sub", ["one", "loud_f"], ["nobody"]),
        n("Mul", ["loud_f", "low_f"], ["low_voice"]),
        n("Sub", ["loud_f", "low_voice"], ["high_voice"]),
        n("Mul", ["low_voice", "two"], ["speaker1"]),
        n("Mul", ["high_voice", "two"], ["speaker2"]),
        n("Concat", ["nobody", "speaker1", "speaker2", "others"], ["scores"], axis=1),
        n("Reshape", ["scores", "out_shape"], ["y"]),
    ]
    graph = helper.make_graph(nodes, "segmentation", [x], [y], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    meta = {"model_type": "pyannote-segmentation-3.0", "version": "1",
            "model_author": "generated", "license": "none",
            "sample_rate": str(SAMPLE_RATE), "window_size": str(WINDOW),
            "receptive_field_size": str(2 * HOP), "receptive_field_shift": str(HOP),
            "num_speakers": "3", "powerset_max_classes": "2", "num_classes": "7"}
    for key, value in meta.items():
        entry = model.metadata_props.add()
        entry.key, entry.value = key, value
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


def lay_out(root):
    folder = os.path.join(root, "speaker")
    os.makedirs(folder, exist_ok=True)
    return write_segmentation_model(os.path.join(folder, FILE_NAME))


def main(argv):
    if len(argv) != 2:
        print("usage: make_segmentation_model.py ROOT", file=sys.stderr)
        return 2
    print(lay_out(argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
