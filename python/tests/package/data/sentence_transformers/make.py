"""Writes the directories of this folder with sentence-transformers itself, and its embeddings of
texts.json beside each (<name>.npy). Not run by the tests, which need no torch: run it with an
interpreter that has sentence-transformers and a CPU build of torch, from this folder.

The directories: a SentenceTransformer of a StaticEmbedding module with a Normalize module and
without one, as SentenceTransformer.save writes them, and a StaticEmbedding saved by itself.
Each module's model card (README.md) is left out: korvane reads nothing of it."""

import json
import pathlib
import shutil
import sys

import numpy as np

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE.parents[1]))
from package_models import SENTENCES, WORDS, make_tokenizer  # noqa: E402
from sentence_transformers import SentenceTransformer  # noqa: E402
from sentence_transformers.models import Normalize, StaticEmbedding  # noqa: E402

TEXTS = [*SENTENCES, "zebra zebra zebra", "the cat " * 40, "Bank rates, raised! [UNK]"]


def main():
    tokenizer = make_tokenizer()
    tokenizer.no_padding()
    tokenizer.no_truncation()
    table = np.random.default_rng(3).standard_normal((len(WORDS), 16)).astype(np.float32)
    (HERE / "texts.json").write_text(json.dumps(TEXTS, indent=1) + "\n")
    pipelines = {"normalized": [Normalize()], "plain": [], "flat": None}
    for name, rest in pipelines.items():
        directory = HERE / name
        shutil.rmtree(directory, ignore_errors=True)
        static = StaticEmbedding(tokenizer, embedding_weights=table)
        if rest is None:
            directory.mkdir()
            static.save(str(directory))
        else:
            SentenceTransformer(modules=[static, *rest], device="cpu").save(str(directory))
        for card in directory.rglob("README.md"):
            card.unlink()
        model = SentenceTransformer(modules=[static, *(rest or [])], device="cpu")
        np.save(HERE / f"{name}.npy", model.encode(TEXTS, convert_to_numpy=True))


if __name__ == "__main__":
    main()
