"""The examples' preparation and embedding, end to end on a tiny table and tokenizer."""

import json
import os
import re
import struct
import sys
from pathlib import Path

import numpy as np
import pytest
from safetensors import safe_open
from safetensors.numpy import save_file
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402
import embed_file  # noqa: E402
import korvane_py  # noqa: E402
import prepare_model  # noqa: E402

SPECIALS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"]
WORDS = ["the", "a", "dog", "puppy", "ball", "bank", "rates", "rain", "storm", "."]
VOCABULARY = SPECIALS + WORDS
WIDTH = 6
# Multiples of 1/8 below 4 are exact in BF16, F16 and F32, so every source gives the same table.
TABLE = np.random.default_rng(7).integers(-31, 32, size=(len(VOCABULARY), WIDTH)) / 8


def write_tokenizer(path, vocabulary):
    """A WordLevel tokenizer saved the way transformer models ship theirs: it adds [CLS] and
    [SEP], pads to 12 tokens and truncates at 12, all of which the examples must undo."""
    tokenizer = Tokenizer(models.WordLevel({word: i for i, word in enumerate(vocabulary)},
                                           unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.Lowercase()
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 2), ("[SEP]", 3)])
    tokenizer.enable_padding(length=12, pad_id=0, pad_token="[PAD]")
    tokenizer.enable_truncation(max_length=12)
    tokenizer.save(str(path))
    return path


def token_ids(sentence, special_tokens=False):
    ids = [VOCABULARY.index(word) if word in VOCABULARY else 1
           for word in re.findall(r"\w+|[^\w\s]", sentence.lower())]
    return [2, *ids, 3] if special_tokens else ids


def expected_embedding(ids, normalize=True):
    mean = TABLE[ids].mean(axis=0)
    return mean / np.linalg.norm(mean) if normalize else mean


def write_bf16_safetensors(path, tables):
    """Writes named float tables as BF16, which numpy cannot hold, in the order given."""
    header, data = {}, b""
    for name, table in tables.items():
        encoded = (np.asarray(table, np.float32).view(np.uint32) >> 16).astype("<u2").tobytes()
        header[name] = {"dtype": "BF16", "shape": list(np.shape(table)),
                        "data_offsets": [len(data), len(data) + len(encoded)]}
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
    write_bf16_safetensors(path, {"positions": np.ones((3, 2)), "words": TABLE})
    return path, "words"


@pytest.mark.parametrize("dtype", ["F32", "F16"])
@pytest.mark.parametrize("kind", ["array", "npy", "safetensors", "BF16 safetensors"])
def test_prepared_model_embeds_the_source_table(tmp_path, kind, dtype):
    source, tensor = write_source(kind, tmp_path)
    model_dir = prepare_model.write_model_dir(prepare_model.load_table(source, tensor),
                                              tmp_path / "model", dtype)

    with safe_open(str(model_dir / "model.safetensors"), framework="numpy") as file:
        assert list(file.keys()) == [prepare_model.TENSOR_NAME]
        assert file.get_slice(prepare_model.TENSOR_NAME).get_dtype() == dtype
    ids = [4, 5, 5, 11, 13]
    embedding = korvane_py.StaticEmbedding(str(model_dir)).embed_tokens(ids)
    np.testing.assert_allclose(embedding, expected_embedding(ids), atol=1e-6)


@pytest.mark.parametrize(("table", "dtype", "vocabulary", "message"), [
    (np.ones(4), "F32", None, "must be 2-D"),
    (np.ones((2, 3, 4)), "F32", None, "must be 2-D"),
    (np.ones((0, 4)), "F32", None, "at least one row"),
    (np.array([["a", "b"]]), "F32", None, "real numbers"),
    (np.array([[1.0, np.nan]]), "F32", None, "NaN"),
    (np.array([[1.0, 1e5]]), "F16", None, "beyond the range of F16"),
    (np.ones((2, 4)), "BF16", None, "dtype must be"),
    (np.ones((len(VOCABULARY) - 1, 4)), "F32", VOCABULARY, f"up to {len(VOCABULARY) - 1}"),
])
def test_unusable_tables_write_nothing(tmp_path, table, dtype, vocabulary, message):
    tokenizer = vocabulary and write_tokenizer(tmp_path / "tokenizer.json", vocabulary)
    with pytest.raises(ValueError, match=re.escape(message)):
        prepare_model.write_model_dir(table, tmp_path / "model", dtype, tokenizer)
    assert not (tmp_path / "model").exists()


