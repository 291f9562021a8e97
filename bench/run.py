"""Runs every benchmark table, each in a process of its own, then writes bench/results.md and
bench/latency.png and prints the results.

Usage: python bench/run.py [--quick] [--load-bench PATH] [--scratch DIRECTORY] [--output DIRECTORY]
--quick takes few repetitions (a smoke run, not figures to report); --load-bench names the built
C++ reader benchmark, whose figures join the first-call table.
"""

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import corpus_report
import native_tokenizer
import native_unigram
import report
import tokenizer_models

HERE = Path(__file__).resolve().parent
TABLES = [
    "latency",
    "scattered",
    "first_call",
    "memory",
    "corpus",
    "native_tokenizer",
    "native_unigram",
    "tokenizer_models",
]


def run_table(name, scratch, quick):
    output = scratch / f"{name}.json"
    command = [sys.executable, str(HERE / f"{name}.py"), str(output)] + (
        ["--quick"] if quick else []
    )
    print(f"== {name}", flush=True)
    subprocess.run(command, check=True)
    return json.loads(output.read_text())


def parse_load_bench(text):
    """The medians, in seconds, that load_bench prints for the floor and the reader."""
    found = {}
    for key, pattern in (
        ("floor", r"^floor .*?([\d.]+) ms median"),
        ("korvane", r"^load_safetensors_file:\s*([\d.]+) ms median"),
    ):
        match = re.search(pattern, text, re.MULTILINE)
        if match is None:
            raise ValueError(f"load_bench printed no {key} median:\n{text}")
        found[key] = float(match.group(1)) / 1e3
    return found


def run_load_bench(path, quick):
    print("== load_bench", flush=True)
    completed = subprocess.run(
        [path] + (["3"] if quick else ["31"]), check=True, capture_output=True, text=True
    )
    print(completed.stdout, end="", flush=True)
    return parse_load_bench(completed.stdout)


def processor_name():
    try:
        with open("/proc/cpuinfo") as file:
            for line in file:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def environment(load_before, load_after, quick):
    return (
        f"{time.strftime('%Y-%m-%d')}, {processor_name()} ({os.cpu_count()} cores), "
        f"Python {platform.python_version()}, numpy {np.__version__}, "
        f"load average {load_before:.2f} before and {load_after:.2f} after the run"
        + (" (QUICK RUN: too few repetitions to report)" if quick else "")
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--load-bench")
    parser.add_argument("--scratch", type=Path, default=HERE.parent / "build" / "bench-results")
    parser.add_argument("--output", type=Path, default=HERE)
    arguments = parser.parse_args()
    arguments.scratch.mkdir(parents=True, exist_ok=True)
    arguments.output.mkdir(parents=True, exist_ok=True)

    load_before = os.getloadavg()[0]
    results = {name: run_table(name, arguments.scratch, arguments.quick) for name in TABLES}
    reader = run_load_bench(arguments.load_bench, arguments.quick) if arguments.load_bench else None
    load_after = os.getloadavg()[0]

    text = (
        report.markdown(
            environment(load_before, load_after, arguments.quick),
            results["latency"],
            results["scattered"],
            results["first_call"],
            results["memory"],
            reader,
        )
        + "\n"
        + corpus_report.markdown(results["corpus"])
    )
    text += "\n" + native_tokenizer.markdown(results["native_tokenizer"])
    text += "\n" + native_unigram.markdown(results["native_unigram"])
    text += "\n" + tokenizer_models.markdown(results["tokenizer_models"])
    text += "\n" + (HERE / "design_choices.md").read_text()
    (arguments.output / "results.md").write_text(text)
    report.plot(results["latency"], results["scattered"], arguments.output / "latency.png")
    print()
    print(text)


if __name__ == "__main__":
    main()
