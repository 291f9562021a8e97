"""Clustering: groups the texts of a file by topic and shows the most typical texts of each group.

    python examples/cluster.py texts.txt [-k 8] [--show 5] [-o clusters.tsv]

The embeddings are first centred: their mean is subtracted, which takes away the part that all
texts share and leaves what sets them apart (without it, --no-center, the groups of the demo's
model follow length and style more than topic). They are then grouped by spherical k-means,
written here in a few lines of numpy: k centres of unit length, each text belonging to the
centre of highest cosine, each centre the normalized mean of its texts, repeated until no text
changes group. The first centres are
chosen by k-means++ (each next one drawn with a probability that grows with its distance from
those chosen); --restarts runs it several times and keeps the tightest grouping. The groups are
listed largest first, each with the texts nearest its centre and its mean cosine to it (how
tight it is). -o writes every text's group as a tab-separated file: line, cluster, cosine, text.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import example_support
from example_support import clip, count


def initial_centres(vectors, k, rng):
    """k rows chosen by k-means++ on the cosine distance (1 - cosine)."""
    centres = [vectors[rng.integers(len(vectors))]]
    distance = 1 - vectors @ centres[0]
    for _ in range(1, k):
        weights = np.clip(distance, 0, None) ** 2
        total = weights.sum()
        if total > 0:
            chosen = rng.choice(len(vectors), p=weights / total)
        else:  # every row is a chosen one (or opposite to one)
            chosen = rng.integers(len(vectors))
        centres.append(vectors[chosen])
        distance = np.minimum(distance, 1 - vectors @ vectors[chosen])
    return np.array(centres)


def spherical_kmeans(vectors, k, *, seed=0, restarts=4, max_iterations=100):
    """Groups the unit-length rows into k clusters: (cluster of each row, centres, each row's
    cosine to its centre). Of `restarts` runs from different starts the one of highest total
    cosine is kept; each run stops when no row changes cluster, or after max_iterations."""
    rng = np.random.default_rng(seed)
    vectors = np.asarray(vectors, dtype=np.float32)
    k = min(k, len(vectors))
    best = None
    for _ in range(restarts):
        centres = initial_centres(vectors, k, rng)
        labels = None
        for _ in range(max_iterations):
            similarities = vectors @ centres.T
            new_labels = similarities.argmax(axis=1)
            if labels is not None and np.array_equal(new_labels, labels):
                break
            labels = new_labels
            membership = np.zeros((k, len(vectors)), dtype=np.float32)
            membership[labels, np.arange(len(vectors))] = 1
            sums = membership @ vectors
            norms = np.linalg.norm(sums, axis=1, keepdims=True)
            # A cluster left empty (or whose rows cancel out) starts again from the row that
            # fits its own cluster worst.
            for empty in np.flatnonzero(norms[:, 0] == 0):
                worst = similarities[np.arange(len(vectors)), labels].argmin()
                sums[empty], norms[empty] = vectors[worst], 1
                similarities[worst, labels[worst]] = np.inf
            centres = sums / norms
        fit = (vectors @ centres.T)[np.arange(len(vectors)), labels]
        if best is None or fit.sum() > best[2].sum():
            best = (labels, centres, fit)
    return best


def centered(vectors):
    """The rows less their mean, scaled to unit length again (a row equal to the mean stays zero).

    The average of token rows carries a large part that every text shares; with it, all cosines
    are high and the clusters follow it (long texts against short ones) more than the topics."""
    centred = vectors - vectors.mean(axis=0, dtype=np.float64).astype(np.float32)
    norms = np.linalg.norm(centred, axis=1, keepdims=True)
    return np.divide(centred, norms, out=np.zeros_like(centred), where=norms > 1e-6)


def format_clusters(texts, line_numbers, labels, fit, shown):
    sizes = np.bincount(labels)
    clusters = sorted(
        np.flatnonzero(sizes).tolist(), key=lambda cluster: (-sizes[cluster], cluster)
    )
    lines = []
    for number, cluster in enumerate(clusters, start=1):
        members = np.flatnonzero(labels == cluster)
        lines.append(
            f"Cluster {number}: {count(len(members), 'text')}, "
            f"mean cosine to the centre {fit[members].mean():.3f}"
        )
        for row in members[np.argsort(-fit[members], kind="stable")][:shown]:
            lines.append(f"  {fit[row]:6.3f}  line {line_numbers[row]:<6} {clip(texts[row])}")
    return "\n".join(lines), clusters


def cluster(args):
    _, texts, line_numbers, vectors = example_support.embed_texts(args)
    # Texts whose tokens are all unknown have no direction to group by.
    usable = np.flatnonzero(np.linalg.norm(vectors, axis=1) > 0)
    if len(usable) < len(texts):
        print(f"Left out: {count(len(texts) - len(usable), 'text')} without a known token.")
    if not len(usable):
        raise ValueError(f"no text of {args.texts} has a known token")
    texts = [texts[row] for row in usable]
    line_numbers = [line_numbers[row] for row in usable]
    vectors = vectors[usable]
    if args.center:
        vectors = centered(vectors)
    started = time.perf_counter()
    labels, _, fit = spherical_kmeans(vectors, args.k, seed=args.seed, restarts=args.restarts)
    if not args.quiet:
        print(f"Clustered in {time.perf_counter() - started:.2f} s.", file=sys.stderr)
    report, order = format_clusters(texts, line_numbers, labels, fit, args.show)
    print(report)
    if args.output:
        number_of = {cluster: number for number, cluster in enumerate(order, start=1)}
        with open(args.output, "w", encoding="utf-8") as file:
            file.write("line\tcluster\tcosine\ttext\n")
            for row, text in enumerate(texts):
                cluster_number = number_of[labels[row]]
                file.write(f"{line_numbers[row]}\t{cluster_number}\t{fit[row]:.4f}\t{text}\n")
        print(f"\nwrote {args.output}: the cluster of each of {count(len(texts), 'text')}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    example_support.add_common_arguments(parser)
    parser.add_argument("-k", type=int, default=8, help="the number of clusters (default: 8)")
    parser.add_argument(
        "--show",
        type=int,
        default=5,
        metavar="N",
        help="texts listed per cluster, nearest the centre first (default: 5)",
    )
    parser.add_argument("-o", "--output", type=Path, help="write each text's cluster here (TSV)")
    parser.add_argument(
        "--no-center",
        dest="center",
        action="store_false",
        help="cluster the embeddings as they are, without subtracting their mean",
    )
    parser.add_argument(
        "--seed", type=int, default=0, help="seed of the random starts (default: 0)"
    )
    parser.add_argument(
        "--restarts",
        type=int,
        default=4,
        help="runs from different starts, the best kept (default: 4)",
    )
    args = parser.parse_args(argv)
    if args.k < 1 or args.restarts < 1:
        parser.error("-k and --restarts must be at least 1")
    return example_support.run(cluster, args)


if __name__ == "__main__":
    sys.exit(main())
