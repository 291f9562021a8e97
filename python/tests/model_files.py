"""Writes model.safetensors files for the tests."""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from model_file import model_file_bytes  # noqa: E402


def write_model(directory, table):
    """Writes `table` (rows of floats) as the F32 tensor of `directory`/model.safetensors."""
    data = np.asarray(table, dtype="<f4").tobytes()
    shape = list(np.shape(table))
    header = {"embeddings": {"dtype": "F32", "shape": shape, "data_offsets": [0, len(data)]}}
    (directory / "model.safetensors").write_bytes(model_file_bytes(header, data))
    return str(directory)
