"""Model files for the benchmarks: a table of random rows written as model.safetensors, and the
same table decoded to float32, as the numpy recipe holds it."""

import os
from pathlib import Path

import numpy as np

from korvane_dev.model_file import model_file_bytes

ROWS = 30_000

# The element types a benchmark table may be written in, with their width in bytes.
ELEMENT_WIDTHS = {"F32": 4, "F16": 2, "BF16": 2}


def encode_table(table, dtype):
    """`table` (float32 rows) in the file encoding `dtype`, and the float32 values those bytes
    stand for. BF16 keeps the upper 16 bits of each float32 (truncation), which is exact to
    decode."""
    table = np.ascontiguousarray(table, dtype=np.float32)
    if dtype == "F32":
        return table.astype("<f4").tobytes(), table
    if dtype == "F16":
        halves = table.astype("<f2")
        return halves.tobytes(), halves.astype(np.float32)
    if dtype == "BF16":
        upper = (table.view(np.uint32) >> 16).astype("<u2")
        return upper.tobytes(), (upper.astype(np.uint32) << 16).view(np.float32)
    raise ValueError(f"no benchmark encoding for {dtype}")


def write_model(directory, dimension, dtype="F32", rows=ROWS, seed=0, settle=False):
    """Writes a `rows` x `dimension` table of normally distributed values to
    `directory`/model.safetensors and returns the float32 table its bytes decode to. With
    `settle`, waits until the file is on disk, so that its write-back does not run during later
    measurements."""
    table = np.random.default_rng(seed).standard_normal((rows, dimension), dtype=np.float32)
    data, decoded = encode_table(table, dtype)
    header = {
        "__metadata__": {"format": "pt"},
        "embeddings": {"dtype": dtype, "shape": [rows, dimension], "data_offsets": [0, len(data)]},
    }
    # The data section starts 8-aligned, as writers usually do.
    Path(directory, "model.safetensors").write_bytes(model_file_bytes(header, data, alignment=8))
    if settle:
        os.sync()
    return decoded


def token_lists(lengths, rows=ROWS, seed=1):
    """One list of uniformly drawn token IDs (Python ints) per length, the same on every run."""
    rng = np.random.default_rng(seed)
    return {n: rng.integers(0, rows, n).tolist() for n in lengths}


def token_list_pool(n, count, rows=ROWS, seed=2):
    """`count` lists of `n` uniformly drawn token IDs (Python ints), the same on every run."""
    return np.random.default_rng(seed).integers(0, rows, (count, n)).tolist()
