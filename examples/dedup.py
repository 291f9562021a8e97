"""Deduplication: drops the texts of a file that say nearly the same as an earlier one.

    python examples/dedup.py texts.txt [--threshold 0.95] [-o unique.txt]

Lines are taken in order: a line is kept unless its cosine similarity with a line already kept
reaches the threshold, in which case it is reported as a duplicate of the most similar of those.
So every dropped line is close to a kept one, and no two kept lines are that close.

What the threshold means depends on the model. The demo's model averages token rows, so it
compares words rather than word order ("dog bites man" and "man bites dog" score 1). With it,
"The cat sat on the mat." scores 0.97 against "the cat sat on the mat" but 0.93 against "The
dog sat on the mat.", and "Return the number of items in the list." 0.95 against "... of
elements ..."; lines made mostly of the same markup or boilerplate score high too. Raise the
threshold for fewer, surer matches.

The pairs are found by comparing every line with every earlier one, a block of lines at a time:
the work grows with the square of the file (20,000 lines take a few seconds). For files of
hundreds of thousands of lines, --index usearch compares each line only with its --neighbours
nearest lines from a usearch index (requirements-examples.txt), built in about linear time.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import example_support
import search
from example_support import clip, count


def similar_pairs_exact(vectors, threshold, block_values=1 << 26):
    """(later row, earlier row, cosine) for every pair of rows whose cosine reaches the threshold.

    The cosines are computed a block of rows at a time, `block_values` at most (256 MB)."""
    block_rows = max(1, min(len(vectors), block_values // len(vectors)))
    found = []
    for start in range(0, len(vectors), block_rows):
        stop = min(start + block_rows, len(vectors))
        scores = vectors[start:stop] @ vectors[:stop].T
        later, earlier = np.nonzero(scores >= threshold)
        later += start
        keep = earlier < later
        found.append((later[keep], earlier[keep], scores[later[keep] - start, earlier[keep]]))
    return tuple(np.concatenate(column) for column in zip(*found))


def similar_pairs_index(vectors, threshold, neighbours, index_file=None):
    """As similar_pairs_exact, among each row's `neighbours` nearest rows in a usearch index."""
    index, _ = search.build_index(vectors, index_file)
    rows, scores = search.top_k_index(index, vectors, neighbours + 1)
    later = np.repeat(np.arange(len(vectors)), rows.shape[1]).reshape(rows.shape)
    keep = (rows >= 0) & (rows < later) & (scores >= threshold)
    return later[keep], rows[keep], scores[keep]


def deduplicate(count, later, earlier, scores):
    """The kept rows (in order) and {dropped row: (the kept row it repeats, cosine)}."""
    candidates = {}
    for row, other, score in zip(later.tolist(), earlier.tolist(), scores.tolist()):
        candidates.setdefault(row, []).append((score, other))
    kept, dropped = [], {}
    kept_set = set()
    for row in range(count):
        matches = [(score, other) for score, other in candidates.get(row, ()) if other in kept_set]
        if matches:
            score, other = max(matches, key=lambda match: (match[0], -match[1]))
            dropped[row] = (other, score)
        else:
            kept.append(row)
            kept_set.add(row)
    return kept, dropped


def format_report(texts, line_numbers, kept, dropped, shown):
    groups = {}
    for row, (other, score) in dropped.items():
        groups.setdefault(other, []).append((row, score))
    lines = [
        f"{count(len(texts), 'text')}: {len(kept):,} kept, {len(dropped):,} dropped as "
        f"near-duplicates of {count(len(groups), 'kept text')}."
    ]
    # The kept texts with the most duplicates first.
    for other, members in sorted(groups.items(), key=lambda item: (-len(item[1]), item[0]))[:shown]:
        lines.append(f"\nline {line_numbers[other]}: {clip(texts[other])}")
        for row, score in members:
            lines.append(f"  {score:6.3f}  line {line_numbers[row]:<6} {clip(texts[row])}")
    if len(groups) > shown:
        lines.append(f"\n(and {count(len(groups) - shown, 'more group')}: --show N lists more)")
    return "\n".join(lines)


def dedup(args):
    _, texts, line_numbers, vectors = example_support.embed_texts(args)
    started = time.perf_counter()
    if args.index == "usearch":
        try:
            pairs = similar_pairs_index(vectors, args.threshold, args.neighbours, args.index_file)
        except ImportError:
            raise ValueError(
                "--index usearch needs the usearch package: "
                "pip install -r requirements-examples.txt"
            ) from None
    else:
        pairs = similar_pairs_exact(vectors, args.threshold)
    kept, dropped = deduplicate(len(texts), *pairs)
    if not args.quiet:
        print(f"Compared in {time.perf_counter() - started:.2f} s.", file=sys.stderr)
    print(format_report(texts, line_numbers, kept, dropped, args.show))
    if args.output:
        args.output.write_text("".join(texts[row] + "\n" for row in kept), encoding="utf-8")
        print(f"\nwrote {args.output}: {count(len(kept), 'kept text')}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    example_support.add_common_arguments(parser)
    parser.add_argument(
        "--threshold",
        type=float,
        default=0.95,
        help="the cosine from which two texts count as one (default: 0.95)",
    )
    parser.add_argument("-o", "--output", type=Path, help="write the kept texts here, one per line")
    parser.add_argument(
        "--show",
        type=int,
        default=10,
        metavar="N",
        help="groups of duplicates to list (default: 10)",
    )
    parser.add_argument(
        "--index",
        choices=("numpy", "usearch"),
        default="numpy",
        help="compare all pairs with numpy, or each text with its neighbours in a usearch index",
    )
    parser.add_argument(
        "--neighbours",
        type=int,
        default=10,
        help="with --index usearch: neighbours compared per text (default: 10)",
    )
    parser.add_argument(
        "--index-file", type=Path, help="with --index usearch: where to keep the index between runs"
    )
    args = parser.parse_args(argv)
    if not -1 <= args.threshold <= 1:
        parser.error("--threshold must lie between -1 and 1")
    if args.neighbours < 1:
        parser.error("--neighbours must be at least 1")
    return example_support.run(dedup, args)


if __name__ == "__main__":
    sys.exit(main())
