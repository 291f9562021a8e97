#!/usr/bin/env python3
"""Writes fuzz/precompiled/tokenizer.json (fuzz_unigram's tokenizer with XLM-R's normalizer: the
nmt_nfkc character map that sentencepiece's trainer writes, then runs of spaces made one, and
Metaspace's prepend_scheme "first") and the saved inputs of fuzz_precompiled: texts followed by a
0xFF byte and the IDs the tokenizers package gives them. Deterministic. Needs the tokenizers and
sentencepiece packages.

Usage: python fuzz/make_precompiled_corpus.py
"""

import base64
import io
import random

import sentencepiece
from make_unigram_corpus import texts as unigram_texts
from make_unigram_corpus import tokenizer_json
from make_wordpiece_corpus import write_recorded


def length_delimited(message):
    """(number, value) of a protocol buffer message's length-delimited fields."""
    position = 0

    def varint():
        nonlocal position
        value = shift = 0
        while True:
            byte = message[position]
            position += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    while position < len(message):
        key = varint()
        kind = key & 7
        if kind == 0:
            varint()
        elif kind in (1, 5):
            position += 8 if kind == 1 else 4
        else:
            length = varint()
            yield key >> 3, message[position : position + length]
            position += length


def nmt_nfkc_charsmap():
    model = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(["a small text to train on, of no importance"] * 20),
        model_writer=model,
        vocab_size=30,
        normalization_rule_name="nmt_nfkc",
        hard_vocab_limit=False,
        minloglevel=2,
    )
    spec = next(value for number, value in length_delimited(model.getvalue()) if number == 3)
    return next(value for number, value in length_delimited(spec) if number == 2)


def texts():
    rng = random.Random(41)
    pieces = ["a", "A", "é", "e\u0301", "A\u0300", "\u24d8\u0330", "\u2f29\u0300", "\r\n", "\r"]
    pieces += ["\u200b", "\x01", "  ", " ", "\u3000", "ｶﾞ", "ｶ\u3099", "\u1100\u1161", "\u0e33"]
    pieces += ["\ufb00\u0300", "①", "ｆ", "\U0001f1eb\U0001f1f7", "\u0600a", "\u200d", "中"]
    yield from unigram_texts()
    for _ in range(200):
        yield "".join(rng.choice(pieces) for _ in range(rng.randint(1, 10)))


def main():
    content = tokenizer_json()
    charsmap = base64.b64encode(nmt_nfkc_charsmap()).decode()
    content["normalizer"] = {
        "type": "Sequence",
        "normalizers": [
            {"type": "Precompiled", "precompiled_charsmap": charsmap},
            {"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "},
        ],
    }
    content["pre_tokenizer"]["prepend_scheme"] = "first"
    write_recorded("precompiled", content, texts())


if __name__ == "__main__":
    main()
