"""The native Unigram model, Metaspace and the normalizer sequence against the tokenizers package:
models trained in the test by tokenizers' own UnigramTrainer on multilingual text, and small
vocabularies made to tie, to miss characters and to fall back to bytes."""

import json
import pathlib
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import Model, _native

from .budget import at_least, examples, scalar_values

tokenizers = pytest.importorskip("tokenizers")
from tokenizers import normalizers, pre_tokenizers  # noqa: E402

SENTENCES = [
    "Crème brûlée, naïve façade, Ångström, Øresund, Łódź, İstanbul, ǅemal, ﬁnal straße",
    "Ἀθῆναι ΣΟΦΟΣ σοφός ὁ λόγος καὶ ἡ ψυχή",
    "Съешь же ещё этих мягких французских булок, да выпей чаю. ЁЛКА Ёлка",
    "中文分词测试：北京欢迎你！日本語の文章です。한국어 문장입니다 𠀀𪚥",
    "العربية: مَرْحَبًا بِالعالَم، ١٢٣ ؟",
    "हिन्दी: नमस्ते दुनिया। क़ ख़ ग़ ॐ",
    "ภาษาไทย สวัสดีครับ עברית שָׁלוֹם ქართული Ⴀ Ꭰ",
    "emoji 😀🤗🥰 👍🏽 👨‍👩‍👧 🇫🇷 #️⃣ ❤️ keycap 1️⃣",
    "combining: a\u0301\u0316 e\u0323\u0302 o\u0308\u0304 q\u0307\u0323 \u1e0b\u0323 \u0345\u0314",
    "Hangul jamo \u1100\u1161\u11a8 vs \uac01; Kelvin \u212a Ohm \u2126 Å \u212b",
    "𝐁𝐨𝐥𝐝 𝔉𝔯𝔞𝔨𝔱𝔲𝔯 ｆｕｌｌｗｉｄｔｈ ① ² ½ Ⅻ ``quoted'' -- dashes",
    "spaces:\t\n\r\u00a0\u1680\u2000\u2003\u2009\u200a\u2028\u2029\u202f\u205f\u3000|  end  ",
    "  leading and trailing  ",
    "",
    " ",
    "▁already▁marked ▁ ▁▁ words",
]

# Letters of several scripts, for made-up words.
SCRIPT_RANGES = [
    (0x61, 0x7A),
    (0xE0, 0xFF),
    (0x3B1, 0x3C9),
    (0x430, 0x44F),
    (0x5D0, 0x5EA),
    (0x627, 0x64A),
    (0x905, 0x939),
    (0xE01, 0xE2E),
    (0x4E00, 0x4E80),
    (0xAC00, 0xAC60),
    (0x3041, 0x3093),
]


def corpus(count):
    from korvane_dev import corpus_text

    return corpus_text.corpus(count)


def multilingual_texts(count, seed=0):
    """Sentences of made-up words, each word in one script, a few capitalised or with digits."""
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        words = []
        for _ in range(rng.randint(1, 14)):
            low, high = rng.choice(SCRIPT_RANGES)
            word = "".join(chr(rng.randint(low, high)) for _ in range(rng.randint(1, 8)))
            if rng.random() < 0.2:
                word = word.capitalize()
            if rng.random() < 0.1:
                word += str(rng.randint(0, 999))
            words.append(word)
        texts.append(" ".join(words) + rng.choice([".", "!", "", " ?"]))
    return texts


TRAINING_TEXTS = SENTENCES + corpus(3000) + multilingual_texts(3000)

