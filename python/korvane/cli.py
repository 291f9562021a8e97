"""The `korvane` command: `korvane embed` turns a file of texts into a file of embeddings,
`korvane convert` makes a model directory from a token table or a transformer checkpoint.

Each subcommand is a `Command`: a function that adds its arguments to a parser and one that runs
it and returns the exit status. Failures the user can mend (missing files, bad input, a model
that does not fit) print one line on stderr and give exit status 1.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
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

from ._files import reserve, same_file

if TYPE_CHECKING:
    from .model import Model

INPUT_SUFFIXES = (".txt", ".jsonl", ".parquet")
OUTPUT_SUFFIXES = (".npy", ".parquet")
OUTPUT_COLUMN = "embedding"
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


@dataclass(frozen=True)
class TextSource:
    """The texts of an input file: how many there are, and a fresh iterator over them."""

    count: int
    texts: Callable[[], Iterator[str]]


def text_lines(path: Path) -> Iterator[str]:
    # Only "\n", "\r\n" and "\r" end a line, unlike str.splitlines, which also splits at
    # characters such as U+2028 that may sit inside a sentence.
    with open(path, encoding="utf-8", newline=None) as file:
        for line in file:
            yield line[:-1] if line.endswith("\n") else line


def jsonl_texts(path: Path, column: str) -> Iterator[str]:
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as error:
                raise UsageError(f"{path}, line {number}: not JSON ({error})") from None
            if not isinstance(record, dict) or column not in record:
                raise UsageError(f"{path}, line {number}: no field {column!r}")
            text = record[column]
            if not isinstance(text, str):
                raise UsageError(
                    f"{path}, line {number}: field {column!r} is {type(text).__name__}, not a string"
                )
            yield text


def import_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise UsageError(
            "Parquet files need pyarrow: pip install 'korvane[parquet]'"
        ) from None
    return pyarrow


def parquet_source(path: Path, column: str) -> TextSource:
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

    def texts() -> Iterator[str]:
        start = 0
        for batch in file.iter_batches(batch_size=PARQUET_READ_ROWS, columns=[column]):
            values = batch.column(0)
            if values.null_count:
                row = start + values.is_null().to_pylist().index(True)
                raise UsageError(f"{path}: row {row} of column {column!r} is null")
            start += len(values)
            yield from values.to_pylist()

    return TextSource(file.metadata.num_rows, texts)


def open_texts(path: Path, column: str | None) -> TextSource:
    """The texts of a .txt (a line each), .jsonl or .parquet (`column`, default "text") file."""
    suffix = path.suffix.lower()
    if suffix not in INPUT_SUFFIXES:
        raise UsageError(f"{path}: input must be a {', '.join(INPUT_SUFFIXES)} file")
    if not path.is_file():
        raise UsageError(f"{path}: no such file")
    if suffix == ".txt":
        if column is not None:
            raise UsageError("--column applies to .jsonl and .parquet input only")
        return TextSource(sum(1 for _ in text_lines(path)), lambda: text_lines(path))
    if suffix == ".jsonl":
        name = column or "text"
        with open(path, encoding="utf-8") as file:
            count = sum(1 for line in file if line.strip())
        return TextSource(count, lambda: jsonl_texts(path, name))
    return parquet_source(path, column or "text")


# ---------------------------------------------------------------------------------------------
# Writing embeddings


class EmbeddingWriter(Protocol):
    def write(self, rows: npt.NDArray[np.float32]) -> None: ...
    def close(self) -> None: ...
    def abandon(self) -> None: ...


class NpyWriter:
    """Writes a float32 (count, dim) .npy file row block by row block. The file's whole size is
    reserved first, so that a full disk fails before the work rather than after it, and written
    with ordinary writes: a write that finds no room raises instead of killing the process."""

    def __init__(self, path: Path, count: int, dim: int) -> None:
        self.count = count
        self.file = open(path, "wb")
        try:
            header = {"descr": "<f4", "fortran_order": False, "shape": (count, dim)}
            np.lib.format.write_array_header_1_0(self.file, header)
            reserve(self.file, self.file.tell() + count * dim * 4)
        except BaseException:
            self.file.close()
            raise
        self.filled = 0

    def write(self, rows: npt.NDArray[np.float32]) -> None:
        if self.filled + len(rows) > self.count:
            self.changed(self.filled + len(rows))
        self.file.write(memoryview(np.ascontiguousarray(rows, "<f4")).cast("B"))
        self.filled += len(rows)

    def changed(self, found: int) -> NoReturn:
        raise UsageError(f"the input changed while it was read: expected {self.count} texts, "
                         f"got {found}")

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
    """Writes a single column, `embedding`, of fixed-size lists of `dim` float32 values."""

    def __init__(self, path: Path, dim: int) -> None:
        self.pa = import_pyarrow()
        self.dim = dim
        self.schema = self.pa.schema([(OUTPUT_COLUMN, self.pa.list_(self.pa.float32(), dim))])
        # Dictionary encoding never pays for embeddings, and trying it doubles the writing time.
        self.writer = self.pa.parquet.ParquetWriter(path, self.schema, use_dictionary=False)

    def write(self, rows: npt.NDArray[np.float32]) -> None:
        values = self.pa.array(np.ascontiguousarray(rows, np.float32).reshape(-1))
        column = self.pa.FixedSizeListArray.from_arrays(values, self.dim)
        self.writer.write_batch(self.pa.record_batch([column], schema=self.schema))

    def close(self) -> None:
        self.writer.close()

    def abandon(self) -> None:
        try:
            self.writer.close()
        except (OSError, self.pa.ArrowException):
            pass


@contextmanager
def open_writer(path: Path, suffix: str, count: int, dim: int) -> Iterator[EmbeddingWriter]:
    """A writer of `suffix`'s format to `path`, which may be named otherwise. The block must
    close it; if the block fails, the writer lets go of the file."""
    writer: EmbeddingWriter = (NpyWriter(path, count, dim) if suffix.lower() == ".npy"
                               else ParquetWriter(path, dim))
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
    tmp = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        yield tmp
        os.replace(tmp, target)
    except OSError as error:
        if error.errno in NO_ROOM:
            raise UsageError(f"cannot write {target}: {os.strerror(error.errno)}") from None
        raise
    finally:
        tmp.unlink(missing_ok=True)


# ---------------------------------------------------------------------------------------------
# korvane embed


def add_embed_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", help="a model directory or .safetensors file")
    parser.add_argument("input", type=Path,
                        help="texts: .txt (a line each), .jsonl or .parquet (see --column)")
    parser.add_argument("-o", "--output", type=Path, required=True,
                        help="embeddings: .npy (float32, a row per text) or .parquet "
                        f"(column {OUTPUT_COLUMN!r} of fixed-size float32 lists)")
    parser.add_argument("--column", help="the text field of .jsonl or .parquet input (default: text)")
    parser.add_argument("--batch-size", type=positive_int, default=4096,
                        help="texts tokenized and embedded together (default: 4096)")
    parser.add_argument("--threads", type=positive_int,
                        help="threads for tokenizing and embedding (default: every usable CPU)")
    parser.add_argument("--max-length", type=positive_int,
                        help="use at most this many tokens of each text (default: all)")
    parser.add_argument("--quiet", action="store_true",
                        help="print no progress bar or throughput")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="embed on the Dask cluster whose scheduler is at ADDRESS "
                        "(tcp://host:8786): the input is a .parquet file or a directory of them, "
                        "and -o names a new directory that gets a Parquet file per input row "
                        "group. A directory input without --scheduler runs the same way on a "
                        "local cluster, one worker process per core")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def load_model(path: str) -> Model:
    from . import Model

    return Model.load(path)


def embeddings(model: Model, texts: Iterator[str], args: argparse.Namespace
               ) -> Iterator[npt.NDArray[np.float32]]:
    return model.encode_iter(texts, batch_size=args.batch_size, max_length=args.max_length,
                             threads=args.threads)


def print_throughput(count: int, elapsed: float, output: Path, dim: int) -> None:
    rate = count / elapsed if elapsed > 0 else float("inf")
    print(f"embedded {count:,} texts in {elapsed:.2f} s ({rate:,.0f} texts/s): "
          f"{output}, {count} x {dim} float32", file=sys.stderr)


def run_embed(args: argparse.Namespace) -> int:
    if args.scheduler is not None or args.input.is_dir():
        return run_embed_on_dask(args)
    output: Path = args.output
    if output.suffix.lower() not in OUTPUT_SUFFIXES:
        raise UsageError(f"{output}: output must be a {' or '.join(OUTPUT_SUFFIXES)} file")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: no such directory {output.parent}")
    if same_file(args.input, output):
        raise UsageError(f"the output {output} is the input {args.input}: "
                         "write the embeddings to another file")
    source = open_texts(args.input, args.column)
    if output.suffix.lower() == ".parquet":
        import_pyarrow()
    model = load_model(args.model)

    from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

    started = time.perf_counter()
    with (atomic_output(output) as tmp,
          tqdm(total=source.count, unit=" texts", file=sys.stderr, disable=args.quiet,
               dynamic_ncols=True) as bar,
          open_writer(tmp, output.suffix, source.count, model.dim) as writer):
        for rows in embeddings(model, source.texts(), args):
            writer.write(rows)
            bar.update(len(rows))
        writer.close()
    if not args.quiet:
        print_throughput(source.count, time.perf_counter() - started, output, model.dim)
    return 0


def run_embed_on_dask(args: argparse.Namespace) -> int:
    """A Parquet dataset embedded by korvane.dask: on the cluster at --scheduler, or else on a
    local one."""
    source: Path = args.input
    if not (source.is_dir() or (source.is_file() and source.suffix.lower() == ".parquet")):
        raise UsageError(f"{source}: a run on Dask reads a .parquet file or a directory of them")
    if args.threads is not None:
        raise UsageError("--threads applies to runs in one process: on Dask, each task embeds "
                         "on one thread")
    try:
        from distributed import Client

        from .dask import embed_parquet
    except ImportError:
        raise UsageError("runs on Dask need dask[distributed] and pyarrow: "
                         "pip install 'korvane[dask]'") from None
    model = load_model(args.model)
    options: dict[str, Any] = {"column": args.column or "text", "show_progress": not args.quiet,
                               "batch_size": args.batch_size, "max_length": args.max_length}
    started = time.perf_counter()
    if args.scheduler is None:
        count = embed_parquet(model, source, args.output, **options)
    else:
        with Client(args.scheduler) as client:  # type: ignore[no-untyped-call, unused-ignore]
            count = embed_parquet(model, source, args.output, client=client, **options)
    if not args.quiet:
        print_throughput(count, time.perf_counter() - started, args.output, model.dim)
    return 0


# ---------------------------------------------------------------------------------------------
# korvane convert


def add_convert_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", help="a .npy or .safetensors file, or a checkpoint directory "
                        "holding model.safetensors (and tokenizer.json)")
    parser.add_argument("out_dir", type=Path, help="the model directory to write")
    parser.add_argument("--tensor", help="the token table's name in a .safetensors file "
                        "(default: its only 2-D tensor, or a known name)")
    parser.add_argument("--tokenizer", help="the tokenizer.json whose IDs index the table "
                        "(default: the checkpoint directory's)")
    parser.add_argument("--dtype", choices=("f32", "f16"), default="f32",
                        type=str.lower, help="element type of the written table (default: f32)")
    parser.add_argument("--no-normalize", dest="normalize", action="store_false",
                        help="record that embeddings are the plain mean, not scaled to unit length")


def run_convert(args: argparse.Namespace) -> int:
    from .convert import convert

    try:
        model_dir = convert(args.source, args.out_dir, tensor=args.tensor,
                            tokenizer=args.tokenizer, dtype=args.dtype, normalize=args.normalize)
    except ValueError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        # A write that found no room names no file: the directory is what could not be written.
        if error.filename is None and error.strerror:
            raise UsageError(f"cannot write {args.out_dir}: {error.strerror}") from None
        raise UsageError(str(error)) from None
    from .convert import TENSOR_NAME, read_header

    rows, dim = read_header(model_dir / "model.safetensors")[0][TENSOR_NAME]["shape"]
    tokenizer = "with" if (model_dir / "tokenizer.json").is_file() else "without"
    print(f"wrote {model_dir}: {rows} x {dim} {args.dtype.upper()}, {tokenizer} tokenizer.json, "
          f"normalize={'true' if args.normalize else 'false'}")
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
    Command("embed", "embed the texts of a file into a .npy or .parquet file, or a Parquet "
            "dataset on Dask",
            add_embed_arguments, run_embed),
    Command("convert", "make a model directory from a token table or a transformer checkpoint",
            add_convert_arguments, run_convert),
    Command("serve", "serve models over HTTP: OpenAI's POST /v1/embeddings, /v1/models, "
            "/health and /metrics",
            add_serve_arguments, run_serve),
]


def build_parser(commands: list[Command] = COMMANDS) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvane", description="Static sentence embeddings: embed texts, convert models.")
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
    handled = [number for number in TERMINATION_SIGNALS
               if signal.getsignal(number) == signal.SIG_DFL]

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
    except (UsageError, OSError, ValueError, TypeError, IndexError, OverflowError,
            UnicodeDecodeError, RuntimeError) as error:
        message = str(error) if isinstance(error, UsageError) else f"{type(error).__name__}: {error}"
        print(f"korvane {args.command}: error: {message}", file=sys.stderr)
        return 1
    return status
