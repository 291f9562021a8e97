"""korvane.dask on local Dask clusters: the output against one process's Model.encode, a worker
killed mid-run, and the failures that must end a job quickly with a useful message."""

import importlib.util
import os
import signal
import threading
import time

import numpy as np
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster

import korvane_py
from korvane import Model
from korvane.cli import main
from korvane.dask import embed_parquet

from .package_models import WORDS, random_table, write_table

DIM = 16  # the width of conftest's model_dir
# Whole words of the tokenizer, and one it does not know.
TEXT_WORDS = [word for word in WORDS if word.isalpha()] + ["zebra"]
# Every run here is bounded: a hung task fails its test instead of stalling the suite.
DEADLINE = 60.0
BOKEH_INSTALLED = importlib.util.find_spec("bokeh") is not None


def make_texts(count, seed):
    rng = np.random.default_rng(seed)
    # Length 0 gives the empty text.
    return [" ".join(rng.choice(TEXT_WORDS, length)) for length in rng.integers(0, 24, count)]


def write_corpus(directory, files, *, with_id=True, texts=None, seed=1):
    """`files` lists each file's row-group sizes; returns the rows' ids (or positions) and
    texts in the dataset's order."""
    directory.mkdir()
    total = sum(sum(groups) for groups in files)
    texts = make_texts(total, seed) if texts is None else texts
    ids = list(range(10_000, 10_000 + 3 * total, 3)) if with_id else list(range(total))
    start = 0
    for number, groups in enumerate(files):
        rows = sum(groups)
        columns = {"text": texts[start : start + rows]}
        if with_id:
            columns = {"id": ids[start : start + rows]} | columns
        table = pa.table(columns)
        with pq.ParquetWriter(directory / f"file-{number}.parquet", table.schema) as writer:
            offset = 0
            for size in groups:
                writer.write_table(table.slice(offset, size))
                offset += size
        start += rows
    return ids, texts


def read_output(target):
    table = ds.dataset(target, format="parquet").to_table()
    identity = "id" if "id" in table.schema.names else "row"
    embeddings = table.column("embedding").combine_chunks()
    values = embeddings.values.to_numpy().reshape(len(table), -1)
    return identity, table.column(identity).to_pylist(), values, table.schema


class Background:
    """Runs a call in a daemon thread, so that a hung call fails its test instead of stalling
    the suite."""

    def __init__(self, function, *args, **kwargs):
        self.outcome = {}
        self.thread = threading.Thread(target=self.body, args=(function, args, kwargs), daemon=True)
        self.thread.start()

    def body(self, function, args, kwargs):
        try:
            self.outcome["value"] = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - raised again in the test's thread
            self.outcome["error"] = error

    def result(self):
        self.thread.join(DEADLINE)
        assert not self.thread.is_alive(), f"still running after {DEADLINE} s"
        if "error" in self.outcome:
            raise self.outcome["error"]
        return self.outcome["value"]


def bounded(function, *args, **kwargs):
    return Background(function, *args, **kwargs).result()


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("with_id", [True, False], ids=["id", "position"])
def test_output_equals_one_process(client, model_dir, tmp_path, with_id):
    ids, texts = write_corpus(tmp_path / "corpus", [[300, 0, 250], [1], [400]], with_id=with_id)
    rows = bounded(
        embed_parquet,
        str(model_dir),
        tmp_path / "corpus",
        tmp_path / "out",
        client=client,
        show_progress=False,
    )

    identity, written_ids, embeddings, schema = read_output(tmp_path / "out")
    assert rows == len(texts)
    assert identity == ("id" if with_id else "row")
    assert schema.field("embedding").type == pa.list_(pa.float32(), DIM)
    assert written_ids == ids
    np.testing.assert_array_equal(embeddings, Model.load(model_dir).encode(texts))
    # One file per row group, empty ones included, and no temporary file left behind.
    assert sorted(os.listdir(tmp_path / "out")) == [f"part-{n:05d}.parquet" for n in range(5)]


