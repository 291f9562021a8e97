"""What the `korvane` command tells a user who gives it something wrong (text that does not
decode, a file that is not a model, a model without a tokenizer, an output that exists), and
the inputs and outputs a first run meets: standard input, ids kept in Parquet output,
--version."""

import io
import json
import os
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from safetensors.numpy import save_file

import korvane
from korvane import Model
from korvane.cli import main, undecodable_place
from korvane.convert import write_model_dir
from model_files import write_transformer_tokenizer

from .test_cli import TABLE, TEXTS, VOCABULARY, WIDTH, read_output, write_input


@pytest.fixture
def model_dir(tmp_path):
    tokenizer = write_transformer_tokenizer(tmp_path / "tok.json", VOCABULARY)
    return write_model_dir(TABLE, tmp_path / "model", tokenizer=tokenizer)


def error_line(capsys, command="embed", alone=True):
    """The command's error line, checked to read as words rather than a traceback, and with
    `alone` to be all it printed (no progress bar before it)."""
    lines = capsys.readouterr().err.strip().splitlines()
    assert len(lines) == 1 or not alone, lines
    lines = lines[-1:]
    prefix = f"korvane {command}: error: "
    assert lines[0].startswith(prefix)
    message = lines[0].removeprefix(prefix)
    assert "Error" not in message and "[Errno" not in message
    return message


# ---------------------------------------------------------------------------------------------
# Text that does not decode


LINES = ["the dog", "a ball", "rain on the storm", "the dog . a ball"]


def with_bad_byte(path, line_index, at, bad=b"\xff"):
    """Writes LINES (a .txt line or a .jsonl record each) with `bad` inserted into line
    `line_index` at character `at` of its text; returns the byte offset of `bad` within its line
    and within the file (from 1)."""
    encoded = []
    for index, text in enumerate(LINES):
        data = text.encode()
        if index == line_index:
            data = data[:at] + bad + data[at:]
        if path.suffix == ".jsonl":
            data = b'{"text": "' + data + b'"}'
        encoded.append(data + b"\n")
    path.write_bytes(b"".join(encoded))
    within = encoded[line_index].index(bad) + 1
    return within, sum(map(len, encoded[:line_index])) + within


@pytest.mark.parametrize("suffix", [".txt", ".jsonl"])
@pytest.mark.parametrize("line_index", [0, 2])
def test_an_undecodable_byte_is_named_by_line_and_offset(
    tmp_path, model_dir, capsys, suffix, line_index
):
    source = tmp_path / f"in{suffix}"
    within, offset = with_bad_byte(source, line_index, 3)

    assert main(["embed", str(model_dir), str(source), "-o", str(tmp_path / "out.npy")]) == 1

    message = error_line(capsys)
    assert message.startswith(
        f"{source}, line {line_index + 1}: byte {within} of the line "
        f"(byte {offset} of the file), ff, is not utf-8"
    )
    assert "--encoding" in message and "--errors replace" in message
    assert not (tmp_path / "out.npy").exists()


@pytest.mark.parametrize("start", [(1 << 20) - 2, (1 << 20) - 1, 1 << 20, (1 << 20) + 1])
def test_the_place_of_an_undecodable_byte_across_read_blocks(start):
    # A truncated three-byte sequence (e2 82, then "x") around the end of the first 1 MiB read.
    lines, rest = divmod(start, 8)
    data = b"1234567\n" * lines + b"y" * rest + b"\xe2\x82x\n" + b"tail\n"
    place = undecodable_place(lambda: io.BytesIO(data), "utf-8")
    assert place == (lines + 1, rest + 1, start + 1, b"\xe2\x82", "invalid continuation byte")
    assert undecodable_place(lambda: io.BytesIO(data.replace(b"\xe2\x82", b"")), "utf-8") is None


