"""Builds model.safetensors files for the tests: 8-byte little-endian header length, JSON
header, data section."""

import json
import struct

import numpy as np


def model_file_bytes(header, data=b""):
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + data


def write_model(directory, table):
    """Writes `table` (rows of floats) as the F32 tensor of `directory`/model.safetensors."""
    data = np.asarray(table, dtype="<f4").tobytes()
    shape = list(np.shape(table))
    header = {"embeddings": {"dtype": "F32", "shape": shape, "data_offsets": [0, len(data)]}}
    (directory / "model.safetensors").write_bytes(model_file_bytes(header, data))
    return str(directory)
