"""Per-token output: Model.encode_as_sequence against model2vec's encode_as_sequence, on plain,
weighted and vocabulary-quantized directories model2vec wrote."""

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS

model2vec = pytest.importorskip("model2vec")

TEXTS = SENTENCES + ["zebra zebra zebra", "the cat " * 40]
# Texts for which model2vec's cut of max_length x median-token-length characters keeps every
# token that the cut to max_length tokens keeps.
SHORT_TOKENS = [". , ! the cat", "zebra . , ! sat", "! ! zebra zebra mat", ", the"]


@pytest.mark.parametrize("mapping, weights", [(False, False), (True, True), (False, True)])
@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_agreement_with_model2vec(tmp_path, tokenizer, mapping, weights, dtype):
    rng = np.random.default_rng(8)
    rows = 5 if mapping else len(WORDS)
    model2vec.StaticModel(
        rng.standard_normal((rows, 12)).astype(dtype),
        tokenizer,
        normalize=True,
        weights=rng.uniform(0.1, 2, len(WORDS)) if weights else None,
        token_mapping=rng.integers(0, rows, len(WORDS)) if mapping else None,
    ).save_pretrained(str(tmp_path))
    static_model = model2vec.StaticModel.from_pretrained(str(tmp_path))
    model = korvane.Model.load(tmp_path)
    for texts, max_length in ((TEXTS, None), (SHORT_TOKENS, 3)):
        found = model.encode_as_sequence(texts, max_length=max_length, threads=2)
        expected = static_model.encode_as_sequence(
            texts, max_length=512 if max_length is None else max_length, use_multiprocessing=False
        )
        assert [rows.shape for rows in found] == [rows.shape for rows in expected]
        for got, want in zip(found, expected):
            assert got.dtype == np.float32
            np.testing.assert_allclose(got, want.astype(np.float64), rtol=1e-6, atol=1e-6)
    # Their mean is encode's row before normalizing.
    plain = korvane.Model.load(tmp_path, normalize=False)
    means = [rows.mean(axis=0) if len(rows) else np.zeros(12) for rows in found]
    np.testing.assert_allclose(plain.encode(SHORT_TOKENS, max_length=3), means, atol=1e-6)


def test_an_id_beyond_the_vocabulary_names_the_text(tmp_path, tokenizer):
    from .package_models import write_table

    directory = write_table(tmp_path, np.ones((8, 4), np.float32))
    tokenizer.save(str(directory / "tokenizer.json"))
    with pytest.raises(IndexError, match=r"token ID \d+ in texts\[1\] is outside the table"):
        korvane.Model.load(directory).encode_as_sequence(["the a", "the storm"])
