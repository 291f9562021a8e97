"""korvane.convert from every kind of source, and the tables it refuses to write."""

import json
import re
import struct

import numpy as np
import pytest
from safetensors import safe_open
from safetensors.numpy import save_file
from tokenizers import Tokenizer, models

from korvane import Model
from korvane.convert import TENSOR_NAME, load_table, write_model_dir

WIDTH = 6
# Multiples of 1/8 below 4 are exact in BF16, F16 and F32, so every source gives the same table.
TABLE = np.random.default_rng(7).integers(-31, 32, size=(14, WIDTH)) / 8


def write_tokenizer(path, size):
    Tokenizer(models.WordLevel({f"w{i}": i for i in range(size)}, unk_token="w0")).save(str(path))
    return path


def write_bf16_safetensors(path, tables):
    """Writes named float tables as BF16, which numpy cannot hold, in the order given."""
    header, data = {}, b""
    for name, table in tables.items():
        encoded = (np.asarray(table, np.float32).view(np.uint32) >> 16).astype("<u2").tobytes()
        header[name] = {
            "dtype": "BF16",
            "shape": list(np.shape(table)),
            "data_offsets": [len(data), len(data) + len(encoded)],
        }
        data += encoded
    text = json.dumps(header).encode()
    path.write_bytes(struct.pack("<Q", len(text)) + text + data)


def write_source(kind, directory):
    """Returns a `load_table` source of TABLE of the given kind and the tensor name to pass."""
    if kind == "array":
        return TABLE, None
    if kind == "npy":
        np.save(directory / "table.npy", TABLE)
        return directory / "table.npy", None
    path = directory / "weights.safetensors"
    if kind == "safetensors":  # its only 2-D tensor is found without a name
        save_file({"bias": np.ones(4, np.float32), "words": TABLE.astype(np.float32)}, path)
        return path, None
    if kind == "checkpoint directory":  # the known name is found among other 2-D tensors
        save_file(
            {
                "embeddings.position_embeddings.weight": np.ones((3, 2), np.float32),
                "embeddings.word_embeddings.weight": TABLE.astype(np.float32),
            },
            directory / "model.safetensors",
        )
        return directory, None
    write_bf16_safetensors(path, {"positions": np.ones((3, 2)), "words": TABLE})
    return path, "words"


@pytest.mark.parametrize("dtype", ["f32", "f16"])
@pytest.mark.parametrize(
    "kind", ["array", "npy", "safetensors", "checkpoint directory", "BF16 safetensors"]
)
def test_written_model_embeds_the_source_table(tmp_path, kind, dtype):
    source, tensor = write_source(kind, tmp_path)
    model_dir = write_model_dir(
        load_table(source, tensor),
        tmp_path / "model",
        dtype,
        tokenizer=write_tokenizer(tmp_path / "tokenizer.json", len(TABLE)),
    )

    with safe_open(str(model_dir / "model.safetensors"), framework="numpy") as file:
        assert list(file.keys()) == [TENSOR_NAME]
        assert file.get_slice(TENSOR_NAME).get_dtype() == dtype.upper()
    ids = [4, 5, 5, 11, 13]
    embedding = Model.load(model_dir).embed_ids([ids])[0]
    mean = TABLE[ids].mean(axis=0)
    np.testing.assert_allclose(embedding, mean / np.linalg.norm(mean), atol=1e-6)


@pytest.mark.parametrize(
    ("table", "dtype", "rows_named", "message"),
    [
        (np.ones(4), "f32", None, "must be 2-D"),
        (np.ones((2, 3, 4)), "f32", None, "must be 2-D"),
        (np.ones((0, 4)), "f32", None, "at least one row"),
        (np.array([["a", "b"]]), "f32", None, "real numbers"),
        (np.array([[1.0, np.nan]]), "f32", None, "NaN"),
        (np.array([[1.0, 1e5]]), "f16", None, "beyond the range of f16"),
        (np.ones((2, 4)), "bf16", None, "dtype must be"),
        (np.ones((5, 4)), "f32", 6, "up to 5"),
    ],
)
def test_unusable_tables_write_nothing(tmp_path, table, dtype, rows_named, message):
    tokenizer = rows_named and write_tokenizer(tmp_path / "tokenizer.json", rows_named)
    with pytest.raises(ValueError, match=re.escape(message)):
        write_model_dir(table, tmp_path / "model", dtype, tokenizer=tokenizer)
    assert not (tmp_path / "model").exists()


