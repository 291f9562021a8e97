"""The native encode path's count of the tokens it embedded of each text (korvane serve reports
them as usage)."""

import numpy as np
import pytest

from korvane import Model

from .package_models import SENTENCES


def expected_counts(model, texts, max_length=None):
    """Of each text's first max_length tokens, those other than the unknown token."""
    unknown = model.tokenizer.token_to_id("[UNK]")
    return [
        sum(
            token != unknown
            for token in model.tokenizer.encode(text, add_special_tokens=False).ids[:max_length]
        )
        for text in texts
    ]


@pytest.mark.parametrize("threads", [1, 3])
def test_counts_are_the_tokens_embedded(model_dir, threads):
    model = Model.load(model_dir)
    texts = [*SENTENCES, "zebra zebra the", "the cat " * 200]
    rows = np.empty((len(texts), model.dim), np.float32)
    counts = np.full(len(texts), -1, np.int64)
    unknown = model.tokenizer.token_to_id("[UNK]")
    deferred, failure = model._table.encode_texts(
        model._native_tokenizer, texts, rows, True, threads, None, unknown, token_counts=counts
    )
    assert deferred == [] and failure is None
    assert counts.tolist() == expected_counts(model, texts)
    np.testing.assert_array_equal(rows, model.encode(texts))
    model._table.encode_texts(
        model._native_tokenizer, texts, rows, True, threads, 3, unknown, token_counts=counts
    )
    assert counts.tolist() == expected_counts(model, texts, 3)


TEXTS = [*SENTENCES, "the cat"]


@pytest.mark.parametrize(
    "counts",
    [
        np.zeros(len(TEXTS), np.int32),
        np.zeros(len(TEXTS) - 1, np.int64),
        np.zeros(len(TEXTS) + 1, np.int64),
        np.zeros(2 * len(TEXTS), np.int64)[::2],
        bytearray(8 * len(TEXTS)),
        np.zeros(len(TEXTS), np.float64),
    ],
)
def test_counts_need_an_int64_array_of_one_per_text(model_dir, counts):
    model = Model.load(model_dir)
    texts = TEXTS
    rows = np.empty((len(texts), model.dim), np.float32)
    with pytest.raises((ValueError, BufferError, TypeError)):
        model._table.encode_texts(
            model._native_tokenizer, texts, rows, True, 1, None, None, token_counts=counts
        )
