"""Model.encode on a Unigram model (a Metaspace pre-tokenizer after a normalizer Sequence:
Replace, NFKC, Lowercase, Strip), saved by model2vec, against model2vec's encode on the same
directory and texts and against korvane's own tokenizers path, all in one run; and tokenizing per
core, in MB of UTF-8 text per second, beside the WordPiece path's figure on the same texts.

The Unigram tokenizer is trained here by tokenizers' UnigramTrainer on the benchmark corpus and
made-up multilingual sentences (no download); the table is random, 256 columns. Tokenizing alone
is Model.encode on one thread with a table of one column, where summing rows costs next to
nothing beside tokenizing.

Usage: python bench/native_unigram.py OUTPUT.json [--quick]
"""

import argparse
import json
import random
import tempfile
from pathlib import Path

import numpy as np

from korvane_dev import corpus_text
from native_tokenizer import best_rate, demo_model_dir

SENTENCES = 50_000
DIMENSION = 256
VOCABULARY = 8_000
SCRIPT_RANGES = [
    (0x61, 0x7A),
    (0xE0, 0xFF),
    (0x3B1, 0x3C9),
    (0x430, 0x44F),
    (0x5D0, 0x5EA),
    (0x627, 0x64A),
    (0x905, 0x939),
    (0x4E00, 0x4FFF),
    (0xAC00, 0xAD00),
]


def multilingual(count, seed=0):
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        low, high = rng.choice(SCRIPT_RANGES)
        words = [
            "".join(chr(rng.randint(low, high)) for _ in range(rng.randint(2, 8)))
            for _ in range(rng.randint(5, 20))
        ]
        texts.append(" ".join(words) + ".")
    return texts


def unigram_tokenizer(texts):
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    tokenizer = Tokenizer(models.Unigram())
    tokenizer.normalizer = normalizers.Sequence(
        [
            normalizers.Replace("``", '"'),
            normalizers.Replace("''", '"'),
            normalizers.NFKC(),
            normalizers.Lowercase(),
            normalizers.Strip(),
        ]
    )
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace(prepend_scheme="always")
    trainer = trainers.UnigramTrainer(
        vocab_size=VOCABULARY, special_tokens=["<unk>", "<pad>"], unk_token="<unk>"
    )
    tokenizer.train_from_iterator(texts, trainer)
    return tokenizer


def save(directory, tokenizer, columns):
    from model2vec import StaticModel

    rows = tokenizer.get_vocab_size()
    vectors = np.random.default_rng(0).standard_normal((rows, columns)).astype(np.float32)
    StaticModel(vectors=vectors, tokenizer=tokenizer, normalize=True).save_pretrained(
        str(directory)
    )


def one_column(source, directory):
    """The model directory `source` with a table of one column."""
    from safetensors.numpy import save_file

    from korvane import Model

    rows = Model.load(source).vocab_size
    directory.mkdir()
    (directory / "tokenizer.json").write_bytes((source / "tokenizer.json").read_bytes())
    save_file({"embeddings": np.ones((rows, 1), np.float32)}, str(directory / "model.safetensors"))
    return directory


def measure(quick):
    from model2vec import StaticModel

    from korvane import Model

    texts = corpus_text.corpus(SENTENCES)
    repeats = 2 if quick else 5
    megabytes = sum(len(text.encode()) for text in texts) / 1e6
    results = {"sentences": len(texts), "megabytes": megabytes, "rates": {}, "per_core": {}}
    with tempfile.TemporaryDirectory(prefix="korvane-unigram-") as scratch:
        model_dir = Path(scratch, "unigram")
        tokenizer = unigram_tokenizer(corpus_text.corpus(20_000) + multilingual(5_000))
        save(model_dir, tokenizer, DIMENSION)
        native = Model.load(model_dir)
        reference = Model.load(model_dir, backend="tokenizers")
        model2vec = StaticModel.from_pretrained(str(model_dir))
        assert native.tokenizer_backend == "native"
        results["model"] = f"Unigram, {native.vocab_size} pieces x {native.dim} F32"
        results["agreement"] = float(
            np.abs(native.encode(texts[:2000]) - model2vec.encode(texts[:2000])).max()
        )
        cases = {
            "native": lambda: native.encode(texts),
            "tokenizers": lambda: reference.encode(texts),
            "model2vec": lambda: model2vec.encode(texts),
        }
        for name, run in cases.items():
            best, median = best_rate(run, len(texts), repeats)
            results["rates"][name] = {"best": best, "median": median}
            print(f"{name:12} {best:12,.0f} sentences/s (median {median:,.0f})", flush=True)
        paths = {
            "Unigram": one_column(model_dir, Path(scratch, "unigram-1")),
            "WordPiece": one_column(demo_model_dir(), Path(scratch, "wordpiece-1")),
        }
        for name, path in paths.items():
            model = Model.load(path, backend="native")
            best, _ = best_rate(lambda: model.encode(texts, threads=1), len(texts), repeats)
            results["per_core"][name] = best * megabytes / len(texts)
            print(f"{name} tokenizing, one core: {results['per_core'][name]:.1f} MB/s", flush=True)
    return results


def markdown(results):
    rates = results["rates"]
    native = rates["native"]["best"]
    labels = {
        "native": "Model.encode, native Unigram",
        "tokenizers": "Model.encode, tokenizers path",
        "model2vec": "model2vec's encode",
    }
    lines = [
        f"### Model.encode on a Unigram model ({results['sentences']:,} corpus sentences, "
        f"{results['model']}, Metaspace after Replace, NFKC, Lowercase and Strip)",
        "",
        "| path | sentences/s (best) | median | native's speed-up |",
        "| :-- | --: | --: | --: |",
    ]
    for name, label in labels.items():
        rate = rates[name]
        lines.append(
            f"| {label} | {rate['best']:,.0f} | {rate['median']:,.0f} | "
            f"{native / rate['best']:.1f} x |"
        )
    lines += ["", "| native tokenizing, one core | MB/s of UTF-8 text |", "| :-- | --: |"]
    for name, rate in results["per_core"].items():
        lines.append(f"| {name} | {rate:.1f} |")
    lines += ["", f"Largest difference from model2vec's embeddings: {results['agreement']:.1e}."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output", type=Path)
    parser.add_argument("--quick", action="store_true")
    arguments = parser.parse_args()
    results = measure(arguments.quick)
    arguments.output.write_text(json.dumps(results, indent=1))
    print(markdown(results))


if __name__ == "__main__":
    main()