@pytest.mark.parametrize(("tensors", "tensor", "message"), [
    ({"a": np.ones((2, 2)), "b": np.ones((3, 2))}, None, "holds 2 2-D tensors (a, b)"),
    ({"a": np.ones(2)}, None, "holds 0 2-D tensors (none)"),
    ({"a": np.ones((2, 2))}, "b", "no tensor named 'b'"),
])
def test_safetensors_table_must_be_identifiable(tmp_path, tensors, tensor, message):
    path = tmp_path / "weights.safetensors"
    save_file({name: value.astype(np.float32) for name, value in tensors.items()}, path)
    with pytest.raises(ValueError, match=re.escape(message)):
        prepare_model.load_table(path, tensor)


@pytest.mark.parametrize(("flags", "special_tokens", "normalize"), [
    ([], False, True),
    (["--no-normalize"], False, False),
    (["--special-tokens"], True, True),
])
def test_command_lines_prepare_and_embed_a_file(tmp_path, capsys, flags, special_tokens, normalize):
    np.save(tmp_path / "table.npy", TABLE)
    tokenizer = write_tokenizer(tmp_path / "tokenizer.json", VOCABULARY)
    assert prepare_model.main([str(tmp_path / "table.npy"), str(tmp_path / "model"),
                               "--tokenizer", str(tokenizer), "--dtype", "F32"]) == 0
    sentences = ["The dog and the puppy.", "", "rain " * 15 + "storm", "Zebra"]
    (tmp_path / "sentences.txt").write_text("\n".join(sentences) + "\n", encoding="utf-8")

    output = tmp_path / "embeddings.npy"
    assert embed_file.main([str(tmp_path / "model"), str(tmp_path / "sentences.txt"),
                            str(output), "--quiet", *flags]) == 0

    embeddings = np.load(output)
    assert embeddings.dtype == np.float32 and embeddings.shape == (len(sentences), WIDTH)
    for row, sentence in zip(embeddings, sentences):
        ids = token_ids(sentence, special_tokens)
        expected = expected_embedding(ids, normalize) if ids else np.zeros(WIDTH)
        np.testing.assert_allclose(row, expected, atol=1e-6)
    assert "wrote" in capsys.readouterr().out


def test_failed_embedding_names_its_sentence(tmp_path):
    # A table shorter than the tokenizer's vocabulary: "storm" and "." lie beyond it.
    model_dir = prepare_model.write_model_dir(TABLE[:-2], tmp_path / "model")
    tokenizer = embed_file.load_tokenizer(write_tokenizer(tmp_path / "tokenizer.json", VOCABULARY))
    model = korvane_py.StaticEmbedding(str(model_dir))
    with pytest.raises(BaseException) as raised:
        embed_file.embed_sentences(model, tokenizer, ["the dog", "the storm"])
    assert "while embedding sentence 2: 'the storm'" in raised.value.__notes__


def demo_source(directory):
    """A source directory laid out like the packaged model, with a table over the demo's words."""
    words = sorted({word for sentence in demo.SENTENCES
                    for word in re.findall(r"\w+|[^\w\s]", sentence.lower())})
    vocabulary = SPECIALS + words
    table = np.random.default_rng(3).standard_normal((len(vocabulary), 5)).astype(np.float32)
    directory.mkdir()
    save_file({"positions": np.ones((8, 5), np.float32), "words": table},
              directory / "model.safetensors")
    write_tokenizer(directory / "tokenizer.json", vocabulary)
    return table, vocabulary


def test_demo_prepares_its_models_once(tmp_path, capsys):
    table, vocabulary = demo_source(tmp_path / "source")
    arguments = ["--source-dir", str(tmp_path / "source"), "--tensor", "words",
                 "--cache-dir", str(tmp_path / "cache")]

    assert demo.main(arguments) == 0
    first = capsys.readouterr().out
    assert "prepared in" in first
    model_file = tmp_path / "cache" / "f16" / "model.safetensors"
    written = model_file.stat().st_mtime_ns

    first_two = [[vocabulary.index(word) for word in re.findall(r"\w+|[^\w\s]", sentence.lower())]
                 for sentence in demo.SENTENCES[:2]]
    means = [table[ids].astype(np.float64).mean(axis=0) for ids in first_two]
    cosine = means[0] @ means[1] / np.linalg.norm(means[0]) / np.linalg.norm(means[1])
    first_row = next(line for line in first.splitlines() if line.startswith("  1  "))
    assert first_row.split()[1:3] == ["1.00", f"{cosine:.2f}"]

    assert demo.main(arguments) == 0
    assert "reused from the cache" in capsys.readouterr().out
    assert model_file.stat().st_mtime_ns == written

    # A changed source is prepared again.
    source_file = tmp_path / "source" / "model.safetensors"
    os.utime(source_file, ns=(written + 10**9, written + 10**9))
    assert demo.main(arguments) == 0
    assert "prepared in" in capsys.readouterr().out