NFKC_SEQUENCE = {
    "type": "Sequence",
    "normalizers": [
        {"type": "Replace", "pattern": {"String": "``"}, "content": '"'},
        {"type": "Replace", "pattern": {"String": "''"}, "content": '"'},
        {"type": "NFKC"},
        {"type": "Lowercase"},
        {"type": "Strip", "strip_left": True, "strip_right": True},
    ],
}
BERT_SEQUENCE = {
    "type": "Sequence",
    "normalizers": [
        {
            "type": "BertNormalizer",
            "clean_text": True,
            "handle_chinese_chars": True,
            "strip_accents": None,
            "lowercase": True,
        },
        {"type": "Replace", "pattern": {"String": " "}, "content": "  "},
        {
            "type": "Sequence",
            "normalizers": [{"type": "Strip", "strip_left": False, "strip_right": True}],
        },
    ],
}
NORMALIZERS = {
    "none": None,
    "nfkc-sequence": NFKC_SEQUENCE,
    "bert-sequence": BERT_SEQUENCE,
    "nfc": {"type": "NFC"},
    "lowercase": {"type": "Lowercase"},
    "strip-left": {"type": "Strip", "strip_left": True, "strip_right": False},
    "replace-empty": {"type": "Replace", "pattern": {"String": ""}, "content": "·"},
    "empty-sequence": {"type": "Sequence", "normalizers": []},
}
# Normalizers that may remove the text's first characters.
REMOVING = {"nfkc-sequence", "bert-sequence", "strip-left", "replace-empty"}
PRE_TOKENIZERS = {
    "always": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": True},
    "first": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first", "split": True},
    "never-unsplit": {
        "type": "Metaspace",
        "replacement": "_",
        "prepend_scheme": "never",
        "split": False,
    },
    "none": None,
}


def train(vocab_size=1200):
    trainer = tokenizers.trainers.UnigramTrainer(
        vocab_size=vocab_size,
        special_tokens=["<unk>", "<s>", "</s>"],
        unk_token="<unk>",
        shrinking_factor=0.75,
    )
    tokenizer = tokenizers.Tokenizer(tokenizers.models.Unigram())
    tokenizer.normalizer = normalizers.NFKC()
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace()
    tokenizer.train_from_iterator(TRAINING_TEXTS, trainer)
    return json.loads(tokenizer.to_str())


@pytest.fixture(scope="module")
def trained():
    return train()


@pytest.fixture(scope="module")
def trained_bytes(trained):
    """The trained model with byte pieces, all but those of 4-byte characters' lead bytes."""
    content = json.loads(json.dumps(trained))
    lowest = min(score for _, score in content["model"]["vocab"])
    content["model"]["vocab"] += [[f"<0x{b:02X}>", lowest - 1 - b % 3] for b in range(0xF0)]
    content["model"]["byte_fallback"] = True
    return content


class Pair:
    """A tokenizer.json read by both tokenizers."""

    def __init__(self, content, directory):
        path = pathlib.Path(directory) / "tokenizer.json"
        path.write_text(json.dumps(content), encoding="utf-8")
        self.path = path
        self.native = _native.Tokenizer(path)
        self.reference = tokenizers.Tokenizer.from_file(str(path))

    def mismatches(self, texts):
        """(text, native IDs, reference IDs) of the texts tokenized differently; a deferred text
        agrees (tokenizers handles it in Model.encode)."""
        expected = self.reference.encode_batch(list(texts), add_special_tokens=False)
        found = []
        for text, encoding in zip(texts, expected):
            ids = self.native.tokenize(text)
            if ids is not None and ids != encoding.ids:
                found.append((text, ids, encoding.ids))
        return found[:5]

    def deferred(self, texts):
        return sum(self.native.tokenize(text) is None for text in texts)


def variant(content, normalizer="none", pre_tokenizer="always", **model):
    content = json.loads(json.dumps(content))
    content["normalizer"] = NORMALIZERS[normalizer]
    content["pre_tokenizer"] = PRE_TOKENIZERS[pre_tokenizer]
    content["model"].update(model)
    return content


def small_unigram(normalizer, pre_tokenizer):
    vocabulary = [["<unk>", 0.0], ["a", -1.0], ["b", -1.0], ["ab", -1.5]]
    return {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": normalizer,
        "pre_tokenizer": pre_tokenizer,
        "model": {"type": "Unigram", "unk_id": 0, "vocab": vocabulary, "byte_fallback": False},
    }


