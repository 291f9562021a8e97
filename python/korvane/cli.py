"""The `korvane` command: `korvane embed` turns a file of texts into a file of embeddings,
`korvane convert` makes a model directory from a token table or a transformer checkpoint.

Each subcommand is a `Command`: a function that adds its arguments to a parser and one that runs
it and returns the exit status. Failures the user can mend (missing files, bad input, a model
that does not fit) print one line on stderr and give exit status 1.
"""

from __future__ import annotations

import argparse
import codecs
import errno
import io
import json
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

import numpy as np
import numpy.typing as npt

from ._files import replaced_when_done, reserve, same_file
from ._layout import DEFAULT_BATCH_SIZE, MODEL_FILE, TOKENIZER_FILE
from ._parquet import EMBEDDING_COLUMN, embedding_batch, embedding_schema, open_embedding_writer

if TYPE_CHECKING:
    from .model import Model

INPUT_SUFFIXES = (".txt", ".jsonl", ".parquet")
OUTPUT_SUFFIXES = (".npy", ".parquet")
OUTPUT_COLUMN = EMBEDDING_COLUMN
PARQUET_READ_ROWS = 65_536
# Write failures that mean the output does not fit.
NO_ROOM = (errno.ENOSPC, errno.EDQUOT, errno.EFBIG)


class UsageError(Exception):
    """A failure explained by its message alone; printed without a traceback."""


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


# ---------------------------------------------------------------------------------------------
# Reading texts


STDIN = "-"
# Embeddings as written: float32, or float16 with --dtype f16.
Rows = npt.NDArray[np.float32] | npt.NDArray[np.float16]
ID_FIELD = "id"


@dataclass(frozen=True)
class Decoding:
    """How the bytes of a text input become str: the codec, and "strict" (an undecodable byte
    fails, naming its place) or "replace" (it becomes U+FFFD)."""

    encoding: str = "utf-8"
    errors: str = "strict"


class Ids:
    """The input's ids of the texts read but not yet written: the text iterators add them as
    they go, and the writer takes as many as each block of embeddings has rows."""

    def __init__(self, kind: Any) -> None:
        self.kind = kind  # the Arrow type of the ids
        self.values: list[Any] = []  # ids of .jsonl records
        self.arrays: list[Any] = []  # ids of Parquet rows, as Arrow arrays

    def take(self, count: int, name: str) -> Any:
        pa = import_pyarrow()
        if self.arrays:
            joined = pa.concat_arrays(self.arrays)
            self.arrays = [joined.slice(count)]
            return joined.slice(0, count)
        taken, self.values = self.values[:count], self.values[count:]
        try:
            return pa.array(taken, type=self.kind)
        except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
            raise UsageError(
                f"{name}: the {ID_FIELD!r} fields are not all {self.kind} as the first record's is"
            ) from None


@dataclass(frozen=True)
class TextSource:
    """The texts of an input: how many there are, a fresh iterator over them, and the ids of
    the input's rows when it has them (filled by the iterator as it reads)."""

    count: int
    texts: Callable[[], Iterator[str]]
    ids: Ids | None = None
    # Where text i sits in the input, in the input's terms ("in.txt, line 3").
    place: Callable[[int], str] = lambda index: f"text {index + 1}"


def jsonl_place(name: str, read: Callable[[], Any], decoding: Decoding, index: int) -> str:
    """The line of the `index`th record of a .jsonl file (blank lines hold none)."""
    found = -1
    for number, line in enumerate(decoded_lines(name, read, decoding), start=1):
        found += bool(line.strip())
        if found == index:
            return f"{name}, line {number:,}"
    return f"{name}, record {index + 1:,}"


# How embedding errors name a text: texts[i], its position in what was read.
TEXT_NUMBER = re.compile(r"\btexts\[(\d+)\]")


