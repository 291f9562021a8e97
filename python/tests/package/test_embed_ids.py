"""Model.embed_ids against korvane_py's embed_tokens, bit for bit, over element types, thread
counts, input forms and random tables."""

import numpy as np
import pytest

import korvane
import korvane_py

from .package_models import DTYPES, random_table, write_table


def reference(directory, token_lists, normalize=True):
    """korvane_py's embedding of each list rounded to float32; a zero row for an empty list."""
    model = korvane_py.StaticEmbedding(str(directory), normalize=normalize)
    dim = korvane.Model.load(directory).dim
    rows = [
        model.embed_tokens(list(tokens)) if len(tokens) else [0.0] * dim for tokens in token_lists
    ]
    return np.array(rows, dtype=np.float32).reshape(len(token_lists), dim)


def random_lists(rng, count, rows, longest=40):
    return [rng.integers(0, rows, rng.integers(0, longest)).tolist() for _ in range(count)]


def assert_same_bits(actual, expected):
    assert actual.dtype == np.float32 and actual.flags.c_contiguous
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("normalize", [True, False])
def test_every_element_type_matches_embed_tokens(tmp_path, dtype, normalize):
    rng = np.random.default_rng(len(dtype) * 31 + normalize)
    # 19 columns: neither a multiple of the 8-lane add nor of the F16 widening blocks.
    directory = write_table(tmp_path, random_table(rng, 50, 19, dtype), dtype)
    token_lists = random_lists(rng, 150, 50)
    model = korvane.Model.load(directory, normalize=normalize)
    assert model.dtype == dtype
    assert_same_bits(model.embed_ids(token_lists), reference(directory, token_lists, normalize))


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
@pytest.mark.parametrize("seed", range(3))
def test_results_do_not_depend_on_the_thread_count(tmp_path, threads, seed):
    rng = np.random.default_rng(seed)
    rows, dim = int(rng.integers(1, 300)), int(rng.integers(1, 70))
    scale = 10.0 ** rng.integers(-20, 20)  # tiny and huge values round differently
    directory = write_table(tmp_path, random_table(rng, rows, dim, "F32") * scale)
    # More sentences than one thread's share of work, so every thread computes some.
    token_lists = random_lists(rng, 700, rows, longest=80)
    got = korvane.Model.load(directory).embed_ids(token_lists, threads=threads)
    assert_same_bits(got, reference(directory, token_lists))


def test_input_forms_give_the_same_rows(tmp_path):
    rng = np.random.default_rng(3)
    directory = write_table(tmp_path, random_table(rng, 40, 12, "F16"), "F16")
    model = korvane.Model.load(directory)
    token_lists = random_lists(rng, 60, 40)
    expected = reference(directory, token_lists)
    flat = np.concatenate([np.asarray(tokens, dtype=np.int64) for tokens in token_lists])
    offsets = np.cumsum([0] + [len(tokens) for tokens in token_lists])
    forms = {
        "lists": token_lists,
        "tuples": tuple(tuple(tokens) for tokens in token_lists),
        "arrays": [np.asarray(tokens, dtype=np.uint16) for tokens in token_lists],
        "numpy ints": [[np.int32(token) for token in tokens] for tokens in token_lists],
        "ranges": [range(0) if not tokens else tokens for tokens in token_lists],
        "strided": [np.repeat(np.asarray(tokens, np.int64), 2)[::2] for tokens in token_lists],
    }
    for name, form in forms.items():
        assert_same_bits(model.embed_ids(form), expected), name
    for dtype in (np.int64, np.int32, np.uint32, np.uint8):
        assert_same_bits(model.embed_ids(flat.astype(dtype), offsets=offsets), expected)
    # Offsets need not start at 0 nor end at the last token.
    padded = np.concatenate([[5, 5, 5], flat, [7]])
    assert_same_bits(model.embed_ids(padded, offsets=offsets + 3), expected)
    square = rng.integers(0, 40, (10, 6))
    assert_same_bits(model.embed_ids(square), reference(directory, square.tolist()))
    assert_same_bits(model.embed_ids(square.T), reference(directory, square.T.tolist()))