@pytest.fixture(scope="module")
def knows(tmp_path_factory):
    """Whether the character table knows a character: a tokenizer without a normalizer or a
    pre-tokenizer answers for it alone."""
    plain = Pair(small_unigram(None, None), tmp_path_factory.mktemp("plain")).native
    return lambda character: plain.tokenize(character) is not None


@pytest.fixture(scope="module")
def table_code_points(knows):
    return [p for p in scalar_values() if knows(chr(p))]


def mixed_texts(seed, count=300):
    rng = random.Random(seed)
    alphabet = "".join(SENTENCES) + "▁▁__  <unk><s>"
    texts = []
    for _ in range(count):
        start = rng.randrange(len(alphabet))
        texts.append(alphabet[start : start + rng.randint(0, 40)])
    return texts


@pytest.mark.parametrize("normalizer", list(NORMALIZERS))
@pytest.mark.parametrize("pre_tokenizer", list(PRE_TOKENIZERS))
def test_trained_model_under_each_setting(trained, tmp_path, normalizer, pre_tokenizer):
    content = variant(trained, normalizer, pre_tokenizer)
    if pre_tokenizer == "first" and normalizer in REMOVING:
        # tokenizers prepends then by where the normalized text starts in the original.
        with pytest.raises(ValueError, match="prepend_scheme first follows a normalizer"):
            Pair(content, tmp_path)
        return
    pair = Pair(content, tmp_path)
    texts = SENTENCES + [s.upper() for s in SENTENCES] + multilingual_texts(400, seed=7)
    texts += corpus(400) + mixed_texts(len(normalizer) * 31 + len(pre_tokenizer))
    assert pair.mismatches(texts) == []
    # The supported settings answer the corpus without handing any text back.
    if normalizer not in ("nfkc-sequence", "nfc"):
        assert pair.deferred(corpus(400) + multilingual_texts(400, seed=7)) == 0


def test_byte_fallback_and_added_tokens(trained_bytes, tmp_path):
    content = variant(trained_bytes, "lowercase", "first")
    assert content["model"]["byte_fallback"] is True
    content["added_tokens"] += [
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
            "id": 5000,
            "content": "Zq",
            "single_word": False,
            "lstrip": False,
            "rstrip": False,
            "normalized": True,
            "special": False,
        },
    ]
    pair = Pair(content, tmp_path)
    texts = ["<s>a b", "a<s>b zq", "Zq x", " <s> ", "ꙮ ꙮꙮ 𝔄 ☃☃ ⸻", "<s>"] + mixed_texts(3)
    texts += [
        "".join(random.Random(i).choice(SENTENCES[i % 12]) for _ in range(30)) for i in range(200)
    ]
    assert pair.mismatches(texts) == []


def random_vocabulary(rng):
    """Few pieces over a small alphabet with whole-number scores, so that segmentations tie,
    characters have no piece of their own, and unknown runs meet the <unk> piece itself."""
    alphabet = list("abcd▁<>unké中")
    pieces = {
        "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 3)))
        for _ in range(rng.randint(2, 30))
    }
    pieces.discard("<unk>")
    vocab = [["<unk>", float(rng.choice([0, -1, -3, -20]))]]
    vocab += [[piece, float(-rng.randint(1, 6))] for piece in sorted(pieces)]
    byte_fallback = rng.random() < 0.5
    if byte_fallback:
        vocab += [
            [f"<0x{b:02X}>", float(-rng.randint(1, 8))] for b in range(256) if rng.random() < 0.9
        ]
    return vocab, byte_fallback


@pytest.mark.parametrize("seed", range(40))
def test_ties_unknown_runs_and_byte_fallback(tmp_path, seed):
    rng = random.Random(seed)
    vocab, byte_fallback = random_vocabulary(rng)
    content = {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": PRE_TOKENIZERS[rng.choice(list(PRE_TOKENIZERS))],
        "model": {"type": "Unigram", "unk_id": 0, "vocab": vocab, "byte_fallback": byte_fallback},
    }
    pair = Pair(content, tmp_path)
    alphabet = list("abcdxé中Σ▁ <>unk")
    texts = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 14))) for _ in range(300)]
    assert pair.mismatches(texts) == []


