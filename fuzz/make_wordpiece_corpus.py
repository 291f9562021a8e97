#!/usr/bin/env python3
"""Writes fuzz/wordpiece/tokenizer.json (a small BERT-style WordPiece tokenizer with added tokens
of every flag) and the saved inputs of fuzz_wordpiece: texts followed by a 0xFF byte and the IDs
the tokenizers package gives them, so that replaying the corpus compares against tokenizers.
Deterministic: running it again rewrites the same files. Needs the tokenizers package.

Usage: python fuzz/make_wordpiece_corpus.py
"""

import hashlib
import json
import pathlib
import random

from tokenizers import Tokenizer

HERE = pathlib.Path(__file__).resolve().parent
WORDS = (
    "the a an of to in is was for on with as by at from that this it be are not or and have "
    "token piece word un ##aff ##able ##s ##ing ##ed ##ly run ##ning play ##er cafe naive "
    "σοφ ##ος мир ##а 中 文 日 本 한 국 ا ل م ह न"
).split()
ADDED = [
    ("[UNK]", {"special": True}),
    ("[CLS]", {"special": True}),
    ("[SEP]", {"special": True}),
    ("<Hi>", {"lstrip": True, "rstrip": True}),
    ("Foo", {"single_word": True}),
    ("Qux", {"normalized": True}),
    ("é!", {"normalized": True, "rstrip": True}),
    (" x", {}),
]


def tokenizer_json():
    characters = [chr(c) for c in range(0x21, 0x7F)] + list(
        "éèçñüößøåæœαβγδεζηθικλμνξοπρστυφχψωабвгдежзийклмнопрстуфхцчшщъыьэюя"
    )
    vocab = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"]
    for piece in characters + ["##" + c for c in characters] + WORDS:
        if piece not in vocab:
            vocab.append(piece)
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [
            {
                "id": 0,
                "content": text,
                "single_word": False,
                "lstrip": False,
                "rstrip": False,
                "normalized": False,
                "special": False,
            }
            | flags
            for text, flags in ADDED
        ],
        "normalizer": {
            "type": "BertNormalizer",
            "clean_text": True,
            "handle_chinese_chars": True,
            "strip_accents": None,
            "lowercase": True,
        },
        "pre_tokenizer": {"type": "BertPreTokenizer"},
        "post_processor": None,
        "decoder": None,
        "model": {
            "type": "WordPiece",
            "unk_token": "[UNK]",
            "continuing_subword_prefix": "##",
            "max_input_chars_per_word": 12,
            "vocab": {t: i for i, t in enumerate(vocab)},
        },
    }


def texts():
    rng = random.Random(15)
    pieces = (
        WORDS
        + [t for t, _ in ADDED]
        + [
            " ",
            "  ",
            "\t",
            "\n",
            "\u00a0",
            "\u3000",
            "\u200b",
            "\x00",
            "\x7f",
            "\u0301",
            "\u0316",
            "É",
            "İ",
            "Σ",
            "中文",
            "😀",
            "👍🏽",
            ".",
            ",",
            "!",
            "-",
            "'",
            "_",
            "Run",
            "PLAYER",
            "unaffable",
            "supercalifragilistic",
            "\ufffd",
            "\ue000",
            "ǅ",
            "ﬁ",
            "Ω",
            "\u1c89",
        ]
    )
    yield from ["", "Hello, world!", "Foo foo xFoo Foo.", "a  <Hi>  b", "QUX é! É!", "\u1c89"]
    for _ in range(300):
        yield "".join(rng.choice(pieces) for _ in range(rng.randint(1, 12)))


def fnv1a(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) % 2**64
    return value


def write_recorded(name, content, texts):
    """Writes fuzz/<name>/tokenizer.json from `content` (its JSON object) and, in
    fuzz/corpus/<name>, each distinct text of `texts` with the IDs tokenizers gives it."""
    directory = HERE / name
    directory.mkdir(exist_ok=True)
    path = directory / "tokenizer.json"
    path.write_text(json.dumps(content, ensure_ascii=False, indent=1) + "\n", encoding="utf-8")
    tokenizer = Tokenizer.from_file(str(path))
    corpus = HERE / "corpus" / name
    corpus.mkdir(parents=True, exist_ok=True)
    for text in dict.fromkeys(texts):
        ids = tokenizer.encode(text, add_special_tokens=False).ids
        data = text.encode() + b"\xff" + " ".join(map(str, ids)).encode()
        data += b"\xff" + f"{fnv1a(data):016x}".encode()
        (corpus / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    write_recorded("wordpiece", tokenizer_json(), texts())


if __name__ == "__main__":
    main()
