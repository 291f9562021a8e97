"""Builds model.safetensors files byte by byte: the 8-byte little-endian header length, the JSON
header, then the data section. Shared by the Python tests, the benchmarks and the fuzz seeds."""

import json
import struct


def model_file_bytes(header, data=b"", declared_length=None, alignment=1):
    """The file of `header` (a dict or list, written as compact JSON; or str or bytes, written as
    they stand) and `data`. The header is padded with spaces to a multiple of `alignment` bytes,
    so that the data section starts at that alignment; `declared_length`, when given, is written
    as the header's length instead of its own."""
    if isinstance(header, (dict, list)):
        header = json.dumps(header, separators=(",", ":"))
    if isinstance(header, str):
        header = header.encode()
    header += b" " * (-len(header) % alignment)
    length = len(header) if declared_length is None else declared_length
    return struct.pack("<Q", length) + header + data
