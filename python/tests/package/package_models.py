"""Model files for the korvane package's tests: tables of every element type written as
safetensors files, and a small WordPiece tokenizer whose IDs index them."""

import json
import struct

import numpy as np
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors

# A vocabulary with an unknown token, special tokens and a continuation piece; every word of the
# test sentences below is in it except "zebra" and "quantum".
WORDS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"] + (
    "the a cat dog sat on mat rain storm bank rates heavy brought thunder and flooded streets "
    "raised central my loves playing in park . , ! ##s ##ing ##ed".split()
)

SENTENCES = [
    "The cat sat on the mat.",
    "A storm brought thunder and rain!",
    "Heavy rain flooded the streets",
    "the zebra sat on the mat",
    "zebra quantum",
    "",
    "   ",
    "My dog loves playing in the park, the cats sat.",
]

# numpy types of the element types the tests write; BF16 is written from its raw bits.
NUMPY_TYPES = {
    "F64": "<f8",
    "F32": "<f4",
    "F16": "<f2",
    "I64": "<i8",
    "I32": "<i4",
    "I16": "<i2",
    "I8": "i1",
    "U8": "u1",
    "BOOL": "u1",
}
DTYPES = [*NUMPY_TYPES, "BF16"]


def safetensors_bytes(tensors):
    """A safetensors file of `tensors`: name -> (dtype name, raw bytes, shape), in that order."""
    header, data = {}, b""
    for name, (dtype, raw, shape) in tensors.items():
        header[name] = {
            "dtype": dtype,
            "shape": list(shape),
            "data_offsets": [len(data), len(data) + len(raw)],
        }
        data += raw
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + data


def table_bytes(table, dtype):
    """`table` (float32) encoded as `dtype`; BF16 keeps the top half of each float's bits."""
    if dtype == "BF16":
        return (np.ascontiguousarray(table, "<f4").view("<u4") >> 16).astype("<u2").tobytes()
    return np.ascontiguousarray(table).astype(NUMPY_TYPES[dtype]).tobytes()


def random_table(rng, rows, dim, dtype):
    """Values every element type represents well enough to be interesting."""
    if dtype in ("I64", "I32", "I16", "I8"):
        return rng.integers(-100, 100, (rows, dim)).astype(np.float32)
    if dtype in ("U8", "BOOL"):
        return rng.integers(0, 255 if dtype == "U8" else 2, (rows, dim)).astype(np.float32)
    return rng.standard_normal((rows, dim)).astype(np.float32)


def write_table(directory, table, dtype="F32", name="embeddings", extra=None):
    directory.mkdir(parents=True, exist_ok=True)
    tensors = {name: (dtype, table_bytes(table, dtype), table.shape)}
    tensors.update(extra or {})
    (directory / "model.safetensors").write_bytes(safetensors_bytes(tensors))
    return directory


def make_tokenizer():
    vocab = {word: index for index, word in enumerate(WORDS)}
    tokenizer = Tokenizer(models.WordPiece(vocab, unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tokenizer.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 2), ("[SEP]", 3)]
    )
    # Written into the file as transformer tokenizers often are; the package must undo both.
    tokenizer.enable_padding(length=16)
    tokenizer.enable_truncation(max_length=5)
    return tokenizer