@pytest.mark.parametrize("suffix", [".txt", ".jsonl"])
def test_errors_replace_and_another_encoding(tmp_path, model_dir, suffix):
    source = tmp_path / f"in{suffix}"
    with_bad_byte(source, 1, 2, bad="\u00e9".encode("latin-1"))
    model = Model.load(model_dir)

    assert (
        main(
            [
                "embed",
                str(model_dir),
                str(source),
                "-o",
                str(tmp_path / "replaced.npy"),
                "--errors",
                "replace",
                "--quiet",
            ]
        )
        == 0
    )
    assert (
        main(
            [
                "embed",
                str(model_dir),
                str(source),
                "-o",
                str(tmp_path / "latin.npy"),
                "--encoding",
                "latin-1",
                "--quiet",
            ]
        )
        == 0
    )

    replaced = [*LINES[:1], "a \ufffdball", *LINES[2:]]
    latin = [*LINES[:1], "a \u00e9ball", *LINES[2:]]
    np.testing.assert_array_equal(np.load(tmp_path / "replaced.npy"), model.encode(replaced))
    np.testing.assert_array_equal(np.load(tmp_path / "latin.npy"), model.encode(latin))


def test_a_parquet_value_that_is_not_utf8(tmp_path, model_dir, capsys):
    source = tmp_path / "in.parquet"
    values = pa.array([b"the dog", b"a \xffball"], pa.binary()).view(pa.string())
    pq.write_table(pa.table({"text": values}), source)

    assert main(["embed", str(model_dir), str(source), "-o", str(tmp_path / "out.npy")]) == 1
    assert error_line(capsys, alone=False).startswith(
        f"{source}: row 1 of column 'text', byte 3 of the value, ff, is not UTF-8"
    )

    assert (
        main(
            [
                "embed",
                str(model_dir),
                str(source),
                "-o",
                str(tmp_path / "out.npy"),
                "--errors",
                "replace",
                "--quiet",
            ]
        )
        == 0
    )
    np.testing.assert_array_equal(
        np.load(tmp_path / "out.npy"), Model.load(model_dir).encode(["the dog", "a \ufffdball"])
    )


@pytest.mark.parametrize(
    ("suffix", "place"),
    [
        (".txt", "in.txt, line 4"),
        (".jsonl", "in.jsonl, line 7"),
        (".parquet", "in.parquet, row 3 of column 'text'"),
        ("-", "standard input, line 4"),
    ],
)
def test_a_failing_text_is_named_by_its_place_in_the_input(
    tmp_path, monkeypatch, capsys, suffix, place
):
    # A tokenizer with one word more than the table has rows: "zebra" has no row.
    short = write_model_dir(TABLE, tmp_path / "short")
    write_transformer_tokenizer(short / "tokenizer.json", VOCABULARY + ["zebra"])
    texts = ["the dog", "a ball", "rain", "a zebra", "storm"]
    if suffix == "-":
        source = "-"
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO("\n".join(texts).encode())))
    elif suffix == ".jsonl":  # blank lines hold no record
        source = tmp_path / "in.jsonl"
        source.write_text(
            "\n"
            + "\n\n".join(json.dumps({"text": t}) for t in texts[:3])
            + "\n"
            + "".join(json.dumps({"text": t}) + "\n" for t in texts[3:])
        )
    else:
        source = write_input(tmp_path / f"in{suffix}", texts)

    assert (
        main(
            [
                "embed",
                str(short),
                str(source),
                "-o",
                str(tmp_path / "out.npy"),
                "--batch-size",
                "2",
                "--quiet",
            ]
        )
        == 1
    )

    message = error_line(capsys)
    assert f"{place}" in message and "texts[" not in message


# ---------------------------------------------------------------------------------------------
# Errors in the user's words


def make_fifo(path):
    os.mkfifo(path)
    return path


@pytest.mark.parametrize(
    ("case", "words"),
    [
        ("missing model", ["no such model directory or file: {tmp}/nowhere"]),
        ("text file as model", ["not a safetensors file"]),
        (
            "FIFO as model.safetensors",
            ["model.safetensors is a FIFO (named pipe), not a regular file"],
        ),
        (
            "directory as model.safetensors",
            ["model.safetensors is a directory, not a regular file"],
        ),
        ("FIFO as tokenizer.json", ["tokenizer.json is a FIFO (named pipe), not a regular file"]),
        ("directory as tokenizer.json", ["tokenizer.json is a directory, not a regular file"]),
    ],
)
def test_a_model_that_is_not_one_is_told_in_words(tmp_path, model_dir, capsys, case, words):
    broken = tmp_path / "broken"
    broken.mkdir()
    for name in ("model.safetensors", "tokenizer.json", "config.json"):
        if case.split(" as ")[-1] != name:
            (broken / name).write_bytes((model_dir / name).read_bytes())
    model = {
        "missing model": tmp_path / "nowhere",
        "text file as model": write_input(tmp_path / "notes.txt", TEXTS * 100),
        "FIFO as model.safetensors": broken,
        "directory as model.safetensors": broken,
        "FIFO as tokenizer.json": broken,
        "directory as tokenizer.json": broken,
    }[case]
    if case.startswith("FIFO"):
        make_fifo(broken / case.split(" as ")[-1])
    elif case.startswith("directory"):
        (broken / case.split(" as ")[-1]).mkdir()
    source = write_input(tmp_path / "in.txt", TEXTS)

    assert main(["embed", str(model), str(source), "-o", str(tmp_path / "out.npy")]) == 1

    message = error_line(capsys)
    for word in words:
        assert word.format(tmp=tmp_path) in message


