#!/usr/bin/env python3
"""Writes fuzz/bpe/tokenizer.json (a small byte-level BPE tokenizer, GPT-2 style, trained here by
tokenizers' BpeTrainer, with added tokens) and the saved inputs of fuzz_bpe: texts followed by a
0xFF byte and the IDs the tokenizers package gives them (the format of fuzz_wordpiece), so that
replaying the corpus compares against tokenizers. Deterministic: running it again rewrites the
same files. Needs the tokenizers package.

Usage: python fuzz/make_bpe_corpus.py
"""

import json
import pathlib
import random

from make_wordpiece_corpus import write_recorded
from tokenizers import AddedToken, Tokenizer, models, pre_tokenizers, trainers

HERE = pathlib.Path(__file__).resolve().parent
WORDS = (
    "the a an of to in is was for on with as by at from that this it be are not or and have "
    "token piece word running played player's they'll we've I'm don't café naïve σοφός мира "
    "中文 日本語 한국어 العربية हिन्दी 123 4.5 ٣٤ ½ 😀 👍🏽 👨‍👩‍👧"
).split()
PIECES = WORDS + [
    " ",
    "  ",
    "\t",
    "\n",
    "\r\n",
    "\u00a0",
    "\u3000",
    "\u200b",
    "\x00",
    "\x7f",
    "\u0301",
    "'s",
    "'S",
    "'",
    "!?",
    "...",
    "-",
    "_",
    "\ufffd",
    "\ue000",
    "Ã©",
    "\x80",
    "\U0010fffd",
    "<s>",
    "</s>",
    "<mask>",
]


def sentences():
    rng = random.Random(24)
    for _ in range(400):
        yield " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 15)))


def train():
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    trainer = trainers.BpeTrainer(
        vocab_size=600, initial_alphabet=pre_tokenizers.ByteLevel.alphabet()
    )
    tokenizer.train_from_iterator(sentences(), trainer)
    tokenizer.add_special_tokens(["<s>", "</s>"])
    tokenizer.add_tokens([AddedToken("<mask>", lstrip=True), AddedToken("café", normalized=True)])
    return tokenizer


def texts():
    rng = random.Random(15)
    yield from ["", " ", "Hello, world!", "<s>text</s>", "a <mask> b", "it's   spaced \n\n x"]
    for _ in range(300):
        yield "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 12)))


def main():
    write_recorded("bpe", json.loads(train().to_str()), texts())


if __name__ == "__main__":
    main()
