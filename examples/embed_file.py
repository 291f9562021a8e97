"""Embed a text file, one sentence per line, into a .npy array with one row per line.

    python examples/embed_file.py my_model sentences.txt embeddings.npy

The model directory holds model.safetensors and, unless --tokenizer names another, the
tokenizer.json whose token IDs index its table (`korvane convert` writes both). Row i
of the array is the embedding of line i; a line that yields no token (a blank line) gets a row
of zeros.

From Python:

    import korvane_py
    from embed_file import embed_sentences, load_tokenizer
    model = korvane_py.StaticEmbedding("my_model")
    rows = embed_sentences(model, load_tokenizer("my_model/tokenizer.json"), ["a sentence"])
"""

import argparse
import sys
from pathlib import Path

import numpy as np
from tokenizers import Tokenizer
from tqdm import tqdm

import korvane_py


def load_tokenizer(path):
    """Reads a tokenizer.json, switching off the padding and truncation it may carry.

    Tokenizers saved for transformer models often pad every text to a fixed length: the padding
    IDs would be averaged into the embedding like words. Truncation to the transformer's
    context length means nothing to a static table.
    """
    try:
        tokenizer = Tokenizer.from_file(str(path))
    except Exception as error:  # tokenizers reports every failure as a plain Exception
        raise ValueError(f"{path}: {error}") from error
    tokenizer.no_padding()
    tokenizer.no_truncation()
    return tokenizer


def embed_sentences(model, tokenizer, sentences, *, add_special_tokens=False, progress=False):
    """Returns a float32 array with one embedding row per sentence.

    Special tokens ([CLS], [SEP], ...) are left out by default: every sentence would share their
    rows, which pulls all embeddings towards one another.
    """
    sentences = list(sentences)
    embeddings = None
    bar = tqdm(sentences, disable=not progress, unit=" lines", file=sys.stderr)
    for number, sentence in enumerate(bar):
        ids = tokenizer.encode(sentence, add_special_tokens=add_special_tokens).ids
        if not ids:
            continue  # the mean of no rows is undefined: the row stays zero
        try:
            row = model.embed_tokens(ids)
        except BaseException as error:  # korvane_py's PanicException is not an Exception
            error.add_note(f"while embedding sentence {number + 1}: {sentence[:60]!r}")
            raise
        if embeddings is None:
            embeddings = np.zeros((len(sentences), len(row)), dtype=np.float32)
        embeddings[number] = row
    return embeddings if embeddings is not None else np.zeros((len(sentences), 0), np.float32)


def embed_file(
    model_dir,
    sentences_path,
    output_path,
    *,
    tokenizer_path=None,
    normalize=True,
    add_special_tokens=False,
    progress=True,
):
    """Embeds every line of `sentences_path` and saves the rows to `output_path` (.npy)."""
    model = korvane_py.StaticEmbedding(str(model_dir), normalize=normalize)
    tokenizer = load_tokenizer(tokenizer_path or Path(model_dir) / "tokenizer.json")
    sentences = Path(sentences_path).read_text(encoding="utf-8").splitlines()
    embeddings = embed_sentences(
        model, tokenizer, sentences, add_special_tokens=add_special_tokens, progress=progress
    )
    np.save(output_path, embeddings)
    return embeddings


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("model_dir", help="a directory holding model.safetensors")
    parser.add_argument("sentences", help="a UTF-8 text file, one sentence per line")
    parser.add_argument("output", help="the .npy file to write")
    parser.add_argument("--tokenizer", help="tokenizer.json (default: the model directory's)")
    parser.add_argument(
        "--no-normalize",
        dest="normalize",
        action="store_false",
        help="keep the plain mean of the rows instead of scaling it to unit length",
    )
    parser.add_argument(
        "--special-tokens",
        action="store_true",
        help="include the tokenizer's special tokens, such as [CLS] and [SEP]",
    )
    parser.add_argument("--quiet", action="store_true", help="show no progress bar")
    args = parser.parse_args(argv)
    try:
        embeddings = embed_file(
            args.model_dir,
            args.sentences,
            args.output,
            tokenizer_path=args.tokenizer,
            normalize=args.normalize,
            add_special_tokens=args.special_tokens,
            progress=not args.quiet,
        )
    except Exception as error:  # a missing file, a bad model file, an unreadable tokenizer
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}: {embeddings.shape[0]} x {embeddings.shape[1]} float32")
    return 0


if __name__ == "__main__":
    sys.exit(main())
