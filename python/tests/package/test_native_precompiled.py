"""The Precompiled normalizer (SentencePiece's character map) against the tokenizers package, with
maps written by the sentencepiece trainer: the normalized text itself, seen through a Unigram model
of byte pieces only, and a trained Unigram model with Metaspace as XLM-R's tokenizers have it."""

import base64
import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane_dev import sentencepiece_map

from .budget import examples, scalar_values
from .test_native_unigram import (
    SENTENCES,
    Pair,
    assert_encode_matches_tokenizers_path,
    corpus,
    mixed_texts,
    multilingual_texts,
    variant,
    write_model_dir,
)

tokenizers = pytest.importorskip("tokenizers")
pytest.importorskip("sentencepiece")

# A user rule per line: source code points, a tab, target code points (hexadecimal).
USER_RULES = "41\t61\n41 42\t78 79 7A\n42 43 44\t\n301\t2D\nE9\t65 301\nD\t20\nD A\t7C\n"
RULES = ["nmt_nfkc", "nmt_nfkc_cf", "user"]


def trained_charsmap(rule, tmp_path):
    """The character map that sentencepiece's trainer writes under the rule `rule`."""
    if rule != "user":
        return sentencepiece_map.trained_charsmap(rule)
    path = tmp_path / "rules.tsv"
    path.write_text(USER_RULES, encoding="utf-8")
    return sentencepiece_map.trained_charsmap(rule_tsv=path)


@pytest.fixture(scope="module", params=RULES)
def charsmap(request, tmp_path_factory):
    return trained_charsmap(request.param, tmp_path_factory.mktemp(request.param))


def precompiled(charsmap):
    return {"type": "Precompiled", "precompiled_charsmap": base64.b64encode(charsmap).decode()}


def bytes_tokenizer(normalizer):
    """A tokenizer.json whose IDs are the bytes of the normalized text, plus one (unk is 0)."""
    vocab = [["<unk>", 0.0]] + [[f"<0x{b:02X}>", -1.0] for b in range(256)]
    return {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": normalizer,
        "pre_tokenizer": None,
        "model": {"type": "Unigram", "unk_id": 0, "vocab": vocab, "byte_fallback": True},
    }


@pytest.fixture(scope="module")
def bytes_pair(charsmap, tmp_path_factory):
    return Pair(bytes_tokenizer(precompiled(charsmap)), tmp_path_factory.mktemp("bytes"))


POINTS = scalar_values()


def test_the_bytes_model_shows_the_normalized_text(charsmap, bytes_pair):
    normalizer = tokenizers.normalizers.Precompiled(charsmap)
    for text in SENTENCES:
        expected = normalizer.normalize_str(text).encode()
        assert bytes_pair.reference.encode(text).ids == [b + 1 for b in expected]


def test_every_code_point_alone_and_between_letters(charsmap, bytes_pair):
    # Alone: each code point that the map changes, and one in 16 of the others.
    normalizer = tokenizers.normalizers.Precompiled(charsmap)
    alone = [chr(p) for p in POINTS if p % 16 == 0 or normalizer.normalize_str(chr(p)) != chr(p)]
    between = [
        " ".join(f"a{chr(p)}b" for p in POINTS[i : i + 64]) for i in range(0, len(POINTS), 64)
    ]
    for start in range(0, len(alone), 20_000):
        assert bytes_pair.mismatches(alone[start : start + 20_000]) == []
    assert bytes_pair.deferred(alone) == 0
    for start in range(0, len(between), 2_000):
        assert bytes_pair.mismatches(between[start : start + 2_000]) == []


MARKS = [0x300, 0x301, 0x308, 0x327, 0x330, 0x345, 0x94D, 0x93F, 0xE31, 0x3099, 0xFF9E, 0x200D]
BASES = ["a", "A", "e", "\u00e9", "\u24d8", "\u2f29", "\ufb00", "\u2460", "\r", "\n", "\u200c"]
BASES += ["\u0e33", "\uff76", "\u1100", "\u1161", "\u11a8", "\uac00", "\U0001f1eb", "\u0600", " "]


@pytest.mark.parametrize("seed", range(4))
def test_combining_sequences_and_clusters(bytes_pair, seed):
    rng = random.Random(seed)
    texts = [
        "".join(
            rng.choice(BASES) + "".join(chr(rng.choice(MARKS)) for _ in range(rng.randint(0, 2)))
            for _ in range(rng.randint(1, 5))
        )
        for _ in range(3000)
    ]
    texts += ["\r\n", "x\r\ny", "\r\r\n\n", "A\u0300", "\u24d8\u0330", "\u1100\u1161\u11a8"]
    assert bytes_pair.mismatches(texts) == []
    assert bytes_pair.deferred(texts) < len(texts)


def test_texts_without_marks_are_answered_natively(bytes_pair):
    texts = corpus(500) + multilingual_texts(500, seed=9) + ["line one\r\nline two\r\n"]
    texts += ["한국어 문장입니다. 가각", "Съешь ЁЛКА", "日本語の文章です。ＡＢＣ", "①②"]
    assert bytes_pair.mismatches(texts) == []
    assert bytes_pair.deferred(texts) == 0