def test_every_code_point(trained, tmp_path):
    pair = Pair(variant(trained, "nfkc-sequence", "always"), tmp_path)
    points = scalar_values()
    texts = [" ".join(f"a{chr(p)}b" for p in points[i : i + 64]) for i in range(0, len(points), 64)]
    texts += [f"x{chr(p)}" for p in points]
    assert pair.mismatches(texts) == []
    # What NFKC leaves as it is is answered natively.
    native = [p for p in points if pair.native.tokenize(f"x{chr(p)}") is not None]
    assert len(native) > at_least(140_000)


MARKS = [
    0x300,
    0x301,
    0x316,
    0x323,
    0x327,
    0x334,
    0x345,
    0x5B0,
    0x5BC,
    0x64B,
    0x670,
    0x93C,
    0x94D,
    0x9BC,
    0xE38,
    0xE48,
    0x1DC0,
    0x1DFA,
    0x20D0,
    0x302A,
    0x3099,
    0xFE20,
    0x1D165,
    0x1D167,
    0x11133,
    0x1E944,
    0x10EFD,
    0x16FF0,
]


@pytest.mark.parametrize("form", ["NFKC", "NFC"])
def test_combining_marks_in_and_out_of_order(trained, tmp_path, form):
    content = variant(trained, "none", "always")
    content["normalizer"] = {"type": form}
    pair = Pair(content, tmp_path)
    rng = random.Random(form)
    bases = "aeoqA中कاא "
    texts = [
        "".join(
            rng.choice(bases) + "".join(chr(rng.choice(MARKS)) for _ in range(rng.randint(0, 3)))
            for _ in range(rng.randint(1, 6))
        )
        for _ in range(3000)
    ]
    assert pair.mismatches(texts) == []
    assert pair.deferred(texts) < len(texts)


@pytest.mark.parametrize(
    ("part", "value", "reason"),
    [
        ("model", {"unk_id": None}, "no unk_id"),
        ("model", {"vocab": [["a", -1.0], ["a", -2.0]], "unk_id": 0}, "piece twice"),
        ("normalizer", {"type": "Sequence", "normalizers": [{"type": "Nmt"}]}, "is Nmt"),
        ("pre_tokenizer", {"type": "UnicodeScripts"}, "pre-tokenizer is UnicodeScripts, not"),
        ("normalizer", {"type": "Replace", "pattern": {"Regex": "a("}, "content": ""}, "compile"),
        ("pre_tokenizer", {"type": "Metaspace", "replacement": "▁"}, "prepend_scheme"),
    ],
)
def test_unsupported_parts_keep_the_tokenizers_path(trained, tmp_path, part, value, reason):
    content = json.loads(json.dumps(trained))
    if part == "model":
        content["model"].update(value)
    else:
        content[part] = value
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(content), encoding="utf-8")
    with pytest.raises(ValueError, match=reason):
        _native.Tokenizer(path)


@pytest.fixture(scope="module")
def random_pair(trained, tmp_path_factory):
    return Pair(variant(trained, "nfkc-sequence", "always"), tmp_path_factory.mktemp("random"))


