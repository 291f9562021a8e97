"""Semantic search: the texts of a file nearest in meaning to each query, best first.

    python examples/search.py texts.txt "heavy rain" "interest rates" [-k 5]
    python examples/search.py texts.txt --index usearch < queries.txt

Every line of the file is embedded once; each query is embedded the same way and compared with
all of them by cosine similarity (a dot product, the rows having unit length).

With --index numpy (the default) that is one matrix product and a partial sort: exact, and
quick enough for one person's queries even over a large file. For many queries, --index usearch
puts the rows into an HNSW graph of the usearch package (requirements-examples.txt): far
quicker per query, at the price of building the graph once and of missing some neighbours
(figures: bench/results.md, "Measured design choices"). --index-file keeps the graph on disk: later runs over the same texts and model read it
instead of building it. Without queries on the command line, they are read from standard
input, one per line, and each is answered as it comes.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import example_support
from example_support import clip


def top_k_exact(vectors, queries, k):
    """For each query row, the indices of the k rows of `vectors` with the largest dot product
    and those products, best first: two arrays of shape (len(queries), min(k, len(vectors))).
    Of rows with equal products the first in the file comes first."""
    k = min(k, len(vectors))
    scores = queries @ vectors.T
    # The k-th best product of each query, found in linear time; only the rows reaching it are
    # sorted (more than k where several tie with it).
    kth = -np.partition(-scores, k - 1, axis=1)[:, k - 1]
    rows = np.empty((len(queries), k), dtype=np.int64)
    for query, threshold in enumerate(kth):
        candidates = np.flatnonzero(scores[query] >= threshold)
        rows[query] = candidates[np.lexsort((candidates, -scores[query, candidates]))[:k]]
    return rows, np.take_along_axis(scores, rows, axis=1)


def saved_index(path, vectors, chunk_rows=65536):
    """The usearch index saved at `path` if it holds exactly these rows, else None."""
    from usearch.index import Index

    try:
        index = Index.restore(str(path))
    except (OSError, ValueError, RuntimeError):  # no file, or not an index usearch can read
        return None
    if index is None or index.ndim != vectors.shape[1] or len(index) != len(vectors):
        return None
    for start in range(0, len(vectors), chunk_rows):
        keys = np.arange(start, min(start + chunk_rows, len(vectors)))
        stored = index.get(keys)
        if any(row is None for row in stored):  # a key missing
            return None
        if not np.array_equal(np.asarray(stored, dtype=np.float32), vectors[keys]):
            return None
    return index


def build_index(vectors, path=None):
    """A usearch index of the rows, keyed by row number, and whether it was read from `path`
    (else it is built, and saved there if `path` is given)."""
    from usearch.index import Index

    if path is not None and (index := saved_index(path, vectors)) is not None:
        return index, True
    index = Index(ndim=vectors.shape[1], metric="cos", dtype="f32")
    index.add(np.arange(len(vectors)), vectors)
    if path is not None:
        index.save(str(path))
    return index, False


def top_k_index(index, queries, k):
    """As top_k_exact, from the index: row numbers and cosine similarities, best first; a query
    may get fewer than k rows (the graph can miss some), the gaps hold -1 and NaN."""
    k = min(k, len(index))
    matches = index.search(queries, k)
    keys = np.asarray(matches.keys, dtype=np.int64).reshape(len(queries), -1)
    # usearch's cosine distance is 1 - cos.
    scores = 1 - np.asarray(matches.distances, dtype=np.float64).reshape(len(queries), -1)
    # One query gives a Matches, several a BatchMatches with a count per query.
    counts = np.asarray(getattr(matches, "counts", [len(matches)])).reshape(len(queries))
    missing = np.arange(keys.shape[1]) >= counts[:, None]
    keys[missing] = -1
    scores[missing] = np.nan
    return keys, scores


def format_results(query, rows, scores, texts, line_numbers):
    lines = [f"Query: {query}"]
    for rank, (row, score) in enumerate(zip(rows, scores), start=1):
        if row < 0:
            break
        lines.append(f"  {rank:>2}. {score:6.3f}  line {line_numbers[row]:<6} {clip(texts[row])}")
    return "\n".join(lines)


def search(args):
    model, texts, line_numbers, vectors = example_support.embed_texts(args)
    if args.index == "usearch":
        started = time.perf_counter()
        try:
            index, reused = build_index(vectors, args.index_file)
        except ImportError:
            raise ValueError(
                "--index usearch needs the usearch package: "
                "pip install -r requirements-examples.txt"
            ) from None
        if not args.quiet:
            how = f"read from {args.index_file}" if reused else "built"
            print(
                f"Index of {len(index):,} rows {how} in {time.perf_counter() - started:.2f} s.",
                file=sys.stderr,
            )

    def answer(queries):
        query_vectors = model.encode(queries)
        if args.index == "usearch":
            rows, scores = top_k_index(index, query_vectors, args.k)
        else:
            rows, scores = top_k_exact(vectors, query_vectors, args.k)
        for number, query in enumerate(queries):
            results = format_results(query, rows[number], scores[number], texts, line_numbers)
            print(results, end="\n\n", flush=True)

    if args.queries:
        answer(args.queries)
        return 0
    # One query per line of standard input, each answered as soon as it is read.
    if sys.stdin.isatty():
        print("Type a query and press Enter (Ctrl-D to end).", file=sys.stderr)
    for line in sys.stdin:
        if line.strip():
            answer([line.strip()])
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    example_support.add_common_arguments(parser)
    parser.add_argument("queries", nargs="*", help="texts to look for (default: standard input)")
    parser.add_argument("-k", type=int, default=5, help="results per query (default: 5)")
    parser.add_argument(
        "--index",
        choices=("numpy", "usearch"),
        default="numpy",
        help="exact search with numpy, or an approximate usearch index",
    )
    parser.add_argument(
        "--index-file", type=Path, help="with --index usearch: where to keep the index between runs"
    )
    # Intermixed: queries may follow options (search.py texts.txt --model DIR "a query").
    args = parser.parse_intermixed_args(argv)
    if args.k < 1:
        parser.error("-k must be at least 1")
    return example_support.run(search, args)


if __name__ == "__main__":
    sys.exit(main())
