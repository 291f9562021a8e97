import numpy as np
import pytest

import korvane_py
from latency import measure_configuration
from models import ELEMENT_WIDTHS, token_lists, write_model


@pytest.mark.parametrize("dtype", sorted(ELEMENT_WIDTHS))
@pytest.mark.parametrize("dimension", [1, 7, 16])
def test_the_numpy_table_holds_what_korvane_decodes(tmp_path, dtype, dimension):
    table = write_model(tmp_path, dimension, dtype, rows=9)
    model = korvane_py.StaticEmbedding(str(tmp_path), normalize=False)
    rows = np.array([model.embed_tokens([token]) for token in range(9)], dtype=np.float32)
    assert table.dtype == np.float32 and table.shape == (9, dimension)
    # Bit for bit: one token's mean is its row (0 + -0 aside, which random rows do not hold).
    assert np.array_equal(rows.view(np.uint32), table.view(np.uint32))


def test_token_lists_are_python_ints_within_the_table_and_repeatable():
    lists = token_lists([1, 8, 512], rows=100)
    assert lists == token_lists([1, 8, 512], rows=100)
    assert [len(ids) for ids in lists.values()] == [1, 8, 512]
    # numpy integers would take korvane's slow conversion path and skew the comparison.
    assert all(type(token) is int and 0 <= token < 100 for ids in lists.values() for token in ids)


@pytest.mark.parametrize("dtype", sorted(ELEMENT_WIDTHS))
def test_every_contender_runs_on_a_small_table(dtype):
    records = measure_configuration(
        dtype, 8, {1: [5], 3: [0, 29_999, 5]}, repetitions=1, batch_seconds=1e-5
    )
    assert [(r["dtype"], r["dimension"], r["tokens"]) for r in records] == [
        (dtype, 8, 1),
        (dtype, 8, 3),
    ]
    for record in records:
        for name in ("korvane", "numpy", "floor"):
            assert 0 < record[name]["low"] <= record[name]["median"] <= record[name]["high"]
