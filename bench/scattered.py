"""Per-call latency of embed_tokens with every row cached, when each call embeds a different token
list, against the numpy recipe and the floor. The lists come from a pool of distinct ones, taken
in turn, so that the rows of a call lie scattered over the whole cache instead of staying in the
processor's caches as they do when one list is repeated.

Usage: python bench/scattered.py OUTPUT.json [--quick]
"""

import itertools
import json
import sys
import tempfile
from array import array

import numpy as np

import korvane_py
from latency import STATEMENTS, numpy_recipe, timing_record
from models import ROWS, token_list_pool, write_model
from timing import compare

DIMENSIONS = [256, 384, 1024]
TOKEN_COUNTS = [32, 128, 512]
POOL_SIZE = 2000


def statements():
    """The statements of the repeated-list table, each first taking the next list of the pool and
    the float32 bytes of its result from a cycle of its own."""
    return {name: f"ids, row = next_{name}(); {text}" for name, text in STATEMENTS.items()}


def namespace(embed, table, entries):
    """What `statements()` run in: every contender walks `entries`, (ids, result bytes) pairs, in
    the same order from the start."""
    found = {"embed": embed, "np": np, "table": table, "array": array}
    return found | {f"next_{name}": itertools.cycle(entries).__next__ for name in STATEMENTS}


def pool_entries(embed, table, pool):
    """Each list of `pool` with the float32 bytes of its result, once checked against numpy."""
    entries = []
    for ids in pool:
        result = embed(ids)
        if not np.allclose(result, numpy_recipe(table, ids), rtol=1e-5, atol=1e-6):
            raise SystemExit(
                f"korvane and the numpy recipe disagree at D={table.shape[1]} n={len(ids)}"
            )
        entries.append((ids, array("f", result).tobytes()))
    return entries


def measure_dimension(dimension, pools, repetitions, batch_seconds, rows=ROWS):
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as directory:
        table = write_model(directory, dimension, rows=rows, settle=True)
        embed = korvane_py.StaticEmbedding(directory).embed_tokens
        embed(list(range(rows)))  # every row cached before any list is timed
        records = []
        for n, pool in pools.items():
            timings = compare(
                statements(),
                namespace(embed, table, pool_entries(embed, table, pool)),
                repetitions,
                batch_seconds,
            )
            records.append(timing_record("F32", dimension, n, timings, "scattered"))
        return records


def main(output, quick=False):
    repetitions, batch_seconds = (7, 5e-4) if quick else (101, 3e-3)
    pools = {n: token_list_pool(n, POOL_SIZE) for n in TOKEN_COUNTS}
    records = []
    for dimension in DIMENSIONS:
        records += measure_dimension(dimension, pools, repetitions, batch_seconds)
    with open(output, "w") as file:
        json.dump(
            {"repetitions": repetitions, "rows": ROWS, "pool": POOL_SIZE, "records": records},
            file,
            indent=1,
        )


if __name__ == "__main__":
    main(sys.argv[1], quick="--quick" in sys.argv[2:])
