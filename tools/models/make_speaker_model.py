"""A tiny speaker-embedding model in the ONNX form that sherpa-onnx loads.

The network is a mean over time of the 80 filter-bank features followed by one random matrix, so
its voiceprints mean little; the file, its metadata and the extractor built from it are real.

    python tools/models/make_speaker_model.py ROOT [FILE_NAME]

writes it as ROOT/speaker/FILE_NAME (by default the file of the "resnet34" speaker model).
"""
import os
import sys

import numpy as np


def write_speaker_model(path, dim=16, seed=7):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    weights = numpy_helper.from_array(
        np.random.RandomState(seed).randn(80, dim).astype(np.float32), "W")
    axes = numpy_helper.from_array(np.array([1], dtype=np.int64), "axes")
    feats = helper.make_tensor_value_info("feats", TensorProto.FLOAT, ["N", "T", 80])
    embs = helper.make_tensor_value_info("embs", TensorProto.FLOAT, ["N", dim])
    graph = helper.make_graph(
        [helper.make_node("ReduceMean", ["feats", "axes"], ["mean"], keepdims=0),
         helper.make_node("MatMul", ["mean", "W"], ["embs"])],
        "speaker", [feats], [embs], initializer=[weights, axes])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    meta = {"framework": "wespeaker", "sample_rate": "16000", "output_dim": str(dim),
            "normalize_samples": "0", "language": "English", "url": "generated",
            "comment": "tiny test model", "feature_normalize_type": "global-mean"}
    for key, value in meta.items():
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
