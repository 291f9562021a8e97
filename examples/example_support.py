"""What search.py, dedup.py and cluster.py share: the model option and reading a file of texts."""

import os
import sys
import time
from pathlib import Path

import demo
from korvane import Model


def add_common_arguments(parser):
    parser.add_argument(
        "texts", type=Path, help="a UTF-8 text file, one text per line (blank lines are skipped)"
    )
    parser.add_argument(
        "--model",
        type=Path,
        help="a model directory with its tokenizer.json (default: the demo's "
        "model, all-MiniLM-L6-v2's token table, prepared under .cache/demo "
        "on first use)",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar and no timings")


def load_model(path=None):
    """The model of --model, or the demo's F32 model directory, prepared if it is not yet."""
    if path is None:
        model_dirs, _ = demo.prepare_cached(
            demo.packaged_model_dir(), demo.SOURCE_TENSOR, demo.DEFAULT_CACHE_DIR
        )
        path = model_dirs["F32"]
    model = Model.load(path)
    if model.tokenizer is None:
        raise ValueError(f"{path} has no tokenizer.json: these examples embed texts")
    return model


def read_texts(path):
    """The file's non-blank lines (without their line ends) and their 1-based line numbers.

    A line that is not UTF-8 is reported by its number, with the offending byte."""
    texts, line_numbers = [], []
    with open(path, "rb") as file:
        for number, raw in enumerate(file, start=1):
            try:
                line = raw.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError as error:
                raise ValueError(
                    f"{path}, line {number}: not UTF-8 (byte 0x{raw[error.start]:02x} "
                    f"at byte {error.start + 1} of the line)"
                ) from None
            if line.strip():
                texts.append(line)
                line_numbers.append(number)
    return texts, line_numbers


def embed_texts(args):
    """Loads the model, reads args.texts and embeds them: (model, texts, line numbers, rows).

    The rows have unit length (the model's default), so dot products between them are cosines;
    a text whose tokens are all unknown to the tokenizer gets a row of zeros.
    """
    model = load_model(args.model)
    texts, line_numbers = read_texts(args.texts)
    if not texts:
        raise ValueError(f"{args.texts} holds no text")
    started = time.perf_counter()
    vectors = model.encode(texts, show_progress=not args.quiet)
    if not args.quiet:
        elapsed = time.perf_counter() - started
        print(
            f"Embedded {count(len(texts), 'text')} of {args.texts} in {elapsed:.2f} s "
            f"({model.vocab_size:,} tokens x {model.dim} model at {model.path}).",
            file=sys.stderr,
        )
    return model, texts, line_numbers, vectors


def count(number, noun):
    """'1 text', '2,000 texts'."""
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def clip(text, width=100):
    return text if len(text) <= width else text[: width - 1] + "…"


def run(main_body, args):
    """Runs main_body(args), turning the expected failures into one line and status 1."""
    try:
        return main_body(args)
    except BrokenPipeError:  # the reader went away (| head): no more output, and no complaint
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (OSError, ValueError) as error:  # a missing file, a bad model, an undecodable line
        print(f"error: {error}", file=sys.stderr)
        return 1