def test_killed_worker_is_replaced_and_output_complete(model_dir, tmp_path):
    partitions = 24
    ids, texts = write_corpus(tmp_path / "corpus", [[2000] * 4] * (partitions // 4), seed=2)
    target = tmp_path / "out"
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        pids = client.run(os.getpid)
        victim = sorted(pids)[1]
        run = Background(
            embed_parquet,
            model_dir,
            tmp_path / "corpus",
            target,
            client=client,
            show_progress=False,
        )
        while not client.processing().get(victim):
            assert run.thread.is_alive(), "the run ended before the victim got a task"
            time.sleep(0.005)
        os.kill(pids[victim], signal.SIGKILL)
        written_before_kill = len(os.listdir(target))
        rows = run.result()

    assert written_before_kill < partitions  # the kill came mid-run
    assert rows == len(texts)
    _, written_ids, embeddings, _ = read_output(target)
    assert written_ids == ids
    np.testing.assert_array_equal(embeddings, Model.load(model_dir).encode(texts))
    assert sorted(os.listdir(target)) == [f"part-{n:05d}.parquet" for n in range(partitions)]


@pytest.mark.parametrize(
    "files, texts, message",
    [
        (
            [[3, 3], [4, 6]],
            ["rain"] * 13 + [None] + ["storm"] * 2,
            "partition 3 (file-1.parquet, row group 1), row 3 (row 13 of the source): "
            "column 'text' holds None, not text",
        ),
        (
            [[2]],
            [7, 8],
            "partition 0 (file-0.parquet, row group 0), row 0 (row 0 of the source): "
            "column 'text' holds 7, not text",
        ),
    ],
    ids=["null", "integers"],
)
def test_row_that_is_not_text_fails_the_job(client, model_dir, tmp_path, files, texts, message):
    write_corpus(tmp_path / "corpus", files, texts=texts)
    with pytest.raises(TypeError) as error:
        bounded(
            embed_parquet,
            model_dir,
            tmp_path / "corpus",
            tmp_path / "out",
            client=client,
            show_progress=False,
        )
    assert str(error.value) == message


def test_model_that_workers_cannot_load_fails_with_the_loaders_message(client, model_dir, tmp_path):
    model = Model.load(model_dir)
    (model_dir / "model.safetensors").unlink()
    with pytest.raises(Exception) as expected:
        Model.load(model_dir)
    write_corpus(tmp_path / "corpus", [[5, 5], [5]])
    with pytest.raises(type(expected.value)) as error:
        bounded(
            embed_parquet,
            model,
            tmp_path / "corpus",
            tmp_path / "out",
            client=client,
            show_progress=False,
        )
    assert str(error.value) == str(expected.value)
    assert "while embedding partition" in error.value.__notes__[-1]


class PanickingModel:
    """Stands in for a model whose computation hits a violated bound: token 2^32 - 1 lies beyond
    the table, which korvane_py reports as a PanicException (a BaseException)."""

    dim = DIM

    def __init__(self, directory):
        self.directory = str(directory)

    def encode(self, texts, **options):
        korvane_py.StaticEmbedding(self.directory).embed_tokens([2**32 - 1])


def test_panic_in_a_task_fails_the_job_as_an_exception(client, model_dir, tmp_path):
    write_corpus(tmp_path / "corpus", [[5]])
    with pytest.raises(
        RuntimeError,
        match=r"^partition 0 \(file-0.parquet, row group 0\): "
        r"range start index \d+ out of range for slice",
    ):
        bounded(
            embed_parquet,
            PanickingModel(model_dir),
            tmp_path / "corpus",
            tmp_path / "out",
            client=client,
            show_progress=False,
        )


@pytest.mark.parametrize(
    "column, target_content, error, message",
    [
        ("body", None, ValueError, "has no column 'body'; its columns: id, text"),
        ("text", "part-00000.parquet", FileExistsError, "is not empty"),
    ],
    ids=["missing-column", "target-not-empty"],
)
def test_refused_before_any_task(model_dir, tmp_path, column, target_content, error, message):
    write_corpus(tmp_path / "corpus", [[2]])
    if target_content is not None:
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / target_content).write_bytes(b"")
    # No client is started: these fail before the default cluster would be.
    with pytest.raises(error, match=message):
        embed_parquet(model_dir, tmp_path / "corpus", tmp_path / "out", column=column)


@pytest.mark.parametrize(
    "on_scheduler, dtype",
    [(True, "f32"), (False, "f32"), (True, "f16"), (False, "f16")],
    ids=["scheduler", "local-cluster", "scheduler-f16", "local-cluster-f16"],
)
def test_command_embeds_a_dataset_on_dask(client, model_dir, tmp_path, capsys, on_scheduler, dtype):
    ids, texts = write_corpus(tmp_path / "corpus", [[40, 30], [20]])
    arguments = [
        "embed",
        str(model_dir),
        str(tmp_path / "corpus"),
        "-o",
        str(tmp_path / "out"),
        "--max-length",
        "3",
        "--dtype",
        dtype,
    ]
    if on_scheduler:
        arguments += ["--scheduler", client.scheduler.address]
    assert bounded(main, arguments) == 0

    _, written_ids, embeddings, schema = read_output(tmp_path / "out")
    assert written_ids == ids
    element = np.float16 if dtype == "f16" else np.float32
    assert schema.field("embedding").type == pa.list_(pa.from_numpy_dtype(element), DIM)
    np.testing.assert_array_equal(
        embeddings, Model.load(model_dir).encode(texts, max_length=3, dtype=element)
    )
    assert embeddings.dtype == element
    err = capsys.readouterr().err
    assert "embedded 90 texts in " in err
    assert f"x {DIM} {np.dtype(element).name}" in err
    # The embedded cluster's dashboard has pages only where bokeh is installed.
    assert ("Dask dashboard: http" in err) == (on_scheduler or BOKEH_INSTALLED)


@pytest.mark.parametrize(
    "input_name, options, message",
    [
        (
            "texts.txt",
            ["--scheduler", "tcp://127.0.0.1:9"],
            "a run on Dask reads a .parquet file or a directory of them",
        ),
        ("corpus", ["--threads", "2"], "--threads applies to runs in one process"),
    ],
    ids=["text-file", "threads"],
)
def test_command_refuses_what_dask_runs_cannot_do(
    model_dir, tmp_path, capsys, input_name, options, message
):
    (tmp_path / "corpus").mkdir()
    (tmp_path / "texts.txt").write_text("heavy rain\n")
    arguments = ["embed", str(model_dir), str(tmp_path / input_name), "-o", str(tmp_path / "out")]
    assert main(arguments + options) == 1
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_token_beyond_the_table_is_named_by_its_row_in_the_source(
    client, model_dir, tmp_path, tokenizer
):
    # A table that stops before the tokenizer's last words: "streets" lies beyond it.
    table = random_table(np.random.default_rng(7), WORDS.index("streets"), DIM, "F32")
    write_table(model_dir, table)
    texts = ["rain"] * 13 + ["heavy streets"] + ["storm"] * 2
    write_corpus(tmp_path / "corpus", [[3, 3], [4, 6]], texts=texts)
    with pytest.raises(IndexError) as error:
        bounded(
            embed_parquet,
            model_dir,
            tmp_path / "corpus",
            tmp_path / "out",
            client=client,
            show_progress=False,
        )
    assert str(error.value).startswith(
        "partition 3 (file-1.parquet, row group 1), whose texts[0] here is row 10 of the source: "
    )
    assert "texts[3]" in str(error.value)


def test_float16_beyond_its_range_is_named_by_its_row_in_the_source(client, model_dir, tmp_path):
    # Unnormalized rows of 70000 overflow float16 (and only float16).
    table = np.ones((len(WORDS), DIM), np.float32)
    table[WORDS.index("storm")] = 70000.0
    write_table(model_dir, table)
    (model_dir / "config.json").write_text('{"normalize": false}')
    texts = ["rain"] * 7 + ["storm"] + ["rain"] * 2
    write_corpus(tmp_path / "corpus", [[4, 6]], texts=texts)
    options = {"client": client, "show_progress": False}
    with pytest.raises(OverflowError) as error:
        bounded(
            embed_parquet,
            model_dir,
            tmp_path / "corpus",
            tmp_path / "out",
            dtype=np.float16,
            **options,
        )
    assert str(error.value).startswith(
        "partition 1 (file-0.parquet, row group 1), whose texts[0] here is row 4 of the source: "
    )
    assert "texts[3]" in str(error.value)
    with pytest.raises(TypeError, match="dtype must be numpy.float32 or numpy.float16"):
        embed_parquet(model_dir, tmp_path / "corpus", tmp_path / "other", dtype=np.float64)
    assert not (tmp_path / "other").exists()
    # float32 holds them.
    assert (
        bounded(embed_parquet, model_dir, tmp_path / "corpus", tmp_path / "wide", **options) == 10
    )
