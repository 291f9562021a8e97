from memory import allocated_bytes, resident_bytes, settled_resident_bytes

SIZE = 64 << 20


def test_touched_memory_shows_in_both_counts():
    rss, allocated = settled_resident_bytes(), allocated_bytes()
    block = bytearray(SIZE)  # zero-filled, so every page is touched
    assert abs(resident_bytes() - rss - SIZE) < SIZE / 8
    assert abs(allocated_bytes() - allocated - SIZE) < SIZE / 8
    del block
    assert settled_resident_bytes() - rss < SIZE / 8