@pytest.mark.parametrize(
    ("charsmap_text", "reason"),
    [("not base64!", "not base64"), ("AAAA", "too short|no trie"), ("/////w==", "out of range")],
)
def test_broken_charsmaps_keep_the_tokenizers_path(tmp_path, charsmap_text, reason):
    from korvane import _native

    content = bytes_tokenizer({"type": "Precompiled", "precompiled_charsmap": charsmap_text})
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(content), encoding="utf-8")
    with pytest.raises(ValueError, match=reason):
        _native.Tokenizer(path)


@pytest.fixture(scope="module")
def random_pair(tmp_path_factory):
    directory = tmp_path_factory.mktemp("random-precompiled")
    charsmap = trained_charsmap("nmt_nfkc_cf", directory)
    return Pair(bytes_tokenizer(precompiled(charsmap)), directory)


@settings(
    max_examples=examples(400),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(text=st.text(max_size=40))
def test_random_strings(random_pair, text):
    assert random_pair.mismatches([text, f"A{text}\r\n{text}"]) == []


# ---------------------------------------------------------------------------------------------
# XLM-R's arrangement: Precompiled, a Replace of runs of spaces, Metaspace


def xlmr_normalizer(charsmap):
    return {
        "type": "Sequence",
        "normalizers": [
            precompiled(charsmap),
            {"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "},
        ],
    }


@pytest.mark.parametrize("pre_tokenizer", ["always", "first", "never-unsplit"])
def test_trained_unigram_model(trained, charsmap, tmp_path, pre_tokenizer):
    content = variant(trained, "none", pre_tokenizer)
    content["normalizer"] = xlmr_normalizer(charsmap)
    pair = Pair(content, tmp_path)
    texts = SENTENCES + [s.upper() for s in SENTENCES] + multilingual_texts(400, seed=3)
    texts += corpus(400) + mixed_texts(17)
    # Removed characters (C0 controls, U+200B with nmt_nfkc) and runs of spaces at the start.
    texts += [
        f"{start}{text}" for start in ["\x01", "\u200b", "  ", "\x01 \x02"] for text in SENTENCES
    ]
    assert pair.mismatches(texts) == []
    assert pair.deferred(corpus(400)) == 0


@pytest.mark.parametrize(
    ("steps", "native"),
    [
        (["precompiled"], True),
        (["precompiled", "spaces"], True),
        (["precompiled", {"type": "NFKC"}, {"type": "Lowercase"}], True),
        # Precompiled may remove the space that the Replace put first.
        (["spaces", "precompiled"], False),
        (["precompiled", {"type": "Replace", "pattern": {"Regex": "a+"}, "content": "c"}], False),
        (["precompiled", {"type": "Strip", "strip_left": True, "strip_right": False}], False),
    ],
)
def test_metaspace_first_after_precompiled(charsmap, tmp_path, steps, native):
    named = {
        "precompiled": precompiled(charsmap),
        "spaces": {"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "},
    }
    content = bytes_tokenizer(
        {
            "type": "Sequence",
            "normalizers": [
                named.get(step, step) if isinstance(step, str) else step for step in steps
            ],
        }
    )
    content["pre_tokenizer"] = {
        "type": "Metaspace",
        "replacement": "\u2581",
        "prepend_scheme": "first",
        "split": True,
    }
    if not native:
        with pytest.raises(ValueError, match="prepend_scheme first follows a normalizer"):
            Pair(content, tmp_path)
        return
    pair = Pair(content, tmp_path)
    rng = random.Random(len(steps))
    pool = ["a", "b", " ", "  ", "\x01", "\x0b", "\u200b", "\r", "\u2581", "\u3000", "\uff21"]
    texts = ["".join(rng.choice(pool) for _ in range(rng.randint(0, 6))) for _ in range(3000)]
    assert pair.mismatches(texts) == []
    # NFKC defers what is not yet in its form, which a user map may leave (U+3000).
    nfkc = any(step == {"type": "NFKC"} for step in steps)
    assert pair.deferred(texts) < len(texts) if nfkc else pair.deferred(texts) == 0


@pytest.fixture(scope="module")
def trained():
    from .test_native_unigram import train

    return train()


def test_encode_is_bit_identical_to_the_tokenizers_path(trained, tmp_path):
    content = variant(trained, "none", "always")
    content["normalizer"] = xlmr_normalizer(trained_charsmap("nmt_nfkc", tmp_path))
    write_model_dir(tmp_path, content, seed=5)
    texts = SENTENCES + corpus(2000) + multilingual_texts(1000, seed=13)
    texts += ["e\u0301t\u00e9\r\n", "\u24d8\u0330 \uff76\uff9e"]
    assert_encode_matches_tokenizers_path(tmp_path, texts, batch_size=300)
