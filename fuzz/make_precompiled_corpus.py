#!/usr/bin/env python3
"""Writes fuzz/precompiled/tokenizer.json (fuzz_unigram's tokenizer with XLM-R's normalizer: the
nmt_nfkc character map that sentencepiece's trainer writes, then runs of spaces made one, and
Metaspace's prepend_scheme "first") and the saved inputs of fuzz_precompiled: texts followed by a
0xFF byte and the IDs the tokenizers package gives them. Deterministic. Needs the tokenizers and
sentencepiece packages.

Usage: python fuzz/make_precompiled_corpus.py
"""

import base64
import random

from make_unigram_corpus import texts as unigram_texts
from make_unigram_corpus import tokenizer_json
from make_wordpiece_corpus import write_recorded

from korvane_dev.sentencepiece_map import trained_charsmap


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
    charsmap = base64.b64encode(trained_charsmap("nmt_nfkc")).decode()
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
