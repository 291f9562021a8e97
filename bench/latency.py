"""Per-call latency of embed_tokens with a warm cache, against the numpy recipe and the floor,
on the same token lists in the same process.

Usage: python bench/latency.py OUTPUT.json [--quick]
"""

import json
import sys
import tempfile
from array import array
from dataclasses import asdict

import numpy as np

import korvane_py
from models import ROWS, token_lists, write_model
from timing import compare

CONFIGURATIONS = [
    ("F32", 64),
    ("F32", 256),
    ("F32", 384),
    ("F32", 1024),
    ("F16", 384),
    ("BF16", 384),
]
TOKEN_COUNTS = [1, 8, 32, 128, 512]

STATEMENTS = {
    "korvane": "embed(ids)",
    # What a user would write with the table decoded to float32 beforehand.
    "numpy": "v = table[np.asarray(ids)].mean(0); v /= max(np.linalg.norm(v), 1e-12); v.tolist()",
    # What any implementation must do at least: take in the list of IDs as a C array and hand out
    # a list of D Python floats.
    "floor": "array('I', ids); array('f', row).tolist()",
}


def numpy_recipe(table, ids):
    v = table[np.asarray(ids)].mean(0)
    v /= max(np.linalg.norm(v), 1e-12)
    return v.tolist()


def timing_record(dtype, dimension, n, timings, label=""):
    """The JSON record of one row of a latency table; printed as it is measured."""
    print(
        f"{dtype:>4} D={dimension:<4} n={n:<3} {label} "
        + "  ".join(f"{name} {timing.median * 1e6:8.2f} us" for name, timing in timings.items()),
        flush=True,
    )
    return {"dtype": dtype, "dimension": dimension, "tokens": n} | {
        name: asdict(timing) for name, timing in timings.items()
    }


def measure_configuration(dtype, dimension, lists, repetitions, batch_seconds):
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as directory:
        table = write_model(directory, dimension, dtype, settle=True)
        embed = korvane_py.StaticEmbedding(directory).embed_tokens
        records = []
        for n, ids in lists.items():
            result = embed(ids)  # loads the table once, then warms the rows of this list
            expected = numpy_recipe(table, ids)
            if len(result) != dimension or not np.allclose(result, expected, rtol=1e-5, atol=1e-6):
                raise SystemExit(
                    f"korvane and the numpy recipe disagree at {dtype} D={dimension} n={n}"
                )
            namespace = {
                "embed": embed,
                "ids": ids,
                "np": np,
                "table": table,
                "array": array,
                "row": array("f", result).tobytes(),
            }
            timings = compare(STATEMENTS, namespace, repetitions, batch_seconds)
            records.append(timing_record(dtype, dimension, n, timings))
        return records


def main(output, quick=False):
    repetitions, batch_seconds = (7, 5e-4) if quick else (101, 3e-3)
    lists = token_lists(TOKEN_COUNTS)
    records = []
    for dtype, dimension in CONFIGURATIONS:
        records += measure_configuration(dtype, dimension, lists, repetitions, batch_seconds)
    with open(output, "w") as file:
        json.dump({"repetitions": repetitions, "rows": ROWS, "records": records}, file, indent=1)


if __name__ == "__main__":
    main(sys.argv[1], quick="--quick" in sys.argv[2:])
