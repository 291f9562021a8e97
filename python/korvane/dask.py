"""Embed a Parquet dataset of texts on a Dask cluster.

    >>> from korvane import Model
    >>> from korvane.dask import embed_parquet
    >>> embed_parquet(Model.load("my_model"), "corpus/", "embeddings/")    # a local cluster
    1000000
    >>> from distributed import Client
    >>> embed_parquet("my_model", "corpus/", "embeddings/", client=Client("tcp://head:8786"))

A partition is one row group of one file of the source. Each becomes one task, and each task
writes one file of the target, ``part-00000.parquet`` and so on in the source's order, with the
row identity (the ``id`` column when the source has one, else ``row``: the row's position in the
source) and ``embedding``, a fixed-size list of float32 (float16 with ``dtype=numpy.float16``:
half the files, each row computed and normalized in float32, then rounded). A task writes a hidden temporary file
and renames it, so a task that Dask runs again (its worker died) replaces its file, never adds
rows, and a reader never sees half a file.

The model travels by path: every worker loads it from the same path, so the model directory
must be on shared storage or copied to that path on every worker. A worker process loads it
once and reuses it for all its tasks.

Needs the ``korvane[dask]`` extra: ``dask[distributed]`` and ``pyarrow``.
"""

from __future__ import annotations

import importlib.util
import os
import pickle
import sys
import uuid
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
import pyarrow.dataset as ds  # type: ignore[import-untyped, unused-ignore]
import pyarrow.fs as pafs  # type: ignore[import-untyped, unused-ignore]
import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
from distributed import Client, Future, LocalCluster, as_completed
from tqdm import tqdm

from . import _output
from ._files import lies_within
from ._layout import DEFAULT_BATCH_SIZE
from ._parquet import embedding_batch, embedding_schema, open_embedding_writer
from .model import Model, _usable_cpus

__all__ = ["embed_parquet"]

# Rows embedded and written at a time: bounds a task's memory whatever the row group size.
_CHUNK_ROWS = 16384


@dataclass(frozen=True)
class _Partition:
    index: int
    path: str  # the file, as its filesystem names it
    row_group: int
    first_row: int  # the position of the partition's first row in the source
    num_rows: int

    def describe(self) -> str:
        return f"partition {self.index} ({os.path.basename(self.path)}, row group {self.row_group})"


@dataclass(frozen=True)
class _Job:
    """What every task needs besides its partition; small, as it is sent with each task."""

    model: bytes  # the pickled model: a path, loaded by the task itself (see _load_model)
    source: str
    target: str
    column: str
    has_id: bool
    batch_size: int
    max_length: int | None
    width: int  # digits of the part files' numbers
    half: bool = False  # float16 embeddings, else float32


