"""model2vec's load options: dimensionality= keeps the first N columns, and quantize_to= holds the
table as float16 or int8, as model2vec's options do."""

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
    model2vec.StaticModel(
        table,
        tokenizer,
        normalize=True,
        weights=rng.uniform(0.1, 2, len(WORDS)),
        token_mapping=rng.integers(0, 6, len(WORDS)),
    ).save_pretrained(str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("dimensionality", [1, 5, 8, 16])
def test_dimensionality_agrees_with_model2vec(saved, dimensionality):
    model = korvane.Model.load(saved, dimensionality=dimensionality)
    static_model = model2vec.StaticModel.from_pretrained(str(saved), dimensionality=dimensionality)
    assert model.dim == dimensionality
    np.testing.assert_allclose(
        model.encode(SENTENCES, max_length=512),
        static_model.encode(SENTENCES, use_multiprocessing=False),
        atol=1e-6,
    )
    again = pickle.loads(pickle.dumps(model))
    assert again.dim == dimensionality
    assert np.array_equal(again.encode(SENTENCES), model.encode(SENTENCES))


@pytest.mark.parametrize(
    "value, error, message",
    [
        (17, ValueError, "has 16 columns, fewer than the 17 asked for"),
        (0, ValueError, "dimensionality must be at least 1"),
        ("8", TypeError, "dimensionality must be an int"),
    ],
)
def test_dimensionality_out_of_reach_is_refused(saved, value, error, message):
    with pytest.raises(error, match=message):
        korvane.Model.load(saved, dimensionality=value)


@pytest.mark.parametrize("dtype", ["F32", "F64", "BF16"])
def test_quantize_to_float16_holds_the_table_as_model2vec_rounds_it(tmp_path, tokenizer, dtype):
    from .package_models import write_table

    rng = np.random.default_rng(6)
    # Values at every scale a half meets: normal, subnormal, ties, its largest.
    table = (rng.standard_normal((len(WORDS), 24)) * np.logspace(-9, 4, 24)).astype(np.float32)
    table = np.clip(table, -60000, 60000)
    table[0, :4] = [2.0**-24 * 1.5, 2.0**-25, 65503.0, 2049.0]
    table[1, :3] = [1 + 2.0**-11, 1 + 3 * 2.0**-11, -(2.0**-14) * (1 - 2.0**-11)]
    write_table(tmp_path / "wide", table, dtype)
    tokenizer.save(str(tmp_path / "wide" / "tokenizer.json"))
    widened = korvane.Model.load(tmp_path / "wide", normalize=False).embed_ids(
        [[i] for i in range(len(WORDS))]
    )
    expected = widened.astype(np.float16)  # numpy's rounding of the values the file holds
    write_table(tmp_path / "half", expected.astype(np.float32), "F16")
    model = korvane.Model.load(tmp_path / "wide", normalize=False, quantize_to="float16")
    assert model.dtype == "F16"
    ids = [[i] for i in range(len(WORDS))]
    # Compared as values: a row's sum starts from +0, so a -0 of the table comes out as +0.
    assert np.array_equal(model.embed_ids(ids).astype(np.float16), expected)
    # The same bits as a table model2vec wrote as float16: encode agrees bit for bit.
    assert np.array_equal(
        korvane.Model.load(tmp_path / "half", normalize=True).embed_ids([[1, 2, 3], [5]]),
        korvane.Model.load(tmp_path / "wide", quantize_to="float16").embed_ids([[1, 2, 3], [5]]),
    )
    again = pickle.loads(pickle.dumps(model))
    assert again.dtype == "F16"


def test_quantize_to_agrees_with_model2vec(saved):
    model = korvane.Model.load(saved, quantize_to="float16")
    static_model = model2vec.StaticModel.from_pretrained(str(saved), quantize_to="float16")
    np.testing.assert_allclose(
        model.encode(SENTENCES, max_length=512),
        static_model.encode(SENTENCES, use_multiprocessing=False),
        atol=2e-3,
    )  # model2vec averages in float16
    with pytest.raises(ValueError, match="quantize_to must be None, 'float16' or 'int8'"):
        korvane.Model.load(saved, quantize_to="int4")


def test_a_value_beyond_float16_is_refused_at_load(tmp_path):
    from .package_models import write_table

    table = np.ones((4, 3), np.float32)
    table[2, 1] = 65520.0  # rounds to infinity as a half
    write_table(tmp_path, table)
    with pytest.raises(ValueError, match=r"beyond float16's range \(row 2, column 1\)"):
        korvane.Model.load(tmp_path, quantize_to="float16")


def int8_tables():
    """Tables whose int8 forms test each step: scales from 1e-6 to 1e4 (values below float16's
    normal range among them), the largest magnitude in a column that dimensionality cuts away,
    values beyond float16's range, an all-zero table."""
    rng = np.random.default_rng(9)
    for scale in (1e-6, 1e-3, 1.0, 40.0, 1e4):
        yield (
            f"scale-{scale:g}",
            (rng.standard_normal((len(WORDS), 256)) * scale).astype(np.float32),
        )
    cut = rng.standard_normal((len(WORDS), 256)).astype(np.float32)
    cut[3, 200] = 9.0
    yield "largest-cut-away", cut
    wide = rng.standard_normal((len(WORDS), 256)).astype(np.float32) * 30000
    wide[5, :3] = [70000.0, -70000.0, 65519.0]
    yield "beyond-float16", wide
    yield "zeros", np.zeros((len(WORDS), 8), np.float32)


@pytest.mark.parametrize("table", [pytest.param(table, id=name) for name, table in int8_tables()])
@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.float64])
def test_quantize_to_int8_holds_model2vecs_integers(tmp_path, tokenizer, table, dtype):
    if dtype == np.float16 and np.abs(table).max() > 65504:
        pytest.skip("a float16 table cannot hold it")
    model2vec.StaticModel(table.astype(dtype), tokenizer, normalize=False).save_pretrained(
        str(tmp_path)
    )
    for dimensionality in (None, 128 if table.shape[1] > 128 else None):
        static_model = model2vec.StaticModel.from_pretrained(
            str(tmp_path), quantize_to="int8", dimensionality=dimensionality
        )
        model = korvane.Model.load(tmp_path, quantize_to="int8", dimensionality=dimensionality)
        assert model.dtype == "I8"
        held = model.embed_ids([[token] for token in range(len(WORDS))])
        assert np.array_equal(held, static_model.embedding.astype(np.float32))


