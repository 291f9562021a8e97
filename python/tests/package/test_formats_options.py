"""model2vec's load options: dimensionality= keeps the first N columns, as model2vec's does."""

import pickle

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS

model2vec = pytest.importorskip("model2vec")


@pytest.fixture
def saved(tmp_path, tokenizer):
    rng = np.random.default_rng(2)
    table = rng.standard_normal((6, 16)).astype(np.float32)
    model2vec.StaticModel(table, tokenizer, normalize=True, weights=rng.uniform(0.1, 2, len(WORDS)),
                          token_mapping=rng.integers(0, 6, len(WORDS))).save_pretrained(str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("dimensionality", [1, 5, 8, 16])
def test_dimensionality_agrees_with_model2vec(saved, dimensionality):
    model = korvane.Model.load(saved, dimensionality=dimensionality)
    static_model = model2vec.StaticModel.from_pretrained(str(saved), dimensionality=dimensionality)
    assert model.dim == dimensionality
    np.testing.assert_allclose(model.encode(SENTENCES, max_length=512),
                               static_model.encode(SENTENCES, use_multiprocessing=False),
                               atol=1e-6)
    again = pickle.loads(pickle.dumps(model))
    assert again.dim == dimensionality
    assert np.array_equal(again.encode(SENTENCES), model.encode(SENTENCES))


@pytest.mark.parametrize("value, error, message", [
    (17, ValueError, "has 16 columns, fewer than the 17 asked for"),
    (0, ValueError, "dimensionality must be at least 1"),
    ("8", TypeError, "dimensionality must be an int"),
])
def test_dimensionality_out_of_reach_is_refused(saved, value, error, message):
    with pytest.raises(error, match=message):
        korvane.Model.load(saved, dimensionality=value)
