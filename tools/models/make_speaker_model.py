"""A tiny speaker-embedding model in the ONNX form that sherpa-onnx loads.

The network takes the 80 filter-bank features, keeps in every frame only what rises above that
frame's mean (the shape of the spectrum, not its loudness), averages that over time and sums it
into `dim` bands of neighbouring filters. Two pieces of audio therefore get similar voiceprints
exactly when their spectra peak in the same bands: a 200 Hz tone and a 220 Hz tone are "the same
voice", a 200 Hz tone and a 2 kHz tone are not. That is enough to drive speaker matching with
audio whose answer a test knows; the file, its metadata and the extractor built from it are real.

    python tools/models/make_speaker_model.py ROOT [FILE_NAME]

writes it as ROOT/speaker/FILE_NAME (by default the file of the "resnet34" speaker model).

    python tools/models/make_speaker_model.py --real-shape ROOT

writes instead a network of the real shape of the "resnet34" model (wespeaker's ResNet34: 32 to
256 channels in blocks of 3, 4, 6 and 3, statistics pooling, a 256-wide embedding; about 26 MB)
with random weights: its voiceprints mean nothing, but it costs what the real one costs.
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


RESNET34_BLOCKS = ((32, 3, 1), (64, 4, 2), (128, 6, 2), (256, 3, 2))  # channels, blocks, stride
RESNET34_EMBEDDING = 256


class _Graph:
    """Nodes and random weights of a network under construction."""

    def __init__(self, seed):
        self.nodes, self.inits, self.count = [], [], 0
        self.rng = np.random.default_rng(seed)

    def name(self, stem):
        self.count += 1
        return "%s_%d" % (stem, self.count)

    def weight(self, shape, fan_in):
        from onnx import numpy_helper

        name = self.name("w")
        array = (self.rng.standard_normal(shape) / np.sqrt(fan_in)).astype(np.float32)
        self.inits.append(numpy_helper.from_array(array, name))
        return name

    def const(self, array):
        from onnx import numpy_helper

        name = self.name("c")
        self.inits.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def node(self, op, inputs, **attrs):
        from onnx import helper

        out = self.name(op.lower())
        self.nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    def conv(self, x, c_in, c_out, kernel, stride):
        # batch norm folded into the convolution's weights and bias, as in an exported model
        w = self.weight((c_out, c_in, kernel, kernel), c_in * kernel * kernel)
        b = self.const(np.zeros(c_out, dtype=np.float32))
        pad = kernel // 2
        return self.node("Conv", [x, w, b], kernel_shape=[kernel, kernel],
                         strides=[stride, stride], pads=[pad] * 4)

    def block(self, x, c_in, c_out, stride):
        y = self.node("Relu", [self.conv(x, c_in, c_out, 3, stride)])
        y = self.conv(y, c_out, c_out, 3, 1)
        shortcut = x if stride == 1 and c_in == c_out else self.conv(x, c_in, c_out, 1, stride)
        return self.node("Relu", [self.node("Add", [y, shortcut])])


def resnet34_model(seed=1234):
    """wespeaker's ResNet34 speaker network, random weights: features (N, T, 80) in, a 256-wide
    embedding out."""
    from onnx import TensorProto, helper

    g = _Graph(seed)
    feats = helper.make_tensor_value_info("feats", TensorProto.FLOAT, ["N", "T", FEATURE_BINS])
    embs = helper.make_tensor_value_info("embs", TensorProto.FLOAT, ["N", RESNET34_EMBEDDING])
    x = g.node("Unsqueeze", [g.node("Transpose", ["feats"], perm=[0, 2, 1]),
                             g.const(np.array([1], dtype=np.int64))])       # (N, 1, 80, T)
    x = g.node("Relu", [g.conv(x, 1, 32, 3, 1)])
    c_in, bins = 32, FEATURE_BINS
    for c_out, blocks, stride in RESNET34_BLOCKS:
        for i in range(blocks):
            x = g.block(x, c_in, c_out, stride if i == 0 else 1)
            c_in = c_out
        bins = (bins + stride - 1) // stride
    x = g.node("Reshape", [x, g.const(np.array([0, c_in * bins, -1], dtype=np.int64))])
    time_axis = g.const(np.array([2], dtype=np.int64))
    mean = g.node("ReduceMean", [x, time_axis], keepdims=1)
    centred = g.node("Sub", [x, mean])
    var = g.node("ReduceMean", [g.node("Mul", [centred, centred]), time_axis], keepdims=0)
    std = g.node("Sqrt", [g.node("Add", [var, g.const(np.array(1e-5, dtype=np.float32))])])
    mean = g.node("Squeeze", [mean, time_axis])
    stats = g.node("Concat", [mean, std], axis=1)                               # (N, 2 x 2560)
    w = g.weight((2 * c_in * bins, RESNET34_EMBEDDING), 2 * c_in * bins)
    g.nodes.append(helper.make_node("MatMul", [stats, w], ["embs"]))
    graph = helper.make_graph(g.nodes, "resnet34", [feats], [embs], initializer=g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    return model


def write_resnet34(path, seed=1234):
    import onnx

    model = resnet34_model(seed)
    meta = {"framework": "wespeaker", "sample_rate": "16000",
            "output_dim": str(RESNET34_EMBEDDING), "normalize_samples": "0",
            "language": "English", "url": "generated", "comment": "ResNet34 shape, random"}
    for key, value in meta.items():
        entry = model.metadata_props.add()
        entry.key, entry.value = key, value
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


def lay_out(root, file_name="wespeaker_en_voxceleb_resnet34_LM.onnx", real_shape=False):
    """Writes the model as root/speaker/file_name, where the worker looks for speaker models."""
    folder = os.path.join(root, "speaker")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, file_name)
    return write_resnet34(path) if real_shape else write_speaker_model(path)


def main(argv):
    if len(argv) == 3 and argv[1] == "--real-shape":
        print(lay_out(argv[2], real_shape=True))
        return 0
    if len(argv) not in (2, 3):
        print("usage: make_speaker_model.py ROOT [FILE_NAME]", file=sys.stderr)
        return 2
    print(lay_out(*argv[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
