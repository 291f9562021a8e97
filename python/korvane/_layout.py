"""What a korvane model is made of, stated once for the package: the files of a model directory,
the names under which a file's token table, token mapping and weights are found and the rule
that chooses the table, the element types a table is read from and written in, and the default
batch size."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, Final

import numpy as np

MODEL_FILE: Final = "model.safetensors"
TOKENIZER_FILE: Final = "tokenizer.json"
CONFIG_FILE: Final = "config.json"
# The files `korvane convert` writes into a model directory, all of them korvane's own.
MODEL_DIRECTORY_FILES: Final = (MODEL_FILE, TOKENIZER_FILE, CONFIG_FILE)
# sentence-transformers' pipeline of modules, which may put the table in a subdirectory.
MODULES_FILE: Final = "modules.json"

# The name convert gives the table: model2vec's.
TABLE_NAME: Final = "embeddings"
# Token tables under the names checkpoints give them: model2vec's, and a BERT-style
# checkpoint's, which a prefix such as "bert." may precede.
KNOWN_TABLE_NAMES: Final = (TABLE_NAME, "embeddings.word_embeddings.weight")
# The table's name in a file sentence-transformers' StaticEmbedding saves.
STATIC_EMBEDDING_TABLE: Final = "embedding.weight"
# model2vec's token mapping (token ID -> row) and per-token weights, applied when a file holds
# them.
MAPPING_TENSOR: Final = "mapping"
WEIGHTS_TENSOR: Final = "weights"


def choose_table(tensors: Iterable[tuple[str, Sequence[int]]]) -> str | None:
    """The token table among a file's tensors ((name, shape) in the file's order) when none is
    named: its only
    two-dimensional tensor; else the two-dimensional one with a known name, "embeddings" before
    "embeddings.word_embeddings.weight", before a single prefixed "<prefix>.embeddings.
    word_embeddings.weight". None when that leaves no table, or several."""
    tables = [name for name, shape in tensors if len(shape) == 2]
    if len(tables) == 1:
        return tables[0]
    for known in KNOWN_TABLE_NAMES:
        if known in tables:
            return known
    prefixed = [name for name in tables if name.endswith("." + KNOWN_TABLE_NAMES[1])]
    return prefixed[0] if len(prefixed) == 1 else None


# The element types a table may be read from: their numpy storage, BF16 as its raw 16 bits
# (numpy has no bfloat16).
READ_TYPES: Final[dict[str, str]] = {
    "F64": "<f8",
    "F32": "<f4",
    "F16": "<f2",
    "BF16": "<u2",
    "I64": "<i8",
    "I32": "<i4",
    "I16": "<i2",
    "I8": "i1",
    "U8": "u1",
    "BOOL": "?",
}
# The element types convert writes: the option's name -> (the file's name, numpy's type).
WRITTEN_TYPES: Final[dict[str, tuple[str, type[np.floating[Any]]]]] = {
    "f32": ("F32", np.float32),
    "f16": ("F16", np.float16),
}

# Texts tokenized and embedded together by Model.encode, `korvane embed`, korvane.dask and the
# most a `korvane serve` batch gathers.
DEFAULT_BATCH_SIZE: Final = 4096
