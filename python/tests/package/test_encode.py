"""Model.encode and encode_iter: tokenizing, batching, progress, and agreement with model2vec on
a directory its save_pretrained wrote."""

import numpy as np
import pytest

import korvane
import korvane_py

from .package_models import SENTENCES, WORDS, random_table, write_table

UNKNOWN = WORDS.index("[UNK]")


def expected_rows(directory, tokenizer, texts, max_length=None, normalize=True):
    """korvane_py's rows for the texts' tokens without special tokens, cut to max_length, with
    the unknown token left out; zeros where nothing is left."""
    tokenizer.no_padding()
    tokenizer.no_truncation()
    reference = korvane_py.StaticEmbedding(str(directory), normalize=normalize)
    rows = []
    for text in texts:
        ids = tokenizer.encode(text, add_special_tokens=False).ids[:max_length]
        ids = [token for token in ids if token != UNKNOWN]
        rows.append(reference.embed_tokens(ids) if ids else [0.0] * 16)
    return np.array(rows, dtype=np.float32)


@pytest.mark.parametrize("max_length", [None, 0, 1, 3, 100])
def test_encode_embeds_the_tokens_of_each_text(model_dir, tokenizer, max_length):
    got = korvane.Model.load(model_dir).encode(SENTENCES, max_length=max_length)
    expected = expected_rows(model_dir, tokenizer, SENTENCES, max_length)
    np.testing.assert_array_equal(got.view(np.uint32), expected.view(np.uint32))


def test_batches_and_threads_change_nothing(model_dir):
    model = korvane.Model.load(model_dir)
    texts = SENTENCES * 40
    whole = model.encode(texts)
    assert whole.shape == (len(texts), model.dim) and whole.dtype == np.float32
    for batch_size, threads in [(1, 1), (7, 2), (64, 3), (10_000, None)]:
        np.testing.assert_array_equal(
            model.encode(texts, batch_size=batch_size, threads=threads), whole
        )
    batches = list(model.encode_iter(iter(texts), batch_size=100))
    assert [len(batch) for batch in batches] == [100, 100, 100, 20]
    np.testing.assert_array_equal(np.concatenate(batches), whole)
    np.testing.assert_array_equal(model.encode(np.array(texts)), whole)
    np.testing.assert_array_equal(model.encode(text for text in texts), whole)
    assert model.encode([]).shape == (0, model.dim)
    assert list(model.encode_iter([])) == []


def test_show_progress_draws_a_bar_on_stderr(model_dir, capsys):
    korvane.Model.load(model_dir).encode(SENTENCES * 3, batch_size=8, show_progress=True)
    assert "24/24" in capsys.readouterr().err