@pytest.mark.parametrize("kind", ["FIFO", "directory"])
def test_convert_refuses_a_tokenizer_that_is_not_a_file(tmp_path, model_dir, capsys, kind):
    checkpoint = tmp_path / "checkpoint"
    checkpoint.mkdir()
    save_file({"embeddings": TABLE}, checkpoint / "model.safetensors")
    if kind == "FIFO":
        make_fifo(checkpoint / "tokenizer.json")
    else:
        (checkpoint / "tokenizer.json").mkdir()

    assert main(["convert", str(checkpoint), str(tmp_path / "out")]) == 1

    assert f"tokenizer.json is a {kind}" in error_line(capsys, "convert")
    assert not (tmp_path / "out").exists()


def test_convert_lists_the_tensors_when_the_named_one_is_missing(tmp_path, capsys):
    source = tmp_path / "weights.safetensors"
    save_file(
        {
            "table": TABLE,
            "position": np.ones((8, WIDTH), np.float32),
            "bias": np.ones(WIDTH, np.float32),
        },
        source,
    )

    assert (
        main(["convert", str(source), str(tmp_path / "out"), "--tensor", "nope", "--no-tokenizer"])
        == 1
    )

    assert error_line(capsys, "convert").endswith(
        f"holds no tensor named 'nope'; its 2-D tensors: position 8 x {WIDTH}, "
        f"table {len(VOCABULARY)} x {WIDTH}"
    )


@pytest.mark.parametrize("order", [">", "<"])
@pytest.mark.parametrize("dtype", ["i2", "i4", "u8"])
def test_embed_ids_takes_ids_in_either_byte_order(model_dir, order, dtype):
    model = Model.load(model_dir)
    ids = np.array([[4, 6], [9, 10]], dtype=order + dtype)
    expected = model.embed_ids([[4, 6], [9, 10]])
    np.testing.assert_array_equal(model.embed_ids(ids), expected)
    flat = np.array([4, 6, 9, 10], dtype=order + dtype)
    offsets = np.array([0, 2, 4], dtype=order + "i8")
    np.testing.assert_array_equal(model.embed_ids(flat, offsets=offsets), expected)


# ---------------------------------------------------------------------------------------------
# A model without a tokenizer


def test_convert_without_a_tokenizer_is_a_deliberate_choice(tmp_path, capsys):
    source = tmp_path / "weights.safetensors"
    save_file({"embeddings": TABLE}, source)
    out = tmp_path / "out"

    assert main(["convert", str(source), str(out)]) == 1
    message = error_line(capsys, "convert")
    assert "no tokenizer.json" in message
    assert "--tokenizer" in message and "--no-tokenizer" in message
    assert not out.exists()

    assert main(["convert", str(source), str(out), "--no-tokenizer"]) == 0
    assert "without tokenizer.json" in capsys.readouterr().out
    assert Model.load(out).tokenizer is None


def test_embed_checks_for_a_tokenizer_before_starting(tmp_path, capsys):
    bare = write_model_dir(TABLE, tmp_path / "bare")
    source = write_input(tmp_path / "in.txt", TEXTS)

    assert main(["embed", str(bare), str(source), "-o", str(tmp_path / "out.npy")]) == 1

    message = error_line(capsys)  # one line: no progress bar was drawn
    assert "has no tokenizer.json" in message and "--tokenizer" in message
    assert sorted(os.listdir(tmp_path)) == ["bare", "in.txt"]


# ---------------------------------------------------------------------------------------------
# Outputs: existing ones, ids, standard input