def embed_parquet(
    model: Model | str | os.PathLike[str],
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    column: str = "text",
    client: Client | None = None,
    show_progress: bool = True,
    batch_size: int = DEFAULT_BATCH_SIZE,
    max_length: int | None = None,
    dtype: npt.DTypeLike = np.float32,
) -> int:
    """Embeds the texts of `column` of the Parquet dataset `source` (a file or a directory of
    files) into a new Parquet dataset `target`, a directory that must be missing or empty, and
    returns the number of rows written.

    `model` is a loaded `Model` or a model directory; either way the workers load it from its
    path. `client` is a `distributed.Client` of the cluster to use; without one, a `LocalCluster`
    with one single-threaded worker process per core runs the job and is closed after it. A
    progress bar (and the dashboard's address, when it has pages: bokeh draws them) goes to stderr
    unless `show_progress` is false. `batch_size`, `max_length` and `dtype` (numpy.float32 or
    numpy.float16) go to `Model.encode`; the embeddings are written in that element type.

    The first failing task fails the job: its exception is raised here and the tasks not yet run
    are cancelled. A row that is not text raises TypeError naming its partition and row; a
    model that a worker cannot load raises the loader's own exception.
    """
    half = _output.output_dtype(dtype) == np.float16
    if isinstance(model, (str, os.PathLike)):
        model = Model.load(model)
    source_path = _absolute(source)
    source_fs, source_location = pafs.FileSystem.from_uri(source_path)
    partitions, has_id = _partitions(source_fs, source_location, source_path, column)
    target_path = _absolute(target)
    if "://" not in target_path + source_path and lies_within(target_path, source_path):
        raise ValueError(
            f"the target {target_path} is or lies within the source {source_path}: "
            "embed into a directory outside it"
        )
    _prepare_target(target_path)
    job = _Job(
        model=pickle.dumps(model),
        source=source_path,
        target=target_path,
        column=column,
        has_id=has_id,
        batch_size=batch_size,
        max_length=max_length,
        width=max(5, len(str(len(partitions) - 1))),
        half=half,
    )
    try:
        if client is not None:
            return _run(client, job, partitions, show_progress)
        # One worker process per core, each on one thread: left on, the tokenizer's own thread
        # pool would add a thread per core in every worker.
        env = {"TOKENIZERS_PARALLELISM": os.environ.get("TOKENIZERS_PARALLELISM", "false")}
        workers = _usable_cpus()
        with (
            LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
                n_workers=workers, threads_per_worker=1, processes=True, env=env
            ) as cluster,
            Client(cluster) as own_client,  # type: ignore[no-untyped-call, unused-ignore]
        ):
            return _run(own_client, job, partitions, show_progress)
    except BaseException:
        # A failed or interrupted job keeps the files of finished tasks, but not the temporary
        # files of the tasks it stopped: a local cluster is closed by now, so its workers are
        # gone; on a remote one, only tasks that were already running can still write.
        try:
            _remove_temporaries(job.target)
        except OSError:
            pass  # the job's own failure is the one to report
        raise


def _absolute(location: str | os.PathLike[str]) -> str:
    text = os.fspath(location)
    return text if "://" in text else os.path.abspath(text)


def _partitions(
    filesystem: pafs.FileSystem, location: str, source: str, column: str
) -> tuple[list[_Partition], bool]:
    """One partition per row group of each file, in the order of the files' paths."""
    dataset = ds.dataset(location, filesystem=filesystem, format="parquet")
    names = dataset.schema.names
    if column not in names:
        raise ValueError(f"{source} has no column {column!r}; its columns: {', '.join(names)}")
    partitions: list[_Partition] = []
    first_row = 0
    for fragment in sorted(dataset.get_fragments(), key=lambda fragment: fragment.path):
        metadata = pq.read_metadata(fragment.path, filesystem=filesystem)
        for number in range(metadata.num_row_groups):
            rows = metadata.row_group(number).num_rows
            partitions.append(_Partition(len(partitions), fragment.path, number, first_row, rows))
            first_row += rows
    return partitions, column != "id" and "id" in names


def _prepare_target(target: str) -> None:
    filesystem, location = pafs.FileSystem.from_uri(target)
    info = filesystem.get_file_info(location)
    if info.type == pafs.FileType.Directory:
        if filesystem.get_file_info(pafs.FileSelector(location)):
            raise FileExistsError(f"{target} is not empty: embed into a new directory")
    elif info.type != pafs.FileType.NotFound:
        raise FileExistsError(f"{target} exists and is not a directory")
    filesystem.create_dir(location, recursive=True)


def _dashboard_serves_pages(client: Client) -> bool:
    """Whether the scheduler's dashboard has pages to show. It opens its port even without
    bokeh, which draws the pages; a LocalCluster's scheduler runs in this process, so whether
    bokeh is importable here decides. Of a remote scheduler nothing more can be known."""
    if client.scheduler_info().get("services", {}).get("dashboard") is None:
        return False
    local = isinstance(client.cluster, LocalCluster)
    return not local or importlib.util.find_spec("bokeh") is not None


def _run(client: Client, job: _Job, partitions: Sequence[_Partition], show_progress: bool) -> int:
    if show_progress and _dashboard_serves_pages(client):
        print(f"Dask dashboard: {client.dashboard_link}", file=sys.stderr)
    run = uuid.uuid4().hex[:8]
    futures: list[Future[int]] = [
        client.submit(
            _embed_partition, job, partition, key=f"korvane-embed-{run}-{partition.index}"
        )
        for partition in partitions
    ]
    written = 0
    try:
        with tqdm(
            total=sum(partition.num_rows for partition in partitions),
            unit="row",
            unit_scale=True,
            file=sys.stderr,
            disable=not show_progress,
        ) as progress:
            for future in as_completed(futures):  # type: ignore[no-untyped-call, unused-ignore]
                rows = future.result()  # raises the task's exception
                written += rows
                progress.update(rows)
    except BaseException:
        client.cancel(futures)  # type: ignore[no-untyped-call, unused-ignore]
        raise
    _remove_temporaries(job.target)
    return written


