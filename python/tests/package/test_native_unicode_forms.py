"""The normalization forms (NFD, NFKD, NFC, NFKC), StripAccents and the Digits pre-tokenizer
against the tokenizers package. Under a vocabulary of byte pieces only, a text's IDs are the
bytes of its normalized text (with a Metaspace after Digits, each word's start is marked), so
any difference in the normalized text or the split shows in the IDs."""

import random
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from .budget import examples, scalar_values
from .test_native_unigram import (
    MARKS,
    SENTENCES,
    Pair,
    assert_encode_matches_tokenizers_path,
    corpus,
    multilingual_texts,
    train,
    variant,
    write_model_dir,
)

tokenizers = pytest.importorskip("tokenizers")


FORMS = ["NFD", "NFKD", "NFC", "NFKC"]
NORMALIZERS = {form: {"type": form} for form in FORMS} | {
    "StripAccents": {"type": "StripAccents"},
    "NFD-StripAccents": {
        "type": "Sequence",
        "normalizers": [{"type": "NFD"}, {"type": "StripAccents"}, {"type": "Lowercase"}],
    },
}
METASPACE = {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": True}


def digits(individual):
    """Digits, each word then marked by the Metaspace: the split shows in the IDs."""
    return {
        "type": "Sequence",
        "pretokenizers": [{"type": "Digits", "individual_digits": individual}, METASPACE],
    }


def byte_tokenizer(normalizer=None, pre_tokenizer=None):
    """A Unigram model of the byte pieces and a few pieces of marks and digits."""
    vocab = [["<unk>", 0.0]] + [[f"<0x{b:02X}>", -1.0 - b % 5] for b in range(256)]
    vocab += [[piece, -2.0] for piece in ["▁", "12", "a\u0301", "e\u0323", "\u093f", "ab"]]
    return {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": normalizer,
        "pre_tokenizer": pre_tokenizer,
        "model": {"type": "Unigram", "unk_id": 0, "vocab": vocab, "byte_fallback": True},
    }


SETTINGS = {name: byte_tokenizer(normalizer=part) for name, part in NORMALIZERS.items()} | {
    f"Digits-{individual}": byte_tokenizer(pre_tokenizer=digits(individual))
    for individual in (False, True)
}


@pytest.fixture(scope="module", params=list(SETTINGS))
def setting(request, tmp_path_factory):
    return request.param, Pair(SETTINGS[request.param], tmp_path_factory.mktemp("setting"))


def test_every_code_point(setting):
    name, pair = setting
    points = scalar_values()
    # Each after a base letter, which composes with some, and a digit, which splits with others.
    texts = ["".join(f"a{chr(p)}1" for p in points[i : i + 64]) for i in range(0, len(points), 64)]
    assert pair.mismatches(texts) == []
    # Assigned characters are answered natively (but the few Unicode 15.1 added).
    first = [p for p in points if p < 0x3400 and unicodedata.category(chr(p)) != "Cn"]
    answered = sum(pair.native.tokenize(f"a{chr(p)}1") is not None for p in first)
    assert answered >= len(first) - 5


# Marks of Unicode 9.0 and later (U+1E944: 9.0; U+1DF6: 10.0; U+10F46: 11.0; U+1E130 and U+1E2EC:
# 12.0; U+16FF0, U+11930 and U+1193C: 13.0), characters that compose with a preceding one, and
# ones that decompose to a mark.
MORE_MARKS = [0x1DF6, 0x1E944, 0x10F46, 0x1E130, 0x1E2EC, 0x16FF0, 0x11930, 0x1193C, 0x11357]
COMPOSING = [0x301, 0x308, 0x304, 0x30C, 0x342, 0x345, 0x653, 0x654, 0x93C, 0x9BE, 0x9D7, 0xCD5]
COMPOSING += [0xCD6, 0xB3E, 0xB56, 0xB57, 0xBBE, 0xBD7, 0xDCF, 0xDDF, 0x102E, 0x3099, 0x309A]
COMPOSING += [0x110BA, 0x11127, 0x1133E, 0x114BA, 0x115AF, 0x11930, 0x0F71, 0x0F72, 0x0F80]
DECOMPOSING = [0x344, 0x343, 0x374, 0xF73, 0xF75, 0xF81, 0x1E08, 0x1FC1, 0x1FEE, 0x2ADC, 0x1D15E]
DECOMPOSING += [0x1D160, 0x1D1BB, 0xFB1D, 0x2126, 0x212B, 0x0958, 0x1F80, 0x01D5, 0x0CCB]
BASES = "aeouAEOIUαωηιυ中कগଡকக 가각\u0f40\u0fb2\u0fb3\u1025\u0b47\u0bc6\u0dd9\u0cc6\u0cbf"
BASES += "\U00011099\U00011131\U00011347\U000114b9\U000115b8\U00011935\u3046\u30cf\u0627\u0648"


def marked_texts(seed, count):
    rng = random.Random(seed)
    pool = MARKS + MORE_MARKS + COMPOSING + DECOMPOSING
    return [
        "".join(
            rng.choice(BASES) + "".join(chr(rng.choice(pool)) for _ in range(rng.randint(0, 4)))
            for _ in range(rng.randint(1, 6))
        )
        for _ in range(count)
    ]


def test_marks_in_and_out_of_order(setting):
    name, pair = setting
    texts = marked_texts(name, 4000)
    # Texts starting with marks, and marks between composing pairs.
    texts += ["".join(chr(m) for m in MARKS[i : i + 3]) + "a\u0301" for i in range(len(MARKS))]
    texts += ["a\u0316\u0301", "a\u0301\u0316", "a\u035c\u0301", "\u0301a", "e\u0304\u0301"]
    assert pair.mismatches(texts) == []
    assert pair.deferred(texts) == 0


def hangul_texts(seed, count):
    """Jamo in and out of syllable order, with syllables of each shape and marks among them."""
    rng = random.Random(seed)
    pieces = [chr(c) for c in range(0x1100, 0x1113)] + [chr(c) for c in range(0x1161, 0x1176)]
    pieces += [chr(c) for c in range(0x11A7, 0x11C4)] + ["\u1113", "\u1176", "\u11c3", "\u3131"]
    pieces += ["가", "각", "힣", "\ud7a3", "\uac1c", "\u3099", "\u0301", "\uffa1", "\u3200", "a"]
    return ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 12))) for _ in range(count)]