def placed(error: Exception, source: TextSource) -> UsageError:
    """`error` of embedding (a token beyond the table, an overflow) with the text it names as
    texts[i] named by its place in the input file instead."""
    message = str(error)
    return UsageError(TEXT_NUMBER.sub(lambda found: source.place(int(found.group(1))), message))


def undecodable_place(
    read: Callable[[], Any], encoding: str
) -> tuple[int, int, int, bytes, str] | None:
    """Where the bytes `read()` gives first fail to decode as `encoding`: (line, byte within
    the line, byte within the file, the bytes, the reason), counting from 1, lines ending at
    "\n". None if they all decode."""
    decoder = codecs.getincrementaldecoder(encoding)("strict")
    consumed, line, line_start = 0, 1, 0
    with read() as file:
        while True:
            chunk = file.read(1 << 20)
            pending = len(decoder.getstate()[0])
            try:
                decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as error:
                at = consumed - pending + error.start
                before = chunk[: max(0, at - consumed)]
                line += before.count(b"\n")
                if (last := before.rfind(b"\n")) >= 0:
                    line_start = consumed + last + 1
                bad = error.object[error.start : error.end]
                return line, at - line_start + 1, at + 1, bytes(bad), error.reason
            if not chunk:
                return None
            line += chunk.count(b"\n")
            if (last := chunk.rfind(b"\n")) >= 0:
                line_start = consumed + last + 1
            consumed += len(chunk)


def decoding_failure(
    name: str, read: Callable[[], Any], decoding: Decoding, error: UnicodeDecodeError
) -> UsageError:
    place = undecodable_place(read, decoding.encoding)
    if place is None:  # the file changed since: say what the decoder said
        return UsageError(f"{name}: not {decoding.encoding} text ({error.reason})")
    line, column, offset, bad, reason = place
    return UsageError(
        f"{name}, line {line:,}: byte {column:,} of the line (byte {offset:,} of the file), "
        f"{bad.hex(' ')}, is not {decoding.encoding} ({reason}): name the input's encoding "
        "with --encoding, or replace what does not decode with --errors replace"
    )


def decoded_lines(name: str, read: Callable[[], Any], decoding: Decoding) -> Iterator[str]:
    """The lines of the bytes `read()` gives, decoded, each without its line end. Only "\n",
    "\r\n" and "\r" end a line, unlike str.splitlines, which also splits at characters such
    as U+2028 that may sit inside a sentence."""
    try:
        with io.TextIOWrapper(
            read(), encoding=decoding.encoding, errors=decoding.errors, newline=None
        ) as file:
            for line in file:
                yield line[:-1] if line.endswith("\n") else line
    except UnicodeDecodeError as error:
        raise decoding_failure(name, read, decoding, error) from None


