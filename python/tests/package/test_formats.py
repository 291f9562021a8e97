"""Tables with a token mapping and per-token weights (model2vec's vocabulary-quantized and
weighted models): applied as the file says, refused naming the tensor when they cannot be, and in
agreement with model2vec on directories its own save_pretrained writes."""

import json

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS, random_table, safetensors_bytes, table_bytes

model2vec = pytest.importorskip("model2vec")

ROWS = 5  # rows shared by the token IDs of a vocabulary-quantized table
TEXTS = SENTENCES + ["zebra zebra zebra", "the " * 300, "Bank rates, raised!" * 5]


def model2vec_directory(path, tokenizer, *, mapping, weights, normalize, dtype=np.float32):
    """A directory written by model2vec's save_pretrained, and the StaticModel it read back."""
    rng = np.random.default_rng(5)
    rows = ROWS if mapping else len(WORDS)
    table = rng.standard_normal((rows, 16)).astype(dtype)
    token_mapping = rng.integers(0, ROWS, len(WORDS)) if mapping else None
    token_weights = rng.uniform(0.05, 3.0, len(WORDS)) if weights else None
    model2vec.StaticModel(
        table, tokenizer, normalize=normalize, weights=token_weights, token_mapping=token_mapping
    ).save_pretrained(str(path))
    return path, model2vec.StaticModel.from_pretrained(str(path))


@pytest.mark.parametrize("mapping, weights", [(True, True), (True, False), (False, True)])
@pytest.mark.parametrize("normalize", [True, False])
def test_agreement_with_model2vec(tmp_path, tokenizer, mapping, weights, normalize):
    directory, static_model = model2vec_directory(
        tmp_path, tokenizer, mapping=mapping, weights=weights, normalize=normalize
    )
    model = korvane.Model.load(directory)
    assert (model.vocab_size, model.dim, model.normalize) == (len(WORDS), 16, normalize)
    expected = static_model.encode(TEXTS, max_length=512, use_multiprocessing=False)
    np.testing.assert_allclose(model.encode(TEXTS, max_length=512), expected, atol=1e-6)
    # Tokenized by the tokenizers package too, and one thread or many: the same bits.
    fallback = korvane.Model.load(directory, backend="tokenizers")
    many = model.encode(TEXTS * 40, threads=3, batch_size=97)
    assert np.array_equal(fallback.encode(TEXTS * 40, threads=1), many)


@pytest.mark.parametrize("weights", [True, False])
def test_the_tensors_win_without_the_config_key(tmp_path, tokenizer, weights):
    # Once read as a table of ROWS rows, with IDs beyond them refused and the rest wrong.
    directory, static_model = model2vec_directory(
        tmp_path, tokenizer, mapping=True, weights=weights, normalize=True
    )
    config = json.loads((directory / "config.json").read_text())
    del config["vocabulary_quantization"]
    (directory / "config.json").write_text(json.dumps(config))
    np.testing.assert_allclose(
        korvane.Model.load(directory).encode(TEXTS, max_length=512),
        static_model.encode(TEXTS, max_length=512, use_multiprocessing=False),
        atol=1e-6,
    )


def test_ids_are_checked_against_the_vocabulary(tmp_path, tokenizer):
    directory, _ = model2vec_directory(
        tmp_path, tokenizer, mapping=True, weights=True, normalize=True
    )
    model = korvane.Model.load(directory)
    assert model.embed_ids([[len(WORDS) - 1, ROWS + 3]]).shape == (1, 16)
    message = (
        rf"token ID {len(WORDS)} in sentence 1 is outside the table \(vocab_size {len(WORDS)}\)"
    )
    with pytest.raises(IndexError, match=message):
        model.embed_ids([[1], [len(WORDS)]])
    with pytest.raises(IndexError, match=message):
        model.embed_ids(np.array([1, len(WORDS)]), offsets=[0, 1, 2])


def hostile_directory(path, tokenizer, tensors, config=None):
    table = random_table(np.random.default_rng(3), ROWS, 4, "F32")
    path.mkdir(exist_ok=True)
    contents = {"embeddings": ("F32", table_bytes(table, "F32"), table.shape)}
    contents.update(tensors)
    (path / "model.safetensors").write_bytes(safetensors_bytes(contents))
    tokenizer.save(str(path / "tokenizer.json"))
    if config is not None:
        (path / "config.json").write_text(json.dumps(config))
    return path


def vector(dtype, values):
    array = np.asarray(
        values,
        dtype={"I64": "<i8", "I32": "<i4", "F64": "<f8", "F32": "<f4", "F16": "<f2", "U8": "u1"}[
            dtype
        ],
    )
    return (dtype, array.tobytes(), array.shape)


V = len(WORDS)


