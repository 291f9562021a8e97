"""First-call cost: constructing a StaticEmbedding and its first embed_tokens call, which reads
the model file, against the reader's floor: reading the file whole and copying out the tensor.

Usage: python bench/first_call.py OUTPUT.json [--quick]
"""

import json
import sys
import tempfile
from dataclasses import asdict
from pathlib import Path

import korvane_py
from models import ROWS, token_lists, write_model
from timing import compare_once_each

DIMENSION = 384
TOKENS = 8


def read_and_copy(path):
    with open(path, "rb") as file:
        whole = file.read()
    start = 8 + int.from_bytes(whole[:8], "little")
    return whole[start : start + ROWS * DIMENSION * 4]  # a slice of bytes is a copy


def main(output, quick=False):
    repetitions = 5 if quick else 31
    ids = token_lists([TOKENS])[TOKENS]
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as directory:
        write_model(directory, DIMENSION, settle=True)
        path = Path(directory, "model.safetensors")

        def first_call():
            model = korvane_py.StaticEmbedding(directory)
            model.embed_tokens(ids)
            return model

        read_and_copy(path)  # the file is in the page cache for both from here on
        timings = compare_once_each(
            {"korvane": first_call, "floor": lambda: read_and_copy(path)}, repetitions
        )
        file_bytes = path.stat().st_size
    for name, timing in timings.items():
        print(f"{name:>8}: {timing.median * 1e3:8.2f} ms", flush=True)
    with open(output, "w") as file:
        json.dump(
            {
                "repetitions": repetitions,
                "rows": ROWS,
                "dimension": DIMENSION,
                "tokens": TOKENS,
                "file_bytes": file_bytes,
            }
            | {name: asdict(timing) for name, timing in timings.items()},
            file,
            indent=1,
        )


if __name__ == "__main__":
    main(sys.argv[1], quick="--quick" in sys.argv[2:])
