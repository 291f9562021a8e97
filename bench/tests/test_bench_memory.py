import ctypes

import pytest

from memory import allocated_bytes, measure, resident_bytes, settled_resident_bytes

SIZE = 64 << 20
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]


def test_touched_memory_shows_in_both_counts():
    rss, allocated = settled_resident_bytes(), allocated_bytes()
    # Taken from the C library's allocator, as the extension's memory is: Python's own objects
    # may come from another (mimalloc, on the free-threaded build), which mallinfo2 does not see.
    block = libc.malloc(SIZE)
    ctypes.memset(block, 1, SIZE)  # every page touched
    assert abs(resident_bytes() - rss - SIZE) < SIZE / 8
    assert abs(allocated_bytes() - allocated - SIZE) < SIZE / 8
    libc.free(block)
    assert settled_resident_bytes() - rss < SIZE / 8


@pytest.mark.parametrize("dtype, width", [("F32", 4), ("BF16", 2)])
def test_a_fully_cached_model_holds_at_least_its_table_and_rows(dtype, width):
    record = measure(dtype, 16, rows=2000)
    assert record["table_bytes"] == 2000 * 16 * width and record["row_bytes"] == 2000 * 16 * 4
    assert record["allocated"] >= record["table_bytes"] + record["row_bytes"]
    assert record["allocated_overhead_per_entry"] >= 0
