"""A tiny speaker-embedding model in the ONNX form that sherpa-onnx loads.

The network takes the 80 filter-bank features, keeps in every frame only what rises above that
frame's mean (the shape of the spectrum, not its loudness), averages that over time and sums it
into `dim` bands of neighbouring filters. Two pieces of audio therefore get similar voiceprints
exactly when their spectra peak in the same bands: a 200 Hz tone and a 220 Hz tone are "the same
voice", a 200 Hz tone and a 2 kHz tone are not. That is enough to drive speaker matching with
audio whose answer a test knows; the file, its metadata and the extractor built from it are real.

    python tools/models/make_speaker_model.py ROOT [FILE_NAME]

writes it as ROOT/speaker/FILE_NAME (by default the file of the "resnet34" speaker model).
"""
import os
import sys

import numpy as np

FEATURE_BINS = 80


def band_matrix(dim):
    """(80, dim): column k sums the filters of band k (the last band takes the remainder)."""
    bands = np.zeros((FEATURE_BINS, dim), dtype=np.float32)
    width = FEATURE_BINS // dim
    for k in range(dim):
        stop = FEATURE_BINS if k == dim - 1 else (k + 1) * width
        bands[k * width:stop, k] = 1.0
    return bands


def write_speaker_model(path, dim=16, metadata=True):
    """Writes the model; without metadata it is still valid ONNX, but sherpa-onnx cannot use it
    (and ends the process that tries)."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    inits = [numpy_helper.from_array(band_matrix(dim), "bands"),
             numpy_helper.from_array(np.array([2], dtype=np.int64), "bins_axis"),
             numpy_helper.from_array(np.array([1], dtype=np.int64), "time_axis")]
    feats = helper.make_tensor_value_info("feats", TensorProto.FLOAT, ["N", "T", FEATURE_BINS])
    embs = helper.make_tensor_value_info("embs", TensorProto.FLOAT, ["N", dim])
    nodes = [
        helper.make_node("ReduceMean", ["feats", "bins_axis"], ["frame_mean"], keepdims=1),
        helper.make_node("Sub", ["feats", "frame_mean"], ["shape"]),
        helper.make_node("Relu", ["shape"], ["peaks"]),
        helper.make_node("ReduceMean", ["peaks", "time_axis"], ["profile"], keepdims=0),
        helper.make_node("MatMul", ["profile", "bands"], ["embs"]),
    ]
    graph = helper.make_graph(nodes, "speaker", [feats], [embs], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    # No feature normalisation: subtracting the mean over time would leave the average at zero.
    meta = {"framework": "wespeaker", "sample_rate": "16000", "output_dim": str(dim),
            "normalize_samples": "0", "language": "English", "url": "generated",
            "comment": "tiny test model"}
    for key, value in (meta if metadata else {}).items():
        entry = model.metadata_props.add()
        entry.key, entry.value = key, value
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


def lay_out(root, file_name="wespeaker_en_voxceleb_resnet34_LM.onnx"):
    """Writes the model as root/speaker/file_name, where the worker looks for speaker models."""
    folder = os.path.join(root, "speaker")
    os.makedirs(folder, exist_ok=True)
    return write_speaker_model(os.path.join(folder, file_name))


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: make_speaker_model.py ROOT [FILE_NAME]", file=sys.stderr)
        return 2
    print(lay_out(*argv[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