def _remove_temporaries(target: str) -> None:
    """Drops the temporary files of tasks whose worker died before they renamed them."""
    filesystem, location = pafs.FileSystem.from_uri(target)
    for info in filesystem.get_file_info(pafs.FileSelector(location)):
        if info.base_name.startswith(".part-") and info.base_name.endswith(".tmp"):
            filesystem.delete_file(info.path)


def _load_model(job: _Job) -> Any:
    # Unpickled here rather than by Dask, so that the scheduler never loads the model and a
    # worker that cannot load it fails the task with the loader's own exception. Model's
    # pickling keeps one instance per process, which every task of the process reuses.
    return pickle.loads(job.model)


def _is_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def _embed_partition(job: _Job, partition: _Partition) -> int:
    try:
        return _write_partition(job, partition)
    except Exception as error:
        # The message stays the raiser's own (a loader's, a reader's); a note says where.
        if partition.describe() not in str(error):
            error.add_note(f"while embedding {partition.describe()}")
        raise
    except BaseException as error:
        # A PanicException derives from BaseException, which Dask's client cannot hand back
        # (the job would wait for ever): it becomes an ordinary exception here.
        if _is_panic(error):
            raise RuntimeError(f"{partition.describe()}: {error}") from None
        raise


def _write_partition(job: _Job, partition: _Partition) -> int:
    model = _load_model(job)
    source_fs, _ = pafs.FileSystem.from_uri(job.source)
    columns = [job.column, "id"] if job.has_id else [job.column]
    with source_fs.open_input_file(partition.path) as file:
        table = pq.ParquetFile(file).read_row_group(partition.row_group, columns=columns)
    texts = table.column(job.column).to_pylist()
    _check_texts(texts, job.column, partition)
    if job.has_id:
        identity = table.column("id")
        identity_field = pa.field("id", identity.type)
    else:
        start = partition.first_row
        identity = pa.chunked_array([np.arange(start, start + len(texts), dtype=np.int64)])
        identity_field = pa.field("row", pa.int64())
    schema = embedding_schema(model.dim, identity_field, job.half)

    target_fs, target_location = pafs.FileSystem.from_uri(job.target)
    name = f"part-{partition.index:0{job.width}d}.parquet"
    final = f"{target_location}/{name}"
    temporary = f"{target_location}/.{name}.{uuid.uuid4().hex}.tmp"
    try:
        with open_embedding_writer(temporary, schema, target_fs) as writer:
            for start in range(0, len(texts), _CHUNK_ROWS):
                chunk = texts[start : start + _CHUNK_ROWS]
                try:
                    embeddings = model.encode(
                        chunk,
                        batch_size=job.batch_size,
                        max_length=job.max_length,
                        threads=1,
                        dtype=np.float16 if job.half else np.float32,
                    )
                except (IndexError, OverflowError) as error:
                    # The error counts texts from the chunk's first: say where that lies.
                    row = partition.first_row + start
                    raise type(error)(
                        f"{partition.describe()}, whose texts[0] here is row {row} of the "
                        f"source: {error}"
                    ) from error
                rows = identity.slice(start, len(chunk)).combine_chunks()
                writer.write_batch(embedding_batch(schema, embeddings, rows))
        target_fs.move(temporary, final)
    except BaseException:
        try:
            target_fs.delete_file(temporary)
        except OSError:
            pass
        raise
    return len(texts)


def _check_texts(texts: list[Any], column: str, partition: _Partition) -> None:
    for position, text in enumerate(texts):
        if not isinstance(text, str):
            row = partition.first_row + position
            raise TypeError(
                f"{partition.describe()}, row {position} (row {row} of the source): "
                f"column {column!r} holds {text!r}, not text"
            )
