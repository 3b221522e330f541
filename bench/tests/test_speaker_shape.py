"""The speaker network of the real ResNet34 shape: sherpa-onnx takes it as the worker would."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools", "models"))

import make_speaker_model  # noqa: E402


def test_the_resnet34_shape_gives_a_256_wide_voiceprint_from_any_length(tmp_path):
    import sherpa_onnx

    path = make_speaker_model.lay_out(str(tmp_path), real_shape=True)
    # the published model is about 25 MB: 6.6 million weights
    assert 24e6 < os.path.getsize(path) < 29e6
    extractor = sherpa_onnx.SpeakerEmbeddingExtractor(
        sherpa_onnx.SpeakerEmbeddingExtractorConfig(model=path, num_threads=1, provider="cpu"))
    assert extractor.dim == 256
    rng = np.random.default_rng(1)
    prints = []
    for seconds in (0.8, 3.0):
        stream = extractor.create_stream()
        stream.accept_waveform(16000, (rng.standard_normal(int(seconds * 16000)) * 0.1)
                               .astype(np.float32))
        stream.input_finished()
        prints.append(np.array(extractor.compute(stream)))
    assert all(p.shape == (256,) and np.isfinite(p).all() for p in prints)
    assert not np.allclose(prints[0], prints[1])