def jsonl_texts(
    name: str, read: Callable[[], Any], decoding: Decoding, column: str, ids: Ids | None
) -> Iterator[str]:
    for number, line in enumerate(decoded_lines(name, read, decoding), start=1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError as error:
            raise UsageError(f"{name}, line {number}: not JSON ({error})") from None
        if not isinstance(record, dict) or column not in record:
            raise UsageError(f"{name}, line {number}: no field {column!r}")
        text = record[column]
        if not isinstance(text, str):
            raise UsageError(
                f"{name}, line {number}: field {column!r} is {type(text).__name__}, not a string"
            )
        if ids is not None:
            if ID_FIELD not in record:
                raise UsageError(
                    f"{name}, line {number}: no field {ID_FIELD!r}, which the first record has"
                )
            ids.values.append(record[ID_FIELD])
        yield text


def jsonl_id_type(name: str, read: Callable[[], Any], decoding: Decoding) -> Any:
    """The Arrow type of the first record's `id` (int64, float64 or string), None if it has
    none."""
    for line in decoded_lines(name, read, decoding):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError:
            return None  # reported when the texts are read
        if not isinstance(record, dict) or ID_FIELD not in record:
            return None
        value = record[ID_FIELD]
        for kind, name_of_type in ((int, "int64"), (float, "float64"), (str, "string")):
            if isinstance(value, kind) and not isinstance(value, bool):
                return getattr(import_pyarrow(), name_of_type)()
        raise UsageError(
            f"{name}, line 1: the {ID_FIELD!r} field is "
            f"{type(value).__name__}, not a number or a string"
        )
    return None


def import_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise UsageError("Parquet files need pyarrow: pip install 'korvane[parquet]'") from None
    return pyarrow


def parquet_source(path: Path, column: str, decoding: Decoding) -> TextSource:
    pa = import_pyarrow()
    try:
        file = pa.parquet.ParquetFile(path)
    except (OSError, pa.ArrowException) as error:
        raise UsageError(f"{path}: {error}") from None
    schema = file.schema_arrow
    if column not in schema.names:
        raise UsageError(f"{path} has no column {column!r} (columns: {', '.join(schema.names)})")
    kind = schema.field(column).type
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        raise UsageError(f"{path}: column {column!r} holds {kind}, not strings")
    ids = (
        Ids(schema.field(ID_FIELD).type)
        if ID_FIELD in schema.names and column != ID_FIELD
        else None
    )
    columns = [column] if ids is None else [column, ID_FIELD]

    def texts() -> Iterator[str]:
        start = 0
        for batch in file.iter_batches(batch_size=PARQUET_READ_ROWS, columns=columns):
            values = batch.column(0)
            if values.null_count:
                row = start + values.is_null().to_pylist().index(True)
                raise UsageError(f"{path}: row {row} of column {column!r} is null")
            if ids is not None:
                ids.arrays.append(batch.column(1))
            yield from parquet_strings(path, column, values, start, decoding)
            start += len(values)

    return TextSource(
        file.metadata.num_rows,
        texts,
        ids,
        lambda index: f"{path}, row {index:,} of column {column!r}",
    )


def parquet_strings(
    path: Path, column: str, values: Any, start: int, decoding: Decoding
) -> list[str]:
    """The str values of a batch of a string column, whose bytes a writer may not have checked
    to be UTF-8: one that is not fails naming its row, or has U+FFFD where it does not decode
    with --errors replace."""
    try:
        return values.to_pylist()  # type: ignore[no-any-return]
    except UnicodeDecodeError:
        pass
    raw = values.cast(import_pyarrow().large_binary()).to_pylist()
    decoded = []
    for row, data in enumerate(raw, start=start):
        try:
            decoded.append(data.decode("utf-8", decoding.errors))
        except UnicodeDecodeError as error:
            raise UsageError(
                f"{path}: row {row} of column {column!r}, byte {error.start + 1} of the value, "
                f"{data[error.start : error.end].hex(' ')}, is not UTF-8 ({error.reason}): "
                "replace what does not decode with --errors replace"
            ) from None
    return decoded


def open_texts(path: Path, column: str | None, decoding: Decoding) -> TextSource:
    """The texts of a .txt (a line each), .jsonl or .parquet (`column`, default "text") file,
    or of standard input (a line each) for "-"."""
    if str(path) == STDIN:
        if column is not None:
            raise UsageError("--column applies to .jsonl and .parquet input only")
        data = sys.stdin.buffer.read()
        lines = list(decoded_lines("standard input", lambda: io.BytesIO(data), decoding))
        return TextSource(
            len(lines),
            lambda: iter(lines),
            None,
            lambda index: f"standard input, line {index + 1:,}",
        )
    suffix = path.suffix.lower()
    if suffix not in INPUT_SUFFIXES:
        raise UsageError(
            f"{path}: input must be a {', '.join(INPUT_SUFFIXES)} file, or - for standard input"
        )
    if not path.exists():
        raise UsageError(f"{path}: no such file")
    if not path.is_file():
        raise UsageError(f"{path}: not a regular file")
    name = str(path)

    def read() -> Any:
        return open(path, "rb")

    if suffix == ".txt":
        if column is not None:
            raise UsageError("--column applies to .jsonl and .parquet input only")
        return TextSource(
            sum(1 for _ in decoded_lines(name, read, decoding)),
            lambda: decoded_lines(name, read, decoding),
            None,
            lambda index: f"{name}, line {index + 1:,}",
        )
    if suffix == ".jsonl":
        field = column or "text"
        count = sum(1 for line in decoded_lines(name, read, decoding) if line.strip())
        kind = jsonl_id_type(name, read, decoding) if field != ID_FIELD else None
        ids = None if kind is None else Ids(kind)
        return TextSource(
            count,
            lambda: jsonl_texts(name, read, decoding, field, ids),
            ids,
            lambda index: jsonl_place(name, read, decoding, index),
        )
    if decoding.encoding.replace("_", "-").lower() not in ("utf-8", "utf8"):
        raise UsageError("--encoding applies to .txt and .jsonl input: Parquet strings are UTF-8")
    return parquet_source(path, column or "text", decoding)


# ---------------------------------------------------------------------------------------------
# Writing embeddings


class EmbeddingWriter(Protocol):
    def write(self, rows: Rows) -> None: ...
    def close(self) -> None: ...
    def abandon(self) -> None: ...


class NpyWriter:
    """Writes a float32 (count, dim) .npy file row block by row block. The file's whole size is
    reserved first, so that a full disk fails before the work rather than after it, and written
    with ordinary writes: a write that finds no room raises instead of killing the process."""

    def __init__(self, path: Path, count: int, dim: int, descr: str = "<f4") -> None:
        self.count = count
        self.descr = descr
        self.file = open(path, "wb")
        try:
            header = {"descr": descr, "fortran_order": False, "shape": (count, dim)}
            np.lib.format.write_array_header_1_0(self.file, header)
            reserve(self.file, self.file.tell() + count * dim * np.dtype(descr).itemsize)
        except BaseException:
            self.file.close()
            raise
        self.filled = 0

    def write(self, rows: Rows) -> None:
        if self.filled + len(rows) > self.count:
            self.changed(self.filled + len(rows))
        self.file.write(memoryview(np.ascontiguousarray(rows, self.descr)).cast("B"))
        self.filled += len(rows)

    def changed(self, found: int) -> NoReturn:
        raise UsageError(
            f"the input changed while it was read: expected {self.count} texts, got {found}"
        )

    def close(self) -> None:
        if self.filled != self.count:
            self.changed(self.filled)
        self.file.close()

    def abandon(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass  # what could not be flushed is thrown away with the file


class ParquetWriter:
    """Writes a column `embedding` of fixed-size lists of `dim` float32 values (float16 when
    `half`), after the input's `id` column when it has one."""

    def __init__(
        self, path: Path, dim: int, ids: Ids | None = None, name: str = "", half: bool = False
    ) -> None:
        self.pa = import_pyarrow()
        self.ids = ids
        self.name = name
        identity = None if ids is None else (ID_FIELD, ids.kind)
        self.schema = embedding_schema(dim, identity, half)
        self.writer = open_embedding_writer(path, self.schema)

    def write(self, rows: Rows) -> None:
        identity = None if self.ids is None else self.ids.take(len(rows), self.name)
        self.writer.write_batch(embedding_batch(self.schema, rows, identity))

    def close(self) -> None:
        self.writer.close()

    def abandon(self) -> None:
        try:
            self.writer.close()
        except (OSError, self.pa.ArrowException):
            pass


@contextmanager
def open_writer(
    path: Path, suffix: str, source: TextSource, dim: int, name: str = "", half: bool = False
) -> Iterator[EmbeddingWriter]:
    """A writer of `suffix`'s format to `path`, which may be named otherwise, for the texts of
    `source` (named `name`), of float16 values when `half`. The block must close it; if the
    block fails, the writer lets go of the file."""
    writer: EmbeddingWriter = (
        NpyWriter(path, source.count, dim, "<f2" if half else "<f4")
        if suffix.lower() == ".npy"
        else ParquetWriter(path, dim, source.ids, name, half)
    )
    try:
        yield writer
    except BaseException:
        writer.abandon()
        raise


@contextmanager
def atomic_output(target: Path) -> Iterator[Path]:
    """A temporary path beside `target` that becomes `target` only when the block completes;
    on any failure (an interruption or a termination included) it is removed, and `target` is
    left as it was. Running out of room is told as a failure to write `target`."""
    try:
        with replaced_when_done(target) as tmp:
            yield tmp
    except OSError as error:
        if error.errno in NO_ROOM:
            raise UsageError(f"cannot write {target}: {os.strerror(error.errno)}") from None
        raise


# ---------------------------------------------------------------------------------------------
# korvane embed


def add_embed_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "model",
        help="a model directory or .safetensors file, or a Hugging "
        "Face Hub ID (owner/name) fetched into huggingface_hub's cache",
    )
    parser.add_argument(
        "input",
        type=Path,
        help="texts: .txt (a line each), .jsonl or .parquet (see --column), "
        "or - for a line each from standard input",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        help="embeddings: .npy (float32, a row per text) or .parquet "
        f"(column {OUTPUT_COLUMN!r} of fixed-size float32 lists, after the "
        f"input's {ID_FIELD!r} when it has one)",
    )
    parser.add_argument(
        "-f",
        "--force",
        action="store_true",
        help="replace the output file if it exists (refused otherwise)",
    )
    parser.add_argument(
        "--column", help="the text field of .jsonl or .parquet input (default: text)"
    )
    parser.add_argument(
        "--encoding",
        type=encoding_name,
        default="utf-8",
        help="the character encoding of .txt, .jsonl and standard input, such "
        "as latin-1 or cp1252 (default: utf-8)",
    )
    parser.add_argument(
        "--errors",
        choices=("strict", "replace"),
        default="strict",
        help="what bytes that do not decode do: fail naming their line "
        "(strict, the default), or become U+FFFD (replace)",
    )
    parser.add_argument(
        "--batch-size",
        type=positive_int,
        default=DEFAULT_BATCH_SIZE,
        help=f"texts tokenized and embedded together (default: {DEFAULT_BATCH_SIZE})",
    )
    parser.add_argument(
        "--threads",
        type=positive_int,
        help="threads for tokenizing and embedding (default: every usable CPU)",
    )
    parser.add_argument(
        "--max-length",
        type=positive_int,
        help="use at most this many tokens of each text (default: all)",
    )
    parser.add_argument(
        "--dtype",
        choices=("f32", "f16"),
        default="f32",
        help="the embeddings' element type: f32 (the default), or f16 for half "
        "the file (computed and normalized in float32, then rounded)",
    )
    parser.add_argument("--quiet", action="store_true", help="print no progress bar or throughput")
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="embed on the Dask cluster whose scheduler is at ADDRESS "
        "(tcp://host:8786): the input is a .parquet file or a directory of them, "
        "and -o names a new directory that gets a Parquet file per input row "
        "group. A directory input without --scheduler runs the same way on a "
        "local cluster, one worker process per core",
    )


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def encoding_name(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


def load_model(path: str, needs_tokenizer: bool = True) -> Model:
    """The model at `path`; with `needs_tokenizer`, refused before any work when it has no
    tokenizer.json to turn texts into token IDs."""
    from . import Model

    model = Model.load(path)
    if needs_tokenizer and model.tokenizer is None:
        raise UsageError(
            f"{path} has no tokenizer.json, which embedding texts needs: convert "
            "the model again with --tokenizer (a model without one embeds token "
            "IDs only, through Model.embed_ids)"
        )
    return model


def embeddings(model: Model, texts: Iterator[str], args: argparse.Namespace) -> Iterator[Rows]:
    return model.encode_iter(
        texts,
        batch_size=args.batch_size,
        max_length=args.max_length,
        threads=args.threads,
        dtype=np.float16 if getattr(args, "dtype", "f32") == "f16" else np.float32,
    )


def print_throughput(
    count: int, elapsed: float, output: Path, dim: int, element: str = "float32"
) -> None:
    """The summary line. Its texts/s, like the progress bar's, is the texts embedded divided by
    the seconds from reading the first to embedding the last (the model is loaded and the
    input counted before; the output is completed after)."""
    rate = count / elapsed if elapsed > 0 else float("inf")
    print(
        f"embedded {count:,} texts in {elapsed:.2f} s ({rate:,.0f} texts/s): "
        f"{output}, {count} x {dim} {element}",
        file=sys.stderr,
    )


def decoding(args: argparse.Namespace) -> Decoding:
    return Decoding(args.encoding, args.errors)


def run_embed(args: argparse.Namespace) -> int:
    if args.scheduler is not None or args.input.is_dir():
        return run_embed_on_dask(args)
    output: Path = args.output
    if output.suffix.lower() not in OUTPUT_SUFFIXES:
        raise UsageError(f"{output}: output must be a {' or '.join(OUTPUT_SUFFIXES)} file")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: no such directory {output.parent}")
    if same_file(args.input, output):
        raise UsageError(
            f"the output {output} is the input {args.input}: write the embeddings to another file"
        )
    if os.path.lexists(output) and not args.force:
        raise UsageError(f"{output} exists: pass --force to replace it")
    if output.suffix.lower() == ".parquet":
        import_pyarrow()
    model = load_model(args.model)
    source = open_texts(args.input, args.column, decoding(args))
    name = "standard input" if str(args.input) == STDIN else str(args.input)

    from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

    # The bar's clock starts with the summary's, and smoothing=0 makes its rate the average
    # since then, as the summary's is.
    with (
        atomic_output(output) as tmp,
        open_writer(tmp, output.suffix, source, model.dim, name, args.dtype == "f16") as writer,
    ):
        started = time.perf_counter()
        bar = tqdm(
            total=source.count,
            unit=" texts",
            file=sys.stderr,
            disable=args.quiet,
            dynamic_ncols=True,
            smoothing=0,
        )
        with bar:
            try:
                for rows in embeddings(model, source.texts(), args):
                    writer.write(rows)
                    bar.update(len(rows))
            except (IndexError, OverflowError) as error:
                raise placed(error, source) from None
            # The bar's own clock when it is drawn, so that its last rate is the summary's.
            elapsed = time.perf_counter() - started if bar.disable else bar.format_dict["elapsed"]
        writer.close()
    if not args.quiet:
        print_throughput(
            source.count,
            elapsed,
            output,
            model.dim,
            "float16" if args.dtype == "f16" else "float32",
        )
    return 0


def run_embed_on_dask(args: argparse.Namespace) -> int:
    """A Parquet dataset embedded by korvane.dask: on the cluster at --scheduler, or else on a
    local one."""
    source: Path = args.input
    if not (source.is_dir() or (source.is_file() and source.suffix.lower() == ".parquet")):
        raise UsageError(f"{source}: a run on Dask reads a .parquet file or a directory of them")
    if args.threads is not None:
        raise UsageError(
            "--threads applies to runs in one process: on Dask, each task embeds on one thread"
        )
    try:
        from distributed import Client

        from .dask import embed_parquet
    except ImportError:
        raise UsageError(
            "runs on Dask need dask[distributed] and pyarrow: pip install 'korvane[dask]'"
        ) from None
    if args.encoding != "utf-8":
        raise UsageError("--encoding applies to .txt and .jsonl input: Parquet strings are UTF-8")
    model = load_model(args.model)
    options: dict[str, Any] = {
        "column": args.column or "text",
        "show_progress": not args.quiet,
        "batch_size": args.batch_size,
        "max_length": args.max_length,
        "dtype": np.float16 if args.dtype == "f16" else np.float32,
    }
    started = time.perf_counter()
    if args.scheduler is None:
        count = embed_parquet(model, source, args.output, **options)
    else:
        with Client(args.scheduler) as client:  # type: ignore[no-untyped-call, unused-ignore]
            count = embed_parquet(model, source, args.output, client=client, **options)
    if not args.quiet:
        element = "float16" if args.dtype == "f16" else "float32"
        print_throughput(count, time.perf_counter() - started, args.output, model.dim, element)
    return 0


# ---------------------------------------------------------------------------------------------
# korvane convert


def add_convert_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source",
        help="a .npy or .safetensors file, or a checkpoint directory "
        "holding model.safetensors (and tokenizer.json)",
    )
    parser.add_argument("out_dir", type=Path, help="the model directory to write")
    parser.add_argument(
        "--tensor",
        help="the token table's name in a .safetensors file "
        "(default: its only 2-D tensor, or a known name)",
    )
    tokenizer = parser.add_mutually_exclusive_group()
    tokenizer.add_argument(
        "--tokenizer",
        help="the tokenizer.json whose IDs index the table (default: the checkpoint directory's)",
    )
    tokenizer.add_argument(
        "--no-tokenizer",
        action="store_true",
        help="write a model without tokenizer.json, which embeds token IDs "
        "only (Model.embed_ids), not texts",
    )
    parser.add_argument(
        "-f",
        "--force",
        action="store_true",
        help="replace the model in an existing, non-empty OUT_DIR (refused "
        "otherwise); its files other than the model's own are kept",
    )
    parser.add_argument(
        "--dtype",
        choices=("f32", "f16"),
        default="f32",
        type=str.lower,
        help="element type of the written table (default: f32)",
    )
    parser.add_argument(
        "--no-normalize",
        dest="normalize",
        action="store_false",
        default=None,
        help="record that embeddings are the plain mean, not scaled to unit length (default: "
        "as the source directory's config.json says, else scaled)",
    )