def test_an_existing_output_needs_force(tmp_path, model_dir, capsys):
    source = write_input(tmp_path / "in.txt", TEXTS)
    output = tmp_path / "out.npy"
    output.write_bytes(b"mine")

    assert main(["embed", str(model_dir), str(source), "-o", str(output)]) == 1
    assert error_line(capsys) == f"{output} exists: pass --force to replace it"
    assert output.read_bytes() == b"mine"

    assert (
        main(["embed", str(model_dir), str(source), "-o", str(output), "--force", "--quiet"]) == 0
    )
    np.testing.assert_array_equal(np.load(output), Model.load(model_dir).encode(TEXTS))


def test_an_existing_model_directory_needs_force(tmp_path, model_dir, capsys):
    out = tmp_path / "out"
    out.mkdir()  # an empty directory is filled without asking
    assert main(["convert", str(model_dir), str(out)]) == 0
    capsys.readouterr()
    before = (out / "model.safetensors").read_bytes()

    assert main(["convert", str(model_dir), str(out), "--dtype", "f16"]) == 1
    assert error_line(capsys, "convert") == f"{out} exists: pass --force to replace the model in it"
    assert (out / "model.safetensors").read_bytes() == before

    assert main(["convert", str(model_dir), str(out), "--dtype", "f16", "--force"]) == 0
    assert Model.load(out).dtype == "F16"


@pytest.mark.parametrize(
    ("suffix", "ids"),
    [
        (".jsonl", list(range(100, 100 + len(TEXTS)))),
        (".jsonl", [f"doc-{i}" for i in range(len(TEXTS))]),
        (".parquet", list(range(7, 7 + len(TEXTS)))),
        (".parquet", [f"doc-{i}" for i in range(len(TEXTS))]),
    ],
)
def test_parquet_output_keeps_the_input_ids(tmp_path, model_dir, suffix, ids):
    source = tmp_path / f"in{suffix}"
    if suffix == ".jsonl":
        source.write_text(
            "".join(
                json.dumps({"id": i, "text": t}) + "\n" for i, t in zip(ids, TEXTS, strict=True)
            )
        )
    else:
        pq.write_table(pa.table({"text": TEXTS, "id": ids}), source, row_group_size=2)
    output = tmp_path / "out.parquet"

    assert (
        main(
            [
                "embed",
                str(model_dir),
                str(source),
                "-o",
                str(output),
                "--batch-size",
                "4",
                "--quiet",
            ]
        )
        == 0
    )

    table = pq.read_table(output)
    assert table.column_names == ["id", "embedding"]
    assert table.column("id").to_pylist() == ids
    np.testing.assert_array_equal(read_output(output), Model.load(model_dir).encode(TEXTS))


def test_parquet_output_without_ids_in_the_input(tmp_path, model_dir):
    source = write_input(tmp_path / "in.txt", TEXTS)
    assert (
        main(["embed", str(model_dir), str(source), "-o", str(tmp_path / "out.parquet"), "--quiet"])
        == 0
    )
    assert pq.read_table(tmp_path / "out.parquet").column_names == ["embedding"]


def test_jsonl_ids_of_mixed_types_are_refused(tmp_path, model_dir, capsys):
    source = tmp_path / "in.jsonl"
    source.write_text('{"id": 1, "text": "rain"}\n{"id": "two", "text": "storm"}\n')
    assert main(["embed", str(model_dir), str(source), "-o", str(tmp_path / "out.parquet")]) == 1
    assert "'id' fields are not all int64" in error_line(capsys, alone=False)
    assert not (tmp_path / "out.parquet").exists()


def test_texts_from_standard_input(tmp_path, model_dir, monkeypatch):
    data = "".join(text + "\n" for text in TEXTS).encode("latin-1", "replace")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))

    assert (
        main(
            [
                "embed",
                str(model_dir),
                "-",
                "-o",
                str(tmp_path / "out.npy"),
                "--encoding",
                "latin-1",
                "--quiet",
            ]
        )
        == 0
    )

    texts = data.decode("latin-1").splitlines()  # no U+2028 left to split at
    np.testing.assert_array_equal(
        np.load(tmp_path / "out.npy"), Model.load(model_dir).encode(texts)
    )


def test_version():
    done = subprocess.run(
        [sys.executable, "-m", "korvane", "--version"], capture_output=True, text=True, check=True
    )
    assert done.stdout == f"korvane {korvane.__version__}\n"