@pytest.mark.parametrize(
    "tensors, message",
    [
        (
            {"mapping": vector("I32", [0] * (V - 1) + [ROWS])},
            f"tensor 'mapping' maps token ID {V - 1} to row {ROWS}, outside the table of {ROWS} rows",
        ),
        (
            {"mapping": vector("I64", [-1] + [0] * (V - 1))},
            "tensor 'mapping' maps token ID 0 to row -1, outside",
        ),
        (
            {"mapping": vector("F32", [0] * V)},
            "tensor 'mapping' has the element type 'F32'; a token mapping needs I32 or I64",
        ),
        (
            {"mapping": ("I64", np.zeros((V, 2), "<i8").tobytes(), (V, 2))},
            r"tensor 'mapping' has shape \[34, 2\]; a token mapping needs one dimension",
        ),
        (
            {"mapping": vector("I64", [0] * V), "weights": vector("F32", [1.0] * (V - 1))},
            f"tensor 'weights' holds {V - 1} weights, but the token mapping 'mapping' has {V} token IDs",
        ),
        (
            {"weights": vector("F32", [1.0] * V)},
            f"tensor 'weights' holds {V} weights, but table 'embeddings' has {ROWS} rows",
        ),
        (
            {
                "mapping": vector("I64", [0] * V),
                "weights": vector("F64", [1.0] * 7 + [np.nan] * (V - 7)),
            },
            "tensor 'weights' holds a weight that is infinite or NaN \\(token ID 7\\)",
        ),
        (
            {"mapping": vector("I64", [0] * V), "weights": vector("F16", [-np.inf] * V)},
            "infinite or NaN \\(token ID 0\\)",
        ),
        (
            {"mapping": vector("I64", [0] * V), "weights": vector("U8", [1] * V)},
            "tensor 'weights' has the element type 'U8'; per-token weights needs F64 or F32 or F16",
        ),
        (
            {"mapping": ("I64", b"\0" * 8 * (V - 1), (V,))},
            f"tensor 'mapping' holds {8 * (V - 1)} bytes, but its shape \\[{V}\\] of I64 needs {8 * V}",
        ),
    ],
)
def test_hostile_mappings_and_weights_are_refused_naming_the_tensor(
    tmp_path, tokenizer, tensors, message
):
    directory = hostile_directory(tmp_path, tokenizer, tensors)
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(directory)


@pytest.mark.parametrize(
    "config, message",
    [
        ({"vocabulary_quantization": ROWS}, "holds no 'mapping' tensor"),
        ({"vocabulary_quantization": ROWS + 1}, f"but the table 'embeddings' has {ROWS} rows"),
    ],
)
def test_the_config_key_is_a_cross_check(tmp_path, tokenizer, config, message):
    tensors = {} if "no" in message else {"mapping": vector("I32", [1] * V)}
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(hostile_directory(tmp_path, tokenizer, tensors, config))


@pytest.mark.parametrize("dtype", ["F64", "F32", "F16"])
@pytest.mark.parametrize("mapping_dtype", ["I32", "I64"])
def test_every_element_type_of_mapping_and_weights(tmp_path, tokenizer, dtype, mapping_dtype):
    rng = np.random.default_rng(9)
    rows = rng.integers(0, ROWS, V)
    weights = rng.uniform(-2, 2, V).astype({"F64": "<f8", "F32": "<f4", "F16": "<f2"}[dtype])
    directory = hostile_directory(
        tmp_path,
        tokenizer,
        {"mapping": vector(mapping_dtype, rows), "weights": vector(dtype, weights)},
    )
    model = korvane.Model.load(directory, normalize=False)
    table = random_table(np.random.default_rng(3), ROWS, 4, "F32")
    ids = [[1, 5, 9, 5], [33], []]
    expected = [
        np.mean([table[rows[t]] * np.float64(weights[t]) for t in sentence], axis=0)
        if sentence
        else np.zeros(4)
        for sentence in ids
    ]
    np.testing.assert_allclose(model.embed_ids(ids), expected, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize(
    "tensors",
    [
        {"mapping": vector("I32", [])},
        {"mapping": vector("I64", []), "weights": vector("F64", [])},
    ],
    ids=["mapping", "mapping-and-weights"],
)
def test_a_mapping_of_no_token_ids_is_a_vocabulary_of_none(tmp_path, tokenizer, tensors):
    # The tensor's presence decides, not its length: its rows are never used unmapped.
    model = korvane.Model.load(hostile_directory(tmp_path, tokenizer, tensors), normalize=False)
    assert model.vocab_size == 0
    with pytest.raises(IndexError, match=r"token ID 1 in sentence 0 .*\(vocab_size 0\)"):
        model.embed_ids([[1, 2]])
    with pytest.raises(IndexError, match=r"token ID \d+ in texts\[0\] .*\(vocab_size 0\)"):
        model.encode_as_sequence(["the cat"])
    assert np.array_equal(model.embed_ids([[]]), np.zeros((1, 4), np.float32))


@pytest.mark.parametrize(
    "weight, normalize, cause",
    [
        (
            1e300,
            False,
            r"the mean of its rows times their per-token weights exceeds 3\.4e38 "
            r"\(the weights are too large\)",
        ),
        (1e300, True, r"the mean of its rows .*\(the weights are too large\)"),
        (
            1e30,
            True,
            r"the sum of the squares that scale it to unit length exceeds 3\.4e38 "
            r"\(the table's values times the per-token weights are too large\)",
        ),
    ],
    ids=["mean", "mean-normalized", "squares"],
)
def test_an_overflow_through_the_weights_names_them(tmp_path, tokenizer, weight, normalize, cause):
    weights = [1.0] * V
    weights[2] = weight
    tensors = {"mapping": vector("I64", [0] * V), "weights": vector("F64", weights)}
    model = korvane.Model.load(hostile_directory(tmp_path, tokenizer, tensors), normalize=normalize)
    with pytest.raises(
        OverflowError, match=rf"the embedding of sentence 1 overflows float32: {cause}"
    ):
        model.embed_ids([[1], [3, 2]])