@settings(
    max_examples=examples(300),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(text=st.text(max_size=60))
def test_random_strings(random_pair, text):
    assert random_pair.mismatches([text, f" {text}  x{text}"]) == []


# ---------------------------------------------------------------------------------------------
# Through Model.encode


@pytest.fixture(scope="module")
def unigram_model_dir(trained, tmp_path_factory):
    directory = tmp_path_factory.mktemp("unigram-model")
    write_model_dir(directory, variant(trained, "nfkc-sequence", "always"), seed=3)
    return directory


def write_model_dir(directory, content, seed):
    """A model directory of the tokenizer `content` and a random 16-wide table."""
    from safetensors.numpy import save_file

    (directory / "tokenizer.json").write_text(json.dumps(content), encoding="utf-8")
    rows = len(content["model"]["vocab"])
    table = np.random.default_rng(seed).standard_normal((rows, 16)).astype(np.float32)
    save_file({"embeddings": table}, str(directory / "model.safetensors"))


def assert_encode_matches_tokenizers_path(directory, texts, batch_size):
    """The native path answers and gives the bytes the tokenizers path gives, at 2 threads."""
    native = Model.load(directory)
    reference = Model.load(directory, backend="tokenizers")
    assert (native.tokenizer_backend, reference.tokenizer_backend) == ("native", "tokenizers")
    got = native.encode(texts, batch_size=batch_size, threads=2)
    expected = reference.encode(texts, batch_size=batch_size, threads=1)
    assert got.tobytes() == expected.tobytes()


def test_encode_is_bit_identical_to_the_tokenizers_path(unigram_model_dir):
    texts = SENTENCES + corpus(2000) + multilingual_texts(1000, seed=11)
    assert_encode_matches_tokenizers_path(unigram_model_dir, texts, batch_size=300)


# ---------------------------------------------------------------------------------------------
# The other pre-tokenizers and normalizers, on the trained model


PUNCTUATION_BEHAVIORS = [
    "Isolated",
    "Removed",
    "MergedWithPrevious",
    "MergedWithNext",
    "Contiguous",
]
MORE_PRE_TOKENIZERS = {
    "whitespace-split": {"type": "WhitespaceSplit"},
    "whitespace": {"type": "Whitespace"},
    **{f"punctuation-{b}": {"type": "Punctuation", "behavior": b} for b in PUNCTUATION_BEHAVIORS},
    "sequence": {
        "type": "Sequence",
        "pretokenizers": [
            {"type": "WhitespaceSplit"},
            {"type": "Punctuation", "behavior": "Contiguous"},
            {
                "type": "Split",
                "pattern": {"String": "ab"},
                "behavior": "MergedWithNext",
                "invert": False,
            },
            PRE_TOKENIZERS["always"],
        ],
    },
    **{
        f"split-{b}-{invert}": {
            "type": "Split",
            "pattern": {"String": pattern},
            "behavior": b,
            "invert": invert,
        }
        for b, pattern in zip(PUNCTUATION_BEHAVIORS, ["a", " ", "ab", ", ", "中"])
        for invert in (False, True)
    },
    "sequence-bert": {
        "type": "Sequence",
        "pretokenizers": [
            PRE_TOKENIZERS["never-unsplit"],
            {"type": "BertPreTokenizer"},
        ],
    },
}
MORE_NORMALIZERS = {
    "prepend": {"type": "Prepend", "prepend": "▁"},
    "nfc-lowercase-prepend": {
        "type": "Sequence",
        "normalizers": [
            {"type": "NFC"},
            {"type": "Lowercase"},
            {"type": "Prepend", "prepend": "x"},
        ],
    },
}


@pytest.mark.parametrize("pre_tokenizer", list(MORE_PRE_TOKENIZERS))
def test_more_pre_tokenizers(trained, knows, tmp_path, pre_tokenizer):
    content = variant(trained, "lowercase", "none")
    content["pre_tokenizer"] = MORE_PRE_TOKENIZERS[pre_tokenizer]
    pair = Pair(content, tmp_path)
    punctuation = "".join(chr(p) for p in range(0x20, 0x3000) if not chr(p).isalnum())
    rng = random.Random(pre_tokenizer)
    sentences = SENTENCES + corpus(300) + multilingual_texts(300, seed=3)
    random_texts = [
        "".join(rng.choice(punctuation + "ab  中") for _ in range(rng.randint(0, 20)))
        for _ in range(2000)
    ]
    assert pair.mismatches(sentences + random_texts) == []
    # Answered natively: every text but those holding a character the table does not know.
    assert pair.deferred(sentences) == 0
    unknown = sum(not all(knows(c) for c in text) for text in random_texts)
    assert pair.deferred(random_texts) == unknown < len(random_texts)


@pytest.mark.parametrize("normalizer", list(MORE_NORMALIZERS))
def test_more_normalizers(trained, tmp_path, normalizer):
    content = variant(trained, "none", "always")
    content["normalizer"] = MORE_NORMALIZERS[normalizer]
    pair = Pair(content, tmp_path)
    texts = SENTENCES + [s.upper() for s in SENTENCES] + multilingual_texts(300, seed=5)
    assert pair.mismatches(texts) == []
    assert pair.deferred(texts) == 0


@pytest.mark.parametrize(
    ("pre_tokenizer", "normalizer"),
    [("whitespace", None), ("punctuation-Isolated", None), ("whitespace-split", "prepend")],
)
def test_every_code_point_by_class(trained, tmp_path, pre_tokenizer, normalizer):
    content = variant(trained, "none", "none")
    content["pre_tokenizer"] = MORE_PRE_TOKENIZERS[pre_tokenizer]
    content["normalizer"] = MORE_NORMALIZERS.get(normalizer)
    pair = Pair(content, tmp_path)
    points = scalar_values()
    texts = ["".join(f"a{chr(p)}b" for p in points[i : i + 64]) for i in range(0, len(points), 64)]
    assert pair.mismatches(texts) == []


# ---------------------------------------------------------------------------------------------
# Regular expressions, matched by Oniguruma as tokenizers matches them

GPT2 = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"
SPLIT_REGEXES = [
    (r"\s+", "Removed", False),
    (GPT2, "Isolated", False),
    (r"\p{L}+", "Contiguous", True),
    (r"[0-9]+|\p{P}", "MergedWithPrevious", False),
    (r"\w+", "MergedWithNext", True),
    (r"(?i)ab|▁", "Isolated", True),
    (r"\p{Han}|\p{Hangul}+", "Isolated", False),
]
REPLACE_REGEXES = [
    (r" {2,}", " "),
    (r"\p{Mn}", ""),
    (r"[0-9]", "#"),
    (r"(a)b", "$1"),
    (r"\s+$|^\s+", ""),
]


# Characters of Unicode 14.0 (the regular expression engine's) whose properties changed by 16.0
# (tokenizers') that the test texts hold: under a pattern that asks for properties, texts holding
# them are deferred.
CHANGED_PROPERTIES = {"\u200c", "\u200d"}


def without_changed_properties(texts):
    return [text for text in texts if not CHANGED_PROPERTIES & set(text)]


@pytest.mark.parametrize(("pattern", "behavior", "invert"), SPLIT_REGEXES)
def test_split_by_regular_expression(trained, tmp_path, pattern, behavior, invert):
    content = variant(trained, "lowercase", "none")
    content["pre_tokenizer"] = {
        "type": "Split",
        "pattern": {"Regex": pattern},
        "behavior": behavior,
        "invert": invert,
    }
    pair = Pair(content, tmp_path)
    texts = SENTENCES + corpus(200) + multilingual_texts(200) + mixed_texts(9)
    texts += ["it's 12 o'clock  ab AB  ▁x", "Ab中文한국어 123\n\t x  "]
    assert pair.mismatches(texts) == []
    assert pair.deferred(without_changed_properties(texts)) == 0


@pytest.mark.parametrize(("pattern", "content"), REPLACE_REGEXES)
def test_replace_by_regular_expression(trained, tmp_path, pattern, content):
    tokenizer = variant(trained, "none", "always")
    tokenizer["normalizer"] = {"type": "Replace", "pattern": {"Regex": pattern}, "content": content}
    pair = Pair(tokenizer, tmp_path)
    texts = SENTENCES + multilingual_texts(200) + mixed_texts(10) + ["ab  ab 12 a\u0301b  "]
    assert pair.mismatches(texts) == []
    # A pattern of code points only (no class, property or case folding) defers nothing.
    code_points_only = "\\" not in pattern
    assert pair.deferred(texts if code_points_only else without_changed_properties(texts)) == 0


def split(pattern, behavior, invert=False):
    return {"type": "Split", "pattern": {"Regex": pattern}, "behavior": behavior, "invert": invert}


def replace(pattern, content):
    return {"type": "Replace", "pattern": {"Regex": pattern}, "content": content}


# Regular expressions over each code point: the stage (normalizer, pre-tokenizer) and the text
# made of each code point. Each makes the IDs depend on the character's class, which splitting a
# run of unknown characters alone would not: GPT-2's pattern joins a letter (a number, another
# character) to the unknown letter ж (number ٣, symbol ¤) before it, where the run is one unknown
# piece, or splits it off as an unknown piece of its own; removing a class drops a piece or keeps
# it; replacing a class by b turns an unknown piece into b.
CODE_POINT_REGEXES = {
    "gpt2": (None, split(GPT2, "Isolated"), "ж{c}a٣{c}a¤{c}a"),
    "remove-letters": (None, split(r"\p{L}", "Removed"), "a{c}b "),
    "remove-numbers-punctuation-symbols": (None, split(r"\p{N}|\p{P}|\p{S}", "Removed"), "a{c}b "),
    "keep-words": (None, split(r"\w+", "Removed", invert=True), "a{c}b "),
    "remove-marks-and-spaces": (None, split(r"\p{M}|\s", "Removed"), "a{c}b"),
    "replace-letters-and-numbers": (
        replace(r"[\p{L}\p{N}]", "b"),
        {"type": "WhitespaceSplit"},
        "a{c}b ",
    ),
    "replace-others": (replace(r"\p{P}|\p{S}|\p{M}", "b"), {"type": "WhitespaceSplit"}, "a{c}b "),
    "replace-words": (replace(r"\w", "b"), None, "a{c}b"),
}


@pytest.mark.parametrize("case", list(CODE_POINT_REGEXES))
def test_every_code_point_by_regular_expression(table_code_points, tmp_path, case):
    normalizer, pre_tokenizer, item = CODE_POINT_REGEXES[case]
    pair = Pair(small_unigram(normalizer, pre_tokenizer), tmp_path)
    points = table_code_points
    texts = [
        "".join(item.format(c=chr(p)) for p in points[i : i + 64])
        for i in range(0, len(points), 64)
    ]
    assert pair.mismatches(texts) == []
    # Only the texts holding one of the few thousand characters the engine lacks are deferred.
    assert pair.deferred(texts) <= len(texts) // 10
    assert len(texts) - pair.deferred(texts) > at_least(4000)


# Characters the engines answer differently: of Unicode 15.0, which the older one lacks, and of
# older versions whose properties changed (ZWJ, U+30FB, U+0363, U+1171E).
DIFFERING_TEXTS = ["a\U00011f24b", "a\U00011f50b", "a\U0001d2c6b", "a\U0001e4e6b", "a\u0cf3b"]
DIFFERING_TEXTS += ["a\u200db", "a\u30fbb", "a\u0363b", "a\U0001171eb"]


@pytest.mark.parametrize("case", list(CODE_POINT_REGEXES))
def test_characters_the_engine_lacks_are_deferred(tmp_path, case):
    normalizer, pre_tokenizer, _ = CODE_POINT_REGEXES[case]
    pair = Pair(small_unigram(normalizer, pre_tokenizer), tmp_path)
    assert [pair.native.tokenize(text) for text in DIFFERING_TEXTS] == [None] * len(DIFFERING_TEXTS)
    assert pair.mismatches(["a\u4e2db", "ab ab"]) == []
    assert pair.deferred(["a\u4e2db", "ab ab"]) == 0


@pytest.mark.parametrize("part", ["pre_tokenizer", "normalizer"])
def test_regular_expressions_matching_the_empty_text_keep_the_tokenizers_path(
    trained, tmp_path, part
):
    content = variant(trained, "none", "always")
    content[part] = (
        {"type": "Split", "pattern": {"Regex": "a*"}, "behavior": "Isolated", "invert": False}
        if part == "pre_tokenizer"
        else {"type": "Replace", "pattern": {"Regex": "a*"}, "content": "-"}
    )
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(content), encoding="utf-8")
    with pytest.raises(ValueError, match="matches the empty text"):
        _native.Tokenizer(path)
