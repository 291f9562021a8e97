from array import array

import numpy as np
import pytest

import korvane_py
from models import token_list_pool, write_model
from scattered import measure_dimension, namespace, pool_entries, statements
from timing import compare


def test_pool_lists_are_distinct_python_ints_within_the_table_and_repeatable():
    pool = token_list_pool(32, 500, rows=1000)
    assert pool == token_list_pool(32, 500, rows=1000)
    assert len(pool) == 500 and all(len(ids) == 32 for ids in pool)
    assert len({tuple(ids) for ids in pool}) == 500
    assert all(type(token) is int and 0 <= token < 1000 for ids in pool for token in ids)


def test_every_call_takes_the_next_list_and_each_contender_walks_the_pool_from_its_start():
    entries = [([token], array("f", [token]).tobytes()) for token in range(3)]
    table = np.arange(3, dtype=np.float32).reshape(3, 1)
    seen = []
    found = namespace(seen.append, table, entries)
    # On a busy machine a batch may be a single call: four repetitions still cycle the pool.
    compare(statements(), found, repetitions=4, batch_seconds=1e-5)
    assert len(seen) > len(entries)  # the pool was cycled, not exhausted
    assert seen == [entries[index % 3][0] for index in range(len(seen))]
    # The floor and numpy took lists from cycles of their own, not from korvane's.
    assert found["next_korvane"]() == entries[len(seen) % 3]


def test_each_pool_entry_holds_its_own_result_and_a_disagreement_stops_the_run(tmp_path):
    table = write_model(tmp_path, 4, rows=50)
    embed = korvane_py.StaticEmbedding(str(tmp_path)).embed_tokens
    pool = token_list_pool(5, 20, rows=50)
    for ids, row in pool_entries(embed, table, pool):
        assert array("f", row).tolist() == embed(ids)
    with pytest.raises(SystemExit, match="disagree at D=4 n=5"):
        pool_entries(embed, table[::-1].copy(), pool)


def test_every_contender_runs_on_a_small_scattered_table():
    pools = {n: token_list_pool(n, 4, rows=100) for n in (1, 6)}
    records = measure_dimension(8, pools, repetitions=1, batch_seconds=1e-5, rows=100)
    assert [(r["dtype"], r["dimension"], r["tokens"]) for r in records] == [
        ("F32", 8, 1),
        ("F32", 8, 6),
    ]
    for record in records:
        for name in ("korvane", "numpy", "floor"):
            assert 0 < record[name]["low"] <= record[name]["median"] <= record[name]["high"]
