"""Model.encode on byte-level BPE models (GPT-2's pre-tokenizer, and Llama 3's split pattern)
and a WordLevel model against model2vec's encode on the same directory and texts; on the demo's
WordPiece model, the native tokenizer's own speed per core (encode's time less the embedding
stage's on the same IDs) and encode's throughput against the embedding stage's; optionally the
same for an older build, in the same run.

Usage: python bench/tokenizer_models.py OUTPUT.json [--quick] [--before DIRECTORY]
--before (or KORVANE_BENCH_BEFORE) names a directory holding an older build's korvane package
(korvane/ with its _native module), measured in a process of its own between this build's runs.
The BPE and WordLevel models are trained here by tokenizers' trainers on the corpus's first
20,000 sentences (30,000 tokens, 256 dimensions, random rows).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from korvane_dev import corpus_text
from timing import compare_once_each

HERE = Path(__file__).resolve().parent

SENTENCES = 50_000

LLAMA3_PATTERN = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
    r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"
)


def best_seconds(run, repeats):
    run()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def make_model(kind, directory, texts):
    import numpy as np
    from safetensors.numpy import save_file
    from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers, trainers

    if kind == "byte-level BPE":
        tokenizer = Tokenizer(models.BPE())
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
        trainer = trainers.BpeTrainer(
            vocab_size=30_000, initial_alphabet=pre_tokenizers.ByteLevel.alphabet()
        )
    elif kind == "Llama 3 BPE":
        # Llama 3's split pattern, then bytes as symbols; whole words of the vocabulary first.
        tokenizer = Tokenizer(models.BPE(ignore_merges=True))
        tokenizer.pre_tokenizer = pre_tokenizers.Sequence(
            [
                pre_tokenizers.Split(Regex(LLAMA3_PATTERN), "isolated"),
                pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False),
            ]
        )
        trainer = trainers.BpeTrainer(
            vocab_size=30_000, initial_alphabet=pre_tokenizers.ByteLevel.alphabet()
        )
    else:
        tokenizer = Tokenizer(models.WordLevel(unk_token="[UNK]"))
        tokenizer.normalizer = normalizers.BertNormalizer()
        tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
        trainer = trainers.WordLevelTrainer(vocab_size=30_000, special_tokens=["[UNK]"])
    tokenizer.train_from_iterator(texts[:20_000], trainer)
    tokenizer.save(str(directory / "tokenizer.json"))
    rows = tokenizer.get_vocab_size()
    table = np.random.default_rng(0).standard_normal((rows, 256)).astype(np.float32)
    save_file({"embeddings": table}, str(directory / "model.safetensors"))
    config = {"model_type": "model2vec", "normalize": True, "hidden_dim": 256}
    (directory / "config.json").write_text(json.dumps(config))


def against_model2vec(texts, repeats):
    from model2vec import StaticModel

    from korvane import Model

    found = {}
    for kind in ("byte-level BPE", "Llama 3 BPE", "WordLevel"):
        with tempfile.TemporaryDirectory() as name:
            directory = Path(name)
            make_model(kind, directory, texts)
            model = Model.load(directory)
            peer = StaticModel.from_pretrained(str(directory))
            korvane = len(texts) / best_seconds(lambda: model.encode(texts), repeats)
            model2vec = len(texts) / best_seconds(lambda: peer.encode(texts), repeats)
            found[kind] = {
                "backend": model.tokenizer_backend,
                "korvane": korvane,
                "model2vec": model2vec,
            }
            print(
                f"{kind:15} korvane {korvane:12,.0f}/s  model2vec {model2vec:10,.0f}/s  "
                f"{korvane / model2vec:.1f} x",
                flush=True,
            )
    return found


def demo_rates(repeats):
    """One thread's process CPU seconds per pass: Model.encode natively and the embedding stage
    alone on the same IDs; all threads' sentences per second for both; the best of 3 x
    `repeats` calls of each, the two taking turns."""
    import numpy as np

    import native_tokenizer
    from korvane import Model

    texts = corpus_text.corpus(SENTENCES)
    model = Model.load(native_tokenizer.demo_model_dir(), backend="native")
    native = model._native_tokenizer
    ids = [native.tokenize(text) for text in texts]
    offsets = np.cumsum([0] + [len(each) for each in ids])
    flat = np.fromiter((i for each in ids for i in each), dtype=np.int64, count=int(offsets[-1]))
    # Encode and the embedding stage take turns, so that a neighbour's load on a shared host
    # touches both alike (timed one after the other, one can fall in a slow spell alone).
    one_thread = compare_once_each(
        {
            "encode": lambda: model.encode(texts, threads=1),
            "embed": lambda: model.embed_ids(flat, offsets=offsets, threads=1),
        },
        3 * repeats,
        clock=time.process_time,
    )
    all_threads = compare_once_each(
        {
            "encode": lambda: model.encode(texts),
            "embed": lambda: model.embed_ids(flat, offsets=offsets),
        },
        3 * repeats,
    )
    return {
        "megabytes": sum(len(text.encode()) for text in texts) / 1e6,
        "sentences": len(texts),
        "encode_cpu": one_thread["encode"].best,
        "embed_cpu": one_thread["embed"].best,
        "encode_rate": len(texts) / all_threads["encode"].best,
        "embed_rate": len(texts) / all_threads["embed"].best,
    }


def demo_rates_of(before, repeats):
    """demo_rates for the build in `before`, in a process of its own."""
    # The older build first, then this directory for the script itself.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([str(before), str(HERE)]))
    code = (
        f"import json, tokenizer_models; print(json.dumps(tokenizer_models.demo_rates({repeats})))"
    )
    completed = subprocess.run(
        [sys.executable, "-c", code], env=environment, check=True, capture_output=True, text=True
    )
    return json.loads(completed.stdout.strip().splitlines()[-1])


def print_demo(label, rates):
    print(
        f"{label:7} tokenizer alone {tokenizer_rate(rates):6.1f} MB/s per core; "
        f"encode {rates['encode_rate']:10,.0f}/s = {rates['encode_rate'] / rates['embed_rate']:.2f}"
        f" x embedding stage {rates['embed_rate']:10,.0f}/s",
        flush=True,
    )


def measure(quick, before):
    repeats = 2 if quick else 5
    texts = corpus_text.corpus(SENTENCES)
    results = {"sentences": len(texts), "cores": len(os.sched_getaffinity(0))}
    results["model2vec"] = against_model2vec(texts, repeats)
    runs = {"after": []}
    if before:
        runs["before"] = []
    # Alternated, so that a change in the machine's load touches both builds alike.
    for _ in range(1 if quick else 3):
        if before:
            runs["before"].append(demo_rates_of(before, repeats))
            print_demo("before", runs["before"][-1])
        runs["after"].append(demo_rates(repeats))
        print_demo("after", runs["after"][-1])
    if before:
        # Named from the repository's top where it lies within it.
        resolved = Path(before).resolve()
        top = HERE.parent
        results["before"] = str(
            resolved.relative_to(top) if resolved.is_relative_to(top) else before
        )
    # Each round's figures (the builds alternate round by round), and the best of each over them.
    results["demo_rounds"] = runs
    results["demo"] = {
        label: {
            "megabytes": found[0]["megabytes"],
            "sentences": found[0]["sentences"],
            "encode_cpu": min(rates["encode_cpu"] for rates in found),
            "embed_cpu": min(rates["embed_cpu"] for rates in found),
            "encode_rate": max(rates["encode_rate"] for rates in found),
            "embed_rate": max(rates["embed_rate"] for rates in found),
        }
        for label, found in runs.items()
    }
    return results


def markdown(results):
    lines = [
        f"### Model.encode on BPE and WordLevel models against model2vec ({results['sentences']:,} "
        f"corpus sentences, {results['cores']} threads)",
        "",
        "| model | korvane's tokenizer | korvane sentences/s | model2vec sentences/s | ratio |",
        "| :-- | :-- | --: | --: | --: |",
    ]
    for kind, found in results["model2vec"].items():
        lines.append(
            f"| {kind} | {found['backend']} | {found['korvane']:,.0f} | {found['model2vec']:,.0f} "
            f"| {found['korvane'] / found['model2vec']:.1f} x |"
        )
    lines += [
        "",
        "### The demo's WordPiece tokenizer, per core and against the embedding stage",
        "",
        "| build | tokenizer alone, MB/s per core | encode sentences/s | embedding stage "
        "sentences/s | encode / embedding |",
        "| :-- | --: | --: | --: | --: |",
    ]
    for label, rates in results["demo"].items():
        lines.append(
            f"| {label} | {tokenizer_rate(rates):.1f} | {rates['encode_rate']:,.0f} | "
            f"{rates['embed_rate']:,.0f} | {rates['encode_rate'] / rates['embed_rate']:.2f} x |"
        )
    rounds = results.get("demo_rounds", {})
    lines += ["", "Round by round: encode / embedding stage " + per_round(rounds, encode_share)]
    if "before" in rounds:
        lines[-1] += "; tokenizer alone, this build / before " + ", ".join(
            f"{tokenizer_rate(after) / tokenizer_rate(older):.2f} x"
            for after, older in zip(rounds["after"], rounds["before"])
        )
        lines.append(f"(before: the korvane package in `{results['before']}`)")
    return "\n".join(lines) + "\n"


def tokenizer_rate(rates):
    """MB of text per second of one thread's CPU time, the embedding stage's left out."""
    return rates["megabytes"] / (rates["encode_cpu"] - rates["embed_cpu"])


def encode_share(rates):
    return rates["encode_rate"] / rates["embed_rate"]


def per_round(rounds, figure):
    return "; ".join(
        f"{label} " + ", ".join(f"{figure(rates):.2f} x" for rates in found)
        for label, found in rounds.items()
    )


def parse_arguments(arguments=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("output", type=Path)
    parser.add_argument("--quick", action="store_true")
    # An empty KORVANE_BENCH_BEFORE, as `make bench BENCH_BEFORE=` sets it, names no build.
    parser.add_argument(
        "--before", type=Path, default=os.environ.get("KORVANE_BENCH_BEFORE") or None
    )
    return parser.parse_args(arguments)


def main():
    arguments = parse_arguments()
    results = measure(arguments.quick, arguments.before)
    arguments.output.write_text(json.dumps(results, indent=1))
    print(markdown(results))


if __name__ == "__main__":
    main()