def holds_files(directory: Path) -> bool:
    """Whether `directory` is there as anything but an empty directory."""
    if not os.path.lexists(directory):
        return False
    return not directory.is_dir() or any(directory.iterdir())


def run_convert(args: argparse.Namespace) -> int:
    from .convert import (
        check_not_overwriting,
        load_table,
        load_token_tensors,
        source_normalize,
        tokenizer_beside,
        write_model_dir,
    )

    try:
        check_not_overwriting(args.source, args.out_dir)
        if holds_files(args.out_dir) and not args.force:
            raise UsageError(f"{args.out_dir} exists: pass --force to replace the model in it")
        tokenizer = args.tokenizer
        if tokenizer is None and not args.no_tokenizer:
            tokenizer = tokenizer_beside(args.source)
            if tokenizer is None:
                raise UsageError(
                    f"{args.source} has no tokenizer.json beside the table: name the one whose "
                    "IDs index it with --tokenizer, or pass --no-tokenizer for a model that "
                    "embeds token IDs only"
                )
        table = load_table(args.source, args.tensor)
        token_tensors = load_token_tensors(args.source, args.tensor)
        if args.normalize is None:
            args.normalize = source_normalize(args.source)
        model_dir = write_model_dir(
            table,
            args.out_dir,
            args.dtype,
            tokenizer=tokenizer,
            normalize=args.normalize,
            token_tensors=token_tensors,
        )
    except ValueError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        # A write that found no room names no file: the directory is what could not be written.
        if error.filename is None and error.strerror:
            raise UsageError(f"cannot write {args.out_dir}: {error.strerror}") from None
        raise UsageError(os_error_text(error)) from None
    from .convert import TENSOR_NAME, read_header

    rows, dim = read_header(model_dir / MODEL_FILE)[0][TENSOR_NAME]["shape"]
    tokenizer = "with" if (model_dir / TOKENIZER_FILE).is_file() else "without"
    carried = "".join(f", {name!r} carried over" for name in token_tensors)
    print(
        f"wrote {model_dir}: {rows} x {dim} {args.dtype.upper()}{carried}, {tokenizer} "
        f"tokenizer.json, normalize={'true' if args.normalize else 'false'}"
    )
    return 0