@pytest.mark.parametrize("mapping, weights", [(False, False), (True, True), (False, True)])
@pytest.mark.parametrize("normalize", [True, False])
@pytest.mark.parametrize("dimensionality", [None, 6])
def test_quantize_to_int8_agrees_with_model2vec(
    tmp_path, tokenizer, mapping, weights, normalize, dimensionality
):
    rng = np.random.default_rng(10)
    rows = 6 if mapping else len(WORDS)
    model2vec.StaticModel(
        rng.standard_normal((rows, 16)).astype(np.float32),
        tokenizer,
        normalize=normalize,
        weights=rng.uniform(0.1, 2, len(WORDS)) if weights else None,
        token_mapping=rng.integers(0, rows, len(WORDS)) if mapping else None,
    ).save_pretrained(str(tmp_path))
    static_model = model2vec.StaticModel.from_pretrained(
        str(tmp_path), quantize_to="int8", dimensionality=dimensionality
    )
    model = korvane.Model.load(tmp_path, quantize_to="int8", dimensionality=dimensionality)
    texts = SENTENCES + ["the cat " * 60]
    expected = static_model.encode(texts, use_multiprocessing=False)
    assert expected.dtype == np.float32
    # Unnormalized, model2vec's rows are means of the integers themselves (up to 127).
    np.testing.assert_allclose(model.encode(texts, max_length=512), expected, rtol=1e-6, atol=1e-6)
    sequences = model.encode_as_sequence(texts, max_length=512)
    for got, want in zip(
        sequences, static_model.encode_as_sequence(texts, use_multiprocessing=False)
    ):
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6)
    again = pickle.loads(pickle.dumps(model))
    assert again.dtype == "I8"
    assert np.array_equal(again.encode(texts), model.encode(texts))
