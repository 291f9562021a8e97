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

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402
import embed_file  # noqa: E402
import korvane_py  # noqa: E402
from model_files import write_transformer_tokenizer  # noqa: E402
from korvane.convert import write_model_dir  # noqa: E402

SPECIALS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"]
WORDS = ["the", "a", "dog", "puppy", "ball", "bank", "rates", "rain", "storm", "."]
VOCABULARY = SPECIALS + WORDS
WIDTH = 6
# Multiples of 1/8 below 4 are exact in BF16, F16 and F32, so every source gives the same table.
TABLE = np.random.default_rng(7).integers(-31, 32, size=(len(VOCABULARY), WIDTH)) / 8


def token_ids(sentence, special_tokens=False):
    ids = [VOCABULARY.index(word) if word in VOCABULARY else 1
           for word in re.findall(r"\w+|[^\w\s]", sentence.lower())]
    return [2, *ids, 3] if special_tokens else ids


def expected_embedding(ids, normalize=True):
    mean = TABLE[ids].mean(axis=0)
    return mean / np.linalg.norm(mean) if normalize else mean


@pytest.mark.parametrize(("flags", "special_tokens", "normalize"), [
    ([], False, True),
    (["--no-normalize"], False, False),
    (["--special-tokens"], True, True),
])
def test_command_lines_prepare_and_embed_a_file(tmp_path, capsys, flags, special_tokens, normalize):
    np.save(tmp_path / "table.npy", TABLE)
    tokenizer = write_transformer_tokenizer(tmp_path / "tokenizer.json", VOCABULARY)
    write_model_dir(np.load(tmp_path / "table.npy"), tmp_path / "model", tokenizer=tokenizer)
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
    model_dir = write_model_dir(TABLE[:-2], tmp_path / "model")
    tokenizer = embed_file.load_tokenizer(write_transformer_tokenizer(tmp_path / "tokenizer.json", VOCABULARY))
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
    write_transformer_tokenizer(directory / "tokenizer.json", vocabulary)
    return table, vocabulary


def test_demo_prepares_its_models_once(tmp_path, capsys):
    table, vocabulary = demo_source(tmp_path / "source")
    arguments = ["--source-dir", str(tmp_path / "source"), "--tensor", "words",
                 "--cache-dir", str(tmp_path / "cache"), "--corpus-size", "0"]

    assert demo.main([*arguments, "--corpus-size", "30"]) == 0
    first = capsys.readouterr().out
    assert "prepared in" in first
    assert re.search(r"Embedded 30 sentences in .* sentences/s", first)
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

