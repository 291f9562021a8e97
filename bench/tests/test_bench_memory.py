import pytest

from memory import allocated_bytes, measure, resident_bytes, settled_resident_bytes

SIZE = 64 << 20


def test_touched_memory_shows_in_both_counts():
    rss, allocated = settled_resident_bytes(), allocated_bytes()
    block = bytearray(SIZE)  # zero-filled, so every page is touched
    assert abs(resident_bytes() - rss - SIZE) < SIZE / 8
    assert abs(allocated_bytes() - allocated - SIZE) < SIZE / 8
    del block
    assert settled_resident_bytes() - rss < SIZE / 8


@pytest.mark.parametrize("dtype, width", [("F32", 4), ("BF16", 2)])
def test_a_fully_cached_model_holds_at_least_its_table_and_rows(dtype, width):
    record = measure(dtype, 16, rows=2000)
    assert record["table_bytes"] == 2000 * 16 * width and record["row_bytes"] == 2000 * 16 * 4
    assert record["allocated"] >= record["table_bytes"] + record["row_bytes"]
    assert record["allocated_overhead_per_entry"] >= 0
