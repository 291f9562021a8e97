"""sentence-transformers' layouts of a static model, read as sentence-transformers reads them.

sentence-transformers itself is not installed for these tests (it needs torch), so the layouts
are written here as its SentenceTransformer([StaticEmbedding(...), Normalize()]).save writes them:
modules.json listing the modules with their paths, the StaticEmbedding module's directory
(0_StaticEmbedding/) holding model.safetensors with the table as 'embedding.weight' and
tokenizer.json, and a Normalize module's directory (1_Normalize/) with nothing korvane needs. Its
embedding of a text is the mean of the rows of all the tokens the tokenizer gives without special
tokens, the unknown token included, then scaled to unit length only with a Normalize module; an
empty text gives zeros.
"""

import json
import pathlib

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS, random_table, write_table

TABLE = random_table(np.random.default_rng(21), len(WORDS), 12, "F32")
MODULES = {
    "StaticEmbedding": ("0_StaticEmbedding", "sentence_transformers.models.StaticEmbedding"),
    "Normalize": ("1_Normalize", "sentence_transformers.models.Normalize"),
}


def write_nested(directory, tokenizer, modules):
    entries = []
    for index, name in enumerate(modules):
        path, kind = MODULES[name]
        entries.append({"idx": index, "name": str(index), "path": path, "type": kind})
        (directory / path).mkdir(parents=True)
    write_table(directory / MODULES["StaticEmbedding"][0], TABLE, name="embedding.weight")
    tokenizer.save(str(directory / MODULES["StaticEmbedding"][0] / "tokenizer.json"))
    (directory / "modules.json").write_text(json.dumps(entries))
    (directory / "config_sentence_transformers.json").write_text('{"similarity_fn_name": null}')
    return directory


def expected_rows(tokenizer, texts, normalize, drop_unknown):
    tokenizer.no_padding()
    tokenizer.no_truncation()
    rows = []
    for encoding in tokenizer.encode_batch(texts, add_special_tokens=False):
        ids = [i for i in encoding.ids if not (drop_unknown and i == WORDS.index("[UNK]"))]
        row = TABLE[ids].astype(np.float64).mean(axis=0) if ids else np.zeros(TABLE.shape[1])
        if normalize and ids:
            row = row / np.linalg.norm(row)
        rows.append(row)
    return np.array(rows)


@pytest.mark.parametrize("modules", [["StaticEmbedding"], ["StaticEmbedding", "Normalize"]])
def test_nested_layout_follows_its_pipeline(tmp_path, tokenizer, modules):
    directory = write_nested(tmp_path / "st", tokenizer, modules)
    model = korvane.Model.load(directory)
    normalize = "Normalize" in modules
    assert (model.normalize, model.tensor, model.vocab_size) == (
        normalize,
        "embedding.weight",
        len(WORDS),
    )
    np.testing.assert_allclose(
        model.encode(SENTENCES), expected_rows(tokenizer, SENTENCES, normalize, False), atol=1e-6
    )
    # Pickled by its path, it comes back the same.
    import pickle

    assert np.array_equal(
        pickle.loads(pickle.dumps(model)).encode(SENTENCES), model.encode(SENTENCES)
    )


def test_flat_layout_is_not_normalized(tmp_path, tokenizer):
    # StaticEmbedding.save by itself: embedding.weight and tokenizer.json, nothing else.
    directory = write_table(tmp_path / "flat", TABLE, name="embedding.weight")
    tokenizer.save(str(directory / "tokenizer.json"))
    model = korvane.Model.load(directory)
    assert model.normalize is False
    # As sentence-transformers reads it (data/sentence_transformers/flat): the unknown token too.
    np.testing.assert_allclose(
        model.encode(SENTENCES), expected_rows(tokenizer, SENTENCES, False, False), atol=1e-6
    )
    assert korvane.Model.load(directory, normalize=True).normalize is True


@pytest.mark.parametrize(
    "modules, message",
    [
        (
            '[{"path": "0_Transformer", "type": "sentence_transformers.models.Transformer"}]',
            "names no StaticEmbedding module \\(its modules: 'Transformer'\\)",
        ),
        (
            '[{"path": "../elsewhere", "type": "sentence_transformers.models.StaticEmbedding"}]',
            "must be a directory inside the model directory",
        ),
        ('{"0": 1}', "must hold a JSON list"),
        ("[", "is not valid JSON"),
    ],
)
def test_unusable_modules_json_is_refused(tmp_path, modules, message):
    (tmp_path / "modules.json").write_text(modules)
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(tmp_path)


def test_nested_layout_without_its_table_says_where(tmp_path, tokenizer):
    directory = write_nested(tmp_path / "st", tokenizer, ["StaticEmbedding"])
    (directory / "0_StaticEmbedding" / "model.safetensors").unlink()
    with pytest.raises(FileNotFoundError, match="0_StaticEmbedding"):
        korvane.Model.load(directory)


RECORDED = pathlib.Path(__file__).parent / "data" / "sentence_transformers"


@pytest.mark.parametrize(
    "name, normalize", [("normalized", True), ("plain", False), ("flat", False)]
)
def test_equals_sentence_transformers_on_the_directories_it_wrote(name, normalize):
    """Directories sentence-transformers 6.3.0 saved (its StaticEmbedding module at the model
    directory itself, with a Normalize module or none, and saved by itself), and its encode of
    texts.json (made by data/sentence_transformers/make.py)."""
    texts = json.loads((RECORDED / "texts.json").read_text())
    expected = np.load(RECORDED / f"{name}.npy")
    for backend in ("native", "tokenizers"):
        model = korvane.Model.load(RECORDED / name, backend=backend)
        assert (model.normalize, model.tensor) == (normalize, "embedding.weight")
        np.testing.assert_allclose(model.encode(texts), expected, rtol=1e-6, atol=1e-6)
        # The per-token rows are those averaged, unknown token included.
        means = [rows.mean(axis=0) for rows in model.encode_as_sequence(texts) if len(rows)]
        if not normalize:
            np.testing.assert_allclose(means, expected[[bool(t.strip()) for t in texts]], atol=1e-6)
