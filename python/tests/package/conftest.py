"""Fixtures of the korvane package's tests."""

import numpy as np
import pytest

from .package_models import WORDS, make_tokenizer, random_table, write_table


@pytest.fixture
def tokenizer():
    return make_tokenizer()


@pytest.fixture
def model_dir(tmp_path, tokenizer):
    """A model directory: an F32 table of len(WORDS) x 16, tokenizer.json, no config.json."""
    table = random_table(np.random.default_rng(7), len(WORDS), 16, "F32")
    directory = write_table(tmp_path / "model", table)
    tokenizer.save(str(directory / "tokenizer.json"))
    return directory
