#!/usr/bin/env python3
"""Writes fuzz/unigram/tokenizer.json (a small Unigram tokenizer: byte fallback with some byte
pieces missing, a normalizer Sequence of Replace, NFKC, Lowercase and Strip, Metaspace, added
tokens) and the saved inputs of fuzz_unigram (fuzz_wordpiece.cpp built on that file): texts
followed by a 0xFF byte and the IDs the tokenizers package gives them, so that replaying the
corpus compares against tokenizers. Deterministic: running it again rewrites the same files.
Needs the tokenizers package.

Usage: python fuzz/make_unigram_corpus.py
"""

import pathlib
import random

from make_wordpiece_corpus import write_recorded

HERE = pathlib.Path(__file__).resolve().parent
LETTERS = "abcdeinorstuéüσοφмира中文日本한국ाहन▁"


def tokenizer_json():
    rng = random.Random(23)
    pieces = {"".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 4))) for _ in range(400)}
    pieces |= set(LETTERS) - {"é", "한"}
    vocab = [["<unk>", 0.0], ["<s>", 0.0], ["</s>", 0.0]]
    vocab += [[piece, -float(rng.randint(10, 120)) / 10] for piece in sorted(pieces)]
    vocab += [[f"<0x{b:02X}>", -13.0] for b in range(256) if b % 7 != 3]
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [
            {
                "id": 1,
                "content": "<s>",
                "single_word": False,
                "lstrip": False,
                "rstrip": False,
                "normalized": False,
                "special": True,
            },
            {
                "id": len(vocab),
                "content": "Zq",
                "single_word": False,
                "lstrip": False,
                "rstrip": False,
                "normalized": True,
                "special": False,
            },
        ],
        "normalizer": {
            "type": "Sequence",
            "normalizers": [
                {"type": "Replace", "pattern": {"String": "``"}, "content": '"'},
                {"type": "NFKC"},
                {"type": "Lowercase"},
                {"type": "Strip", "strip_left": True, "strip_right": True},
            ],
        },
        "pre_tokenizer": {
            "type": "Metaspace",
            "replacement": "▁",
            "prepend_scheme": "always",
            "split": True,
        },
        "post_processor": None,
        "decoder": None,
        "model": {"type": "Unigram", "unk_id": 0, "vocab": vocab, "byte_fallback": True},
    }


def texts():
    rng = random.Random(16)
    pieces = list(LETTERS) + [
        " ",
        "  ",
        "\t",
        "\u00a0",
        "\u3000",
        "\u0301",
        "É",
        "Σ",
        "ﬁ",
        "😀",
        "``",
        "<s>",
        "Zq",
        "zq",
        "<unk>",
        "▁▁",
        "x",
        "\ufffd",
        "\u1c89",
        "①",
        "ｆ",
        "a\u0316\u0301",
        "ह\u093f",
    ]
    yield from ["", " ", "<s>", "Hello, world!", "ﬁne ``quote''", "\u1c89"]
    for _ in range(300):
        yield "".join(rng.choice(pieces) for _ in range(rng.randint(1, 12)))


def main():
    write_recorded("unigram", tokenizer_json(), texts())


if __name__ == "__main__":
    main()