def model2vec_source(directory, tokenizer, mapping, weights, normalize=True):
    """A directory model2vec's save_pretrained writes, with a token mapping and/or weights."""
    model2vec = pytest.importorskip("model2vec")
    rng = np.random.default_rng(3)
    vocabulary = tokenizer.get_vocab_size()
    rows = 6 if mapping else vocabulary
    model2vec.StaticModel(
        rng.standard_normal((rows, 16)).astype(np.float32),
        tokenizer,
        normalize=normalize,
        weights=rng.uniform(0.1, 2, vocabulary) if weights else None,
        token_mapping=rng.integers(0, rows, vocabulary) if mapping else None,
    ).save_pretrained(str(directory))
    return directory, model2vec.StaticModel.from_pretrained(str(directory))


@pytest.mark.parametrize(
    ("mapping", "weights", "normalize"),
    [(False, True, True), (True, True, True), (True, False, True), (True, True, False)],
)
def test_a_model2vec_directory_converts_with_its_mapping_and_weights(
    tmp_path, tokenizer, capsys, mapping, weights, normalize
):
    from korvane.cli import main

    source, static_model = model2vec_source(
        tmp_path / "source", tokenizer, mapping, weights, normalize
    )
    assert main(["convert", str(source), str(tmp_path / "model")]) == 0
    carried = [name for name, present in (("mapping", mapping), ("weights", weights)) if present]
    written = capsys.readouterr().out
    assert "".join(f", {name!r} carried over" for name in carried) in written
    assert f"normalize={'true' if normalize else 'false'}" in written
    with safe_open(str(tmp_path / "model" / "model.safetensors"), framework="numpy") as file:
        assert set(file.keys()) == {TENSOR_NAME, *carried}
    texts = ["the cat sat on the mat", "zebra", "the storm " * 400, ""]
    expected = static_model.encode(texts, max_length=None, use_multiprocessing=False)
    np.testing.assert_allclose(Model.load(tmp_path / "model").encode(texts), expected, atol=1e-6)
    # model2vec reads the converted directory as the one it wrote.
    converted = type(static_model).from_pretrained(str(tmp_path / "model"))
    np.testing.assert_allclose(
        converted.encode(texts, max_length=None, use_multiprocessing=False), expected, atol=1e-6
    )


@pytest.mark.parametrize(
    ("tensors", "tokenizer_size", "message"),
    [
        ({"mapping": np.zeros(9, "<i8")}, 10, "but the token mapping 'mapping' maps only 9"),
        ({"mapping": np.zeros(9, "<f4")}, None, "tensor 'mapping' holds F32, not one of I32, I64"),
        ({"mapping": np.full(9, 14, "<i4")}, None, "tensor 'mapping' maps token ID 0 to row 14"),
        ({"weights": np.ones(13)}, None, "tensor 'weights' holds 13 weights, but the table has 14"),
        (
            {"mapping": np.zeros(9, "<i8"), "weights": np.full(9, np.inf, "<f2")},
            None,
            "tensor 'weights' holds a weight that is infinite or NaN (token ID 0)",
        ),
        ({"weights": np.ones(14, "<i8")}, None, "tensor 'weights' holds I64, not one of F64"),
    ],
    ids=[
        "tokenizer-beyond-mapping",
        "mapping-type",
        "mapping-row",
        "weights-length",
        "weights-infinite",
        "weights-type",
    ],
)
def test_a_mapping_or_weights_that_cannot_serve_write_nothing(
    tmp_path, tensors, tokenizer_size, message
):
    from korvane.convert import convert

    save_file({"embeddings": TABLE.astype(np.float32), **tensors}, tmp_path / "m.safetensors")
    tokenizer = tokenizer_size and write_tokenizer(tmp_path / "tokenizer.json", tokenizer_size)
    with pytest.raises(ValueError, match=re.escape(message)):
        convert(tmp_path / "m.safetensors", tmp_path / "model", tokenizer=tokenizer)
    assert not (tmp_path / "model").exists()