@pytest.mark.parametrize(
    "texts, options, error, message",
    [
        ("one text", {}, TypeError, "texts must be an? (sequence|iterable) of str, not str"),
        (["a", b"b"], {}, TypeError, r"texts\[1\] is bytes, not str"),
        (["a"] * 5 + [("a", "b")], {"batch_size": 2}, TypeError, r"texts\[5\] is tuple"),
        ([None], {}, TypeError, r"texts\[0\] is NoneType"),
        (["a", np.float64(1.0)], {}, TypeError, r"texts\[1\] is float64, not str"),
        (["a", "\ud800"], {}, UnicodeEncodeError, "surrogates not allowed"),
        (["a"], {"batch_size": 0}, ValueError, "batch_size must be at least 1"),
        (["a"], {"max_length": -1}, ValueError, "max_length must not be negative"),
        (["a"], {"max_length": 2.5}, TypeError, "max_length must be an int"),
        (["a"], {"threads": 0}, ValueError, "threads must be at least 1"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "encode_iter"])
def test_bad_texts_and_options(model_dir, method, texts, options, error, message):
    model = korvane.Model.load(model_dir)
    with pytest.raises(error, match=message):
        list(getattr(model, method)(texts, **options))


class MisstatedLength(list):
    """A sequence whose length disagrees with what iterating it gives."""

    def __init__(self, texts, length):
        super().__init__(texts)
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize("length", [len(SENTENCES) - 1, len(SENTENCES) + 1])
@pytest.mark.parametrize("batch_size", [1, 4096])
def test_texts_that_change_length_are_refused_rather_than_left_unwritten(
    model_dir, length, batch_size
):
    texts = MisstatedLength(SENTENCES, length)
    with pytest.raises(ValueError, match=f"texts changed length while being encoded: {length} "):
        korvane.Model.load(model_dir).encode(texts, batch_size=batch_size)


def test_encode_needs_a_tokenizer(model_dir):
    (model_dir / "tokenizer.json").unlink()
    model = korvane.Model.load(model_dir)
    assert model.tokenizer is None
    with pytest.raises(ValueError, match="has no tokenizer.json"):
        model.encode(["a"])


def test_a_tokenizer_with_more_ids_than_the_table_rows(model_dir, tokenizer):
    """IDs the tokenizer gives beyond the table are an IndexError, not a read past it."""
    table = random_table(np.random.default_rng(1), 8, 16, "F32")
    write_table(model_dir, table)
    with pytest.raises(IndexError, match=r"in texts\[0\] is outside the table"):
        korvane.Model.load(model_dir).encode(["the storm"])


# Over several of the native tokenizer's chunks of texts: texts it defers (a character newer than
# its tables) in the first and the last chunk, texts with a word beyond a table of 8 rows.
MANY = ["the cat", "a dog", "the cat sat", "the \u1c89 dog"] * 250
DEFERRED = [index for index, text in enumerate(MANY) if "\u1c89" in text]


@pytest.mark.parametrize("threads", [1, 3])
def test_texts_over_many_chunks_and_batches(model_dir, tokenizer, threads):
    model = korvane.Model.load(model_dir)
    assert model.tokenizer_backend == "native"
    whole = model.encode(MANY, threads=threads)
    np.testing.assert_array_equal(whole, expected_rows(model_dir, tokenizer, MANY))
    np.testing.assert_array_equal(
        np.concatenate(list(model.encode_iter(MANY, batch_size=7))), whole
    )
    np.testing.assert_array_equal(model.encode(MANY, batch_size=300, show_progress=True), whole)
    assert DEFERRED[0] < 256 and DEFERRED[-1] > 768

    # The first text, in input order, that holds a token beyond the table is named, whichever
    # chunk or thread met it; a deferred text before it is tokenized by the tokenizers package.
    write_table(model_dir, random_table(np.random.default_rng(1), 8, 16, "F32"))
    texts = ["the cat"] * 900
    texts[5] = "the \u1c89 cat"
    texts[700] = "the dog sat"
    texts[300] = "a cat sat"
    model = korvane.Model.load(model_dir)
    for options in [{}, {"batch_size": 64}, {"batch_size": 64, "show_progress": True}]:
        with pytest.raises(IndexError, match=r"in texts\[300\] is outside the table"):
            model.encode(texts, threads=threads, **options)


model2vec = pytest.importorskip("model2vec")

# Texts for which model2vec's cut of max_length x median-token-length characters keeps every
# token that the cut to max_length tokens keeps.
SHORT_TOKENS = [". , ! the cat", "zebra . , ! sat", "! ! zebra zebra mat", ", the"]


@pytest.mark.parametrize("normalize", [True, False])
def test_agreement_with_model2vec_on_its_own_directory(tmp_path, tokenizer, normalize):
    table = random_table(np.random.default_rng(11), len(WORDS), 16, "F32")
    static_model = model2vec.StaticModel(table, tokenizer, normalize=normalize)
    static_model.save_pretrained(str(tmp_path))
    model = korvane.Model.load(tmp_path)
    assert (model.normalize, model.vocab_size, model.dim) == (normalize, len(WORDS), 16)
    texts = SENTENCES + ["zebra zebra zebra", "the " * 300, "Bank rates, raised!" * 5]
    # Unknown tokens, empty and blank texts, and model2vec's default limit of 512 tokens.
    np.testing.assert_allclose(
        model.encode(texts, max_length=512),
        static_model.encode(texts, use_multiprocessing=False),
        atol=1e-6,
    )
    for max_length in (1, 2, 3):
        np.testing.assert_allclose(
            model.encode(SHORT_TOKENS, max_length=max_length),
            static_model.encode(SHORT_TOKENS, max_length=max_length, use_multiprocessing=False),
            atol=1e-6,
        )