def test_empty_sentences_give_zero_rows_and_empty_batches_empty_arrays(model_dir):
    model = korvane.Model.load(model_dir)
    got = model.embed_ids([[], [4, 5], []])
    assert not got[0].any() and not got[2].any() and got[1].any()
    assert model.embed_ids([]).shape == (0, model.dim)
    assert model.embed_ids(np.array([], np.int64), offsets=[0]).shape == (0, model.dim)


@pytest.mark.parametrize(
    "token_lists, offsets, message",
    [
        ([[1, 2], [3, 40]], None, "token ID 40 in sentence 1 is outside the table (vocab_size 40)"),
        ([[1], [], [-1]], None, "token ID -1 in sentence 2 is outside the table"),
        ([[2**64 + 1]], None, "token ID 18446744073709551617 in sentence 0"),
        ([np.array([3, 45], np.int16)], None, "token ID 45 in sentence 0"),
        (np.array([1, 2, 3, 99, 4]), [0, 2, 2, 4, 5], "token ID 99 in sentence 2"),
        (np.array([1, -7]), [0, 1, 2], "token ID -7 in sentence 1"),
    ],
)
def test_an_id_outside_the_table_raises_index_error(tmp_path, token_lists, offsets, message):
    model = korvane.Model.load(write_table(tmp_path, np.ones((40, 4), np.float32)))
    with pytest.raises(IndexError, match=message.replace("(", r"\(").replace(")", r"\)")):
        model.embed_ids(token_lists, offsets=offsets)


@pytest.mark.parametrize(
    "token_lists, offsets, error, message",
    [
        ("1 2 3", None, TypeError, "token_lists must be a sequence"),
        (5, None, TypeError, "token_lists must be a sequence"),
        ([[1], "12"], None, TypeError, "sentence 1 must be a sequence of token IDs"),
        ([[1], 2], None, TypeError, "sentence 1 must be a sequence of token IDs"),
        ([[1, 2.0]], None, TypeError, "cannot be interpreted as an integer"),
        ([np.array([1.0, 2.0])], None, TypeError, "one-dimensional array of integers"),
        (np.array([1, 2, 3]), None, ValueError, "must have two dimensions"),
        (np.array([1.0, 2.0]), [0, 2], TypeError, "one-dimensional integer array"),
        (np.array([1, 2]), [], ValueError, "N \\+ 1 boundaries"),
        (np.array([1, 2]), [0, 3], ValueError, "offsets\\[1\\] is 3"),
        (np.array([1, 2]), [1, 0], ValueError, "non-decreasing"),
        (np.array([1, 2]), [-1, 2], ValueError, "offsets\\[0\\] is -1"),
        (np.array([1, 2]), [[0, 2]], TypeError, "one-dimensional integer array"),
    ],
)
def test_malformed_input_raises_a_clear_exception(model_dir, token_lists, offsets, error, message):
    with pytest.raises(error, match=message):
        korvane.Model.load(model_dir).embed_ids(token_lists, offsets=offsets)


@pytest.mark.parametrize(
    "threads, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError), (True, TypeError)]
)
def test_thread_counts_must_be_positive_ints(model_dir, threads, error):
    with pytest.raises(error, match="threads"):
        korvane.Model.load(model_dir).embed_ids([[1]], threads=threads)


def test_a_list_changed_by_an_item_while_it_is_read(model_dir):
    """An item's __index__ that empties its own list ends the sentence without a crash."""
    model = korvane.Model.load(model_dir)
    sentence = [4, 5, 6]

    class Shrinking:
        def __index__(self):
            sentence.clear()
            return 7

    sentence.insert(1, Shrinking())
    got = model.embed_ids([sentence])
    np.testing.assert_array_equal(got, model.embed_ids([[4, 7]]))
