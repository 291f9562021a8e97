"""Model.load and convert choose a file's token table by one rule: the same tensor, or the same
refusal, for every file."""

import numpy as np
import pytest

import korvane
from korvane.convert import load_table

from .package_models import safetensors_bytes


def f32(shape, fill=0.0):
    return ("F32", np.full(shape, fill, "<f4").tobytes(), shape)


WORD_TABLE = "embeddings.word_embeddings.weight"


@pytest.mark.parametrize(
    "tensors, chosen",
    [
        (
            {"position_ids": f32((1, 4)), "bert." + WORD_TABLE: f32((6, 4), 1.0)},
            "bert." + WORD_TABLE,
        ),
        ({"embeddings": f32((6, 4), 1.0), WORD_TABLE: f32((5, 4))}, "embeddings"),
        ({WORD_TABLE: f32((6, 4), 1.0), "bert." + WORD_TABLE: f32((5, 4))}, WORD_TABLE),
        ({"a." + WORD_TABLE: f32((6, 4)), "b." + WORD_TABLE: f32((5, 4))}, None),
        ({"position_ids": f32((1, 4)), "w": f32((6, 4))}, None),
    ],
)
def test_load_and_convert_choose_the_same_table(tmp_path, tensors, chosen):
    path = tmp_path / "model.safetensors"
    path.write_bytes(safetensors_bytes(tensors))
    if chosen is None:
        with pytest.raises(ValueError):
            korvane.Model.load(tmp_path)
        with pytest.raises(ValueError):
            load_table(path)
        return
    assert korvane.Model.load(tmp_path).tensor == chosen
    assert load_table(path).shape == tensors[chosen][2]