def test_hangul(setting):
    name, pair = setting
    texts = hangul_texts(name, 3000) + ["\u1100\u1161\u11a8", "\uac00\u11a8", "\uac01\u11a8"]
    texts += [
        "\u1100\u1161\u11a7",
        "\u1100\u1161\u11c3",
        "\u1112\u1175\u11c2",
        "\u1100\u0301\u1161",
    ]
    assert pair.mismatches(texts) == []


@settings(
    max_examples=examples(200),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(text=st.text(max_size=40))
def test_random_texts(setting, text):
    name, pair = setting
    assert pair.mismatches([text, text + "\u0301\u0316" + text, "1" + text[::-1]]) == []


# ---------------------------------------------------------------------------------------------
# On a model trained by tokenizers' UnigramTrainer, and through Model.encode


@pytest.fixture(scope="module")
def trained():
    return train()


TRAINED_SETTINGS = [
    (normalizer, pre_tokenizer)
    for normalizer in NORMALIZERS
    for pre_tokenizer in ["metaspace", "digits-False", "digits-True"]
]


def trained_variant(trained, normalizer, pre_tokenizer):
    content = variant(trained, "none", "always")
    content["normalizer"] = NORMALIZERS[normalizer]
    if pre_tokenizer != "metaspace":
        content["pre_tokenizer"] = digits(pre_tokenizer == "digits-True")
    return content


@pytest.mark.parametrize(("normalizer", "pre_tokenizer"), TRAINED_SETTINGS)
def test_trained_model(trained, tmp_path, normalizer, pre_tokenizer):
    pair = Pair(trained_variant(trained, normalizer, pre_tokenizer), tmp_path)
    texts = SENTENCES + [s.upper() for s in SENTENCES] + multilingual_texts(300, seed=13)
    texts += corpus(300) + marked_texts(normalizer, 300) + hangul_texts(pre_tokenizer, 100)
    texts += ["١٢٣ ⅻ ½ ²³ 𝟙𝟚 ①② 〡〢 12.5 1,000 x2y", "𑁦𑁧 ꘠꘡ ᭐᭑ 𞥐𞥑"]
    assert pair.mismatches(texts) == []
    # Texts of assigned characters are all answered natively.
    assert pair.deferred(texts) == 0


def test_first_prepend_scheme_after_strip_accents_is_refused(trained, tmp_path):
    content = trained_variant(trained, "StripAccents", "metaspace")
    content["pre_tokenizer"] = dict(METASPACE, prepend_scheme="first")
    with pytest.raises(ValueError, match="prepend_scheme first follows a normalizer"):
        Pair(content, tmp_path)


def test_encode_is_bit_identical_to_the_tokenizers_path(trained, tmp_path):
    content = trained_variant(trained, "NFD-StripAccents", "digits-True")
    content["normalizer"]["normalizers"].insert(0, {"type": "NFKC"})
    write_model_dir(tmp_path, content, seed=5)
    texts = SENTENCES + corpus(1000) + multilingual_texts(500, seed=17) + marked_texts(1, 500)
    assert_encode_matches_tokenizers_path(tmp_path, texts, batch_size=200)
