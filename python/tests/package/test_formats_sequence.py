"""Per-token output: Model.encode_as_sequence against model2vec's encode_as_sequence, on plain,
weighted and vocabulary-quantized directories model2vec wrote."""

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS

model2vec = pytest.importorskip("model2vec")

TEXTS = SENTENCES + ["zebra zebra zebra", "the cat " * 40]
# Texts for which model2vec's cut of max_length x median-token-length characters keeps every
# token that the cut to max_length tokens keeps.
SHORT_TOKENS = [". , ! the cat", "zebra . , ! sat", "! ! zebra zebra mat", ", the"]


@pytest.mark.parametrize("mapping, weights", [(False, False), (True, True), (False, True)])
@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_agreement_with_model2vec(tmp_path, tokenizer, mapping, weights, dtype):
    rng = np.random.default_rng(8)
    rows = 5 if mapping else len(WORDS)
    model2vec.StaticModel(
        rng.standard_normal((rows, 12)).astype(dtype),
        tokenizer,
        normalize=True,
        weights=rng.uniform(0.1, 2, len(WORDS)) if weights else None,
        token_mapping=rng.integers(0, rows, len(WORDS)) if mapping else None,
    ).save_pretrained(str(tmp_path))
    static_model = model2vec.StaticModel.from_pretrained(str(tmp_path))
    model = korvane.Model.load(tmp_path)
    for texts, max_length in ((TEXTS, None), (SHORT_TOKENS, 3)):
        found = model.encode_as_sequence(texts, max_length=max_length, threads=2)
        expected = static_model.encode_as_sequence(
            texts, max_length=512 if max_length is None else max_length, use_multiprocessing=False
        )
        assert [rows.shape for rows in found] == [rows.shape for rows in expected]
        for got, want in zip(found, expected):
            assert got.dtype == np.float32
            np.testing.assert_allclose(got, want.astype(np.float64), rtol=1e-6, atol=1e-6)
    # Their mean is encode's row before normalizing.
    plain = korvane.Model.load(tmp_path, normalize=False)
    means = [rows.mean(axis=0) if len(rows) else np.zeros(12) for rows in found]
    np.testing.assert_allclose(plain.encode(SHORT_TOKENS, max_length=3), means, atol=1e-6)


def test_an_id_beyond_the_vocabulary_names_the_text(tmp_path, tokenizer):
    from .package_models import write_table

    directory = write_table(tmp_path, np.ones((8, 4), np.float32))
    tokenizer.save(str(directory / "tokenizer.json"))
    with pytest.raises(IndexError, match=r"token ID \d+ in texts\[1\] is outside the table"):
        korvane.Model.load(directory).encode_as_sequence(["the a", "the storm"])


CORPUS = [
    "The storm brought thunder and heavy rain to the central park.",
    "Bank rates were raised; the streets flooded, and the cats sat on the mat!",
    "Le chat s'est assis sur le tapis. Der Hund spielt im Park. El perro ama la lluvia.",
    "Кошка сидит на ковре. 猫はマットの上に座った。 고양이가 매트 위에 앉았다.",
    "Numbers 12,345.67 and e-mail me@example.com; ¿qué? «quoi» — naïve café.",
] * 20


def trained_tokenizer(kind):
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    if kind == "wordpiece":
        from .package_models import make_tokenizer

        return make_tokenizer()
    if kind == "bpe":
        tokenizer = Tokenizer(models.BPE())
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
        trainer = trainers.BpeTrainer(
            vocab_size=400, initial_alphabet=pre_tokenizers.ByteLevel.alphabet()
        )
    elif kind == "unigram":
        tokenizer = Tokenizer(models.Unigram())
        tokenizer.normalizer = normalizers.NFKC()
        tokenizer.pre_tokenizer = pre_tokenizers.Metaspace()
        trainer = trainers.UnigramTrainer(
            vocab_size=300, special_tokens=["<unk>"], unk_token="<unk>"
        )
    else:
        tokenizer = Tokenizer(models.WordLevel(unk_token="[UNK]"))
        tokenizer.normalizer = normalizers.BertNormalizer()
        tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
        trainer = trainers.WordLevelTrainer(special_tokens=["[UNK]"])
    tokenizer.train_from_iterator(CORPUS, trainer)
    return tokenizer


# A character of Unicode 16.0, newer than the native tables: such a text goes to the tokenizers
# package, inside the same call.
NEWER = "\U0001cc00"
SEQUENCE_TEXTS = [*SENTENCES, *CORPUS[:5], f"the storm {NEWER} rain", "", "the cat " * 50]


@pytest.mark.parametrize("kind", ["wordpiece", "bpe", "unigram", "wordlevel"])
@pytest.mark.parametrize("mapping, weights", [(False, False), (True, True), (False, True)])
def test_native_and_tokenizers_backends_give_the_same_rows(
    tmp_path, monkeypatch, kind, mapping, weights
):
    from .package_models import write_table

    tokenizer = trained_tokenizer(kind)
    vocab = tokenizer.get_vocab_size()
    rng = np.random.default_rng(11)
    rows = 7 if mapping else vocab
    extra = {}
    if mapping:
        extra["mapping"] = ("I64", rng.integers(0, rows, vocab).astype("<i8").tobytes(), (vocab,))
    if weights:
        extra["weights"] = ("F64", rng.uniform(0.1, 3, vocab).astype("<f8").tobytes(), (vocab,))
    write_table(tmp_path, rng.standard_normal((rows, 12)).astype(np.float32), extra=extra)
    tokenizer.save(str(tmp_path / "tokenizer.json"))
    native = korvane.Model.load(tmp_path, backend="native")
    reference = korvane.Model.load(tmp_path, backend="tokenizers")
    assert native._native_tokenizer.tokenize(SEQUENCE_TEXTS[-3]) is None  # deferred
    for max_length in (None, 4):
        expected = reference.encode_as_sequence(SEQUENCE_TEXTS, max_length=max_length)
        found = native.encode_as_sequence(SEQUENCE_TEXTS, max_length=max_length, threads=2)
        assert [rows.shape for rows in found] == [rows.shape for rows in expected]
        assert all(np.array_equal(a, b) for a, b in zip(found, expected))
        assert sum(len(rows) for rows in found) > len(SEQUENCE_TEXTS)
    # Without a deferred text, the tokenizers package is not called at all.
    from korvane import model as model_module

    def refuse(*args, **kwargs):
        raise AssertionError("tokenized by the tokenizers package")

    monkeypatch.setattr(model_module, "_tokenize_with", refuse)
    native.encode_as_sequence(SEQUENCE_TEXTS[:-3] + SEQUENCE_TEXTS[-2:])
