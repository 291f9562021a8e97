"""The character map (precompiled_charsmap) that sentencepiece's trainer writes into a model it
trains, as tokenizers' Precompiled normalizer carries it (base64) in tokenizer.json. The map does
not depend on the training text, which only has to make a small model."""

import io
from pathlib import Path

TRAINING_LINES = ["a small text to train on, of no importance"] * 20


def fields(message):
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
        elif kind == 1:
            position += 8
        elif kind == 5:
            position += 4
        else:
            length = varint()
            yield key >> 3, message[position : position + length]
            position += length


def trained_charsmap(rule_name=None, rule_tsv: Path | None = None):
    """The map of a model trained under the named rule (nmt_nfkc, nmt_nfkc_cf, ...) or under the
    user rules of the file `rule_tsv` (source code points, a tab, target code points, in
    hexadecimal, one rule per line)."""
    import sentencepiece

    options = {"normalization_rule_tsv": str(rule_tsv)} if rule_tsv else {}
    if rule_name is not None:
        options["normalization_rule_name"] = rule_name
    model = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(TRAINING_LINES),
        model_writer=model,
        vocab_size=30,
        model_type="unigram",
        hard_vocab_limit=False,
        minloglevel=2,
        **options,
    )
    # Field 3 of the model is its normalizer's settings; their field 2 is the map.
    normalizer = next(value for number, value in fields(model.getvalue()) if number == 3)
    return next(value for number, value in fields(normalizer) if number == 2)
