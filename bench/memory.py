"""Memory held by a StaticEmbedding once every row of its table has been embedded: resident set
growth against the table's own bytes plus rows x D x 4 for the decoded rows.

Usage: python bench/memory.py OUTPUT.json [--quick]
"""

import ctypes
import gc
import json
import os
import sys
import tempfile

import korvane_py
from latency import CONFIGURATIONS
from models import ELEMENT_WIDTHS, ROWS, write_model

PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")
libc = ctypes.CDLL(None)


class MallocInfo(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


libc.mallinfo2.restype = MallocInfo


def allocated_bytes():
    """Bytes the C library's allocator has handed out and not taken back, its own chunk headers
    included: heap chunks in use plus mapped blocks."""
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    """The process's resident set size, in bytes."""
    with open("/proc/self/statm") as file:
        return int(file.read().split()[1]) * PAGE_BYTES


def settled_resident_bytes():
    """The resident set once freed memory has gone back to the system, so that what was
    released before a measurement does not count against it."""
    gc.collect()
    libc.malloc_trim(0)
    return resident_bytes()


def embed_every_row(directory, rows):
    model = korvane_py.StaticEmbedding(directory)
    for token in range(rows):
        model.embed_tokens([token])
    return model


def measure(dtype, dimension, rows):
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as directory:
        # A small run first, so that the code pages of every path taken are resident before the
        # baseline and are not counted as memory the model holds.
        write_model(directory, dimension, dtype, rows=100)
        embed_every_row(directory, 100)
        write_model(directory, dimension, dtype, rows, settle=True)
        before = settled_resident_bytes()
        allocated_before = allocated_bytes()
        model = embed_every_row(directory, rows)
        growth = settled_resident_bytes() - before
        allocated = allocated_bytes() - allocated_before
        del model
    table_bytes = rows * dimension * ELEMENT_WIDTHS[dtype]
    row_bytes = rows * dimension * 4
    return {
        "dtype": dtype,
        "dimension": dimension,
        "rows": rows,
        "growth": growth,
        "table_bytes": table_bytes,
        "row_bytes": row_bytes,
        "allocated": allocated,
        # Everything beyond the table and the decoded rows, per cached row.
        "overhead_per_entry": (growth - table_bytes - row_bytes) / rows,
        "allocated_overhead_per_entry": (allocated - table_bytes - row_bytes) / rows,
    }


def main(output, quick=False):
    rows = ROWS // 10 if quick else ROWS
    records = []
    for dtype, dimension in CONFIGURATIONS:
        record = measure(dtype, dimension, rows)
        records.append(record)
        print(
            f"{dtype:>4} D={dimension:<4} growth {record['growth'] / 1e6:8.2f} MB, "
            f"expected {(record['table_bytes'] + record['row_bytes']) / 1e6:8.2f} MB, "
            f"{record['overhead_per_entry']:6.2f} bytes per entry beyond "
            f"({record['allocated_overhead_per_entry']:.2f} by the allocator's count)",
            flush=True,
        )
    with open(output, "w") as file:
        json.dump({"records": records}, file, indent=1)


if __name__ == "__main__":
    main(sys.argv[1], quick="--quick" in sys.argv[2:])