# ---------------------------------------------------------------------------------------------
# korvane serve (korvane.serve holds its arguments and its work)


def add_serve_arguments(parser: argparse.ArgumentParser) -> None:
    from .serve import add_arguments

    add_arguments(parser)


def run_serve(args: argparse.Namespace) -> int:
    from .serve import run

    try:
        return run(args)
    except ImportError as error:
        raise UsageError(str(error)) from None


COMMANDS = [
    Command(
        "embed",
        "embed the texts of a file into a .npy or .parquet file, or a Parquet dataset on Dask",
        add_embed_arguments,
        run_embed,
    ),
    Command(
        "convert",
        "make a model directory from a token table or a transformer checkpoint",
        add_convert_arguments,
        run_convert,
    ),
    Command(
        "serve",
        "serve models over HTTP: OpenAI's POST /v1/embeddings, /v1/models, /health and /metrics",
        add_serve_arguments,
        run_serve,
    ),
]


def build_parser(commands: list[Command] = COMMANDS) -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog="korvane", description="Static sentence embeddings: embed texts, convert models."
    )
    parser.add_argument("--version", action="version", version=f"korvane {__version__}")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in commands:
        sub = subparsers.add_parser(command.name, help=command.help, description=command.help)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return parser


class Terminated(BaseException):
    """Raised by a termination signal, so that it unwinds the run and its clean-up as Ctrl-C's
    KeyboardInterrupt does."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


# What `timeout`, batch schedulers and a closed terminal send.
TERMINATION_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


@contextmanager
def termination_raises() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Terminated in the main thread (where their
    action is the default one: a signal the caller ignores, as nohup does SIGHUP, stays
    ignored). The first such signal is the one acted on; later ones wait for the clean-up."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    handled = [
        number for number in TERMINATION_SIGNALS if signal.getsignal(number) == signal.SIG_DFL
    ]

    def terminate(number: int, frame: object) -> None:
        for other in handled:
            signal.signal(other, signal.SIG_IGN)
        raise Terminated(number)

    previous = {number: signal.signal(number, terminate) for number in handled}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with termination_raises():
            status: int = args.run(args)
    except KeyboardInterrupt:
        print(f"korvane {args.command}: interrupted", file=sys.stderr)
        return 130
    except Terminated as terminated:
        name = signal.Signals(terminated.number).name
        print(f"korvane {args.command}: terminated by {name}", file=sys.stderr)
        return 128 + terminated.number
    except (
        UsageError,
        OSError,
        ValueError,
        TypeError,
        IndexError,
        OverflowError,
        UnicodeDecodeError,
        RuntimeError,
    ) as error:
        message = os_error_text(error) if isinstance(error, OSError) else str(error)
        print(f"korvane {args.command}: error: {message}", file=sys.stderr)
        return 1
    return status


# What a failing system call says, in words a user reads, for the errors a path most often
# meets; others take the system's own text.
OS_ERROR_WORDS = {
    errno.ENOENT: "no such file or directory",
    errno.EACCES: "permission denied",
    errno.EPERM: "not permitted",
    errno.EISDIR: "is a directory",
    errno.ENOTDIR: "not a directory",
}


def os_error_text(error: OSError) -> str:
    """`error` as "what went wrong: PATH", without the exception's class or errno number. A
    text the raiser chose itself (not the system's standard one for the number) is kept."""
    words = error.strerror or str(error)
    if error.errno is not None and words == os.strerror(error.errno):
        words = OS_ERROR_WORDS.get(error.errno, words[:1].lower() + words[1:])
    if error.filename is None:
        return words
    if error.filename2 is not None:
        return f"{words}: {error.filename} -> {error.filename2}"
    return f"{words}: {error.filename}"
