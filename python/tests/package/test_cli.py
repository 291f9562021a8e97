"""The `korvane` command on a tiny model: embed (every input and output format, failures that
leave no file behind) and convert (round trips through Model.load and model2vec)."""

import json
import re
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from safetensors import safe_open
from safetensors.numpy import save_file

from korvane import Model
from korvane.cli import main
from korvane.convert import TENSOR_NAME, write_model_dir
from model_files import write_transformer_tokenizer

VOCABULARY = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "the", "a", "dog", "ball", "rain", "storm", "."]
WIDTH = 5
TABLE = np.random.default_rng(11).standard_normal((len(VOCABULARY), WIDTH)).astype(np.float32)
TEXTS = ["The dog.", "", "a storm and rain", "Zebra", "rain " * 30, "the ball\u2028the dog"]


def write_tokenizer(path, vocabulary=VOCABULARY):
    return write_transformer_tokenizer(path, vocabulary)


@pytest.fixture
def model_dir(tmp_path):
    return write_model_dir(
        TABLE, tmp_path / "model", tokenizer=write_tokenizer(tmp_path / "tok.json")
    )


def write_input(path, texts, column="text"):
    if path.suffix == ".txt":
        path.write_text("".join(text + "\n" for text in texts), encoding="utf-8")
    elif path.suffix == ".jsonl":
        path.write_text(
            "".join(json.dumps({column: t, "id": i}) + "\n" for i, t in enumerate(texts))
        )
    else:
        pq.write_table(pa.table({"id": range(len(texts)), column: texts}), path, row_group_size=2)
    return path


def read_output(path):
    if path.suffix == ".npy":
        return np.load(path)
    column = pq.read_table(path).column("embedding").combine_chunks()
    assert column.type == pa.list_(pa.float32(), WIDTH)
    return column.flatten().to_numpy().reshape(-1, WIDTH)


def files_in(directory):
    return sorted(path.name for path in directory.iterdir())


@pytest.mark.parametrize("output_suffix", [".npy", ".parquet"])
@pytest.mark.parametrize(
    ("input_suffix", "column"),
    [
        (".txt", None),
        (".jsonl", None),
        (".jsonl", "body"),
        (".parquet", None),
        (".parquet", "body"),
    ],
)
def test_embed_writes_what_encode_returns(
    tmp_path, model_dir, capsys, input_suffix, column, output_suffix
):
    source = write_input(tmp_path / f"in{input_suffix}", TEXTS, column or "text")
    output = tmp_path / f"out{output_suffix}"
    flags = ["--column", column] if column else []
    assert (
        main(["embed", str(model_dir), str(source), "-o", str(output), "--batch-size", "4", *flags])
        == 0
    )

    found = read_output(output)
    expected = Model.load(model_dir).encode(TEXTS)
    assert found.dtype == np.float32 and found.shape == (len(TEXTS), WIDTH)
    np.testing.assert_array_equal(found, expected)
    assert not found[1].any()  # the empty text
    assert re.search(rf"embedded {len(TEXTS)} texts in .* texts/s", capsys.readouterr().err)


@pytest.mark.parametrize("flags", [["--max-length", "2"], ["--threads", "1", "--quiet"]])
def test_embed_options_reach_encode(tmp_path, model_dir, capsys, flags):
    source = write_input(tmp_path / "in.txt", TEXTS)
    assert (
        main(["embed", str(model_dir), str(source), "-o", str(tmp_path / "out.npy"), *flags]) == 0
    )
    max_length = int(flags[1]) if flags[0] == "--max-length" else None
    expected = Model.load(model_dir).encode(TEXTS, max_length=max_length)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), expected)
    assert (capsys.readouterr().err == "") == ("--quiet" in flags)


def test_module_runs_as_the_command(tmp_path, model_dir):
    source = write_input(tmp_path / "in.txt", TEXTS[:2])
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "korvane",
            "embed",
            str(model_dir),
            str(source),
            "-o",
            str(tmp_path / "out.npy"),
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr
    assert np.load(tmp_path / "out.npy").shape == (2, WIDTH)


def failing_inputs(tmp_path, model_dir):
    """name -> (arguments after `embed`, words the error message must hold)."""
    good = write_input(tmp_path / "good.txt", TEXTS)
    bad_json = tmp_path / "bad.jsonl"
    bad_json.write_text("\n".join([json.dumps({"text": "the dog"})] * 5 + ["{oops"]) + "\n")
    wrong_type = write_input(tmp_path / "numbers.jsonl", ["a"] * 5)
    wrong_type.write_text(wrong_type.read_text() + json.dumps({"text": 7}) + "\n")
    nulls = tmp_path / "nulls.parquet"
    pq.write_table(pa.table({"text": ["the dog"] * 5 + [None]}), nulls)
    # A tokenizer with more words than the table has rows: "zebra" has no row.
    short = write_model_dir(TABLE, tmp_path / "short")
    write_tokenizer(short / "tokenizer.json", VOCABULARY + ["zebra"])
    model = str(model_dir)
    return {
        "bad JSON after the first batch": ([model, str(bad_json)], ["line 6", "not JSON"]),
        "a field that is not a string": ([model, str(wrong_type)], ["line 6", "int, not a string"]),
        "a null text": ([model, str(nulls)], ["row 5", "null"]),
        "a token beyond the table": ([str(short), str(good)], ["good.txt, line 4", "11"]),
        "a missing parquet column": ([model, str(nulls), "--column", "body"], ["no column 'body'"]),
        "a missing model": ([str(tmp_path / "nowhere"), str(good)], ["nowhere"]),
        "a missing input": ([model, str(tmp_path / "absent.txt")], ["absent.txt", "no such file"]),
        "an unknown input kind": ([model, str(tmp_path / "in.csv")], [".txt, .jsonl, .parquet"]),
        "--column on text": ([model, str(good), "--column", "x"], ["--column"]),
    }


@pytest.mark.parametrize("output_name", ["out.npy", "out.parquet"])
@pytest.mark.parametrize(
    "case",
    [
        "bad JSON after the first batch",
        "a field that is not a string",
        "a null text",
        "a token beyond the table",
        "a missing parquet column",
        "a missing model",
        "a missing input",
        "an unknown input kind",
        "--column on text",
    ],
)
def test_failed_embed_leaves_the_output_as_it_was(tmp_path, model_dir, capsys, case, output_name):
    arguments, words = failing_inputs(tmp_path, model_dir)[case]
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "old.npy").write_bytes(b"kept")  # a previous result of another name is untouched
    target = out_dir / output_name
    before = files_in(tmp_path)

    status = main(["embed", *arguments, "-o", str(target), "--batch-size", "2"])

    assert status == 1
    error = capsys.readouterr().err.strip().splitlines()[-1]
    assert error.startswith("korvane embed: error: ")
    for word in words:
        assert word in error
    assert files_in(out_dir) == ["old.npy"]  # neither the output nor a temporary file
    assert files_in(tmp_path) == before


def test_failed_embed_keeps_an_existing_output(tmp_path, model_dir, capsys):
    target = tmp_path / "out.npy"
    np.save(target, np.ones((1, 1), np.float32))
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"text": "rain"}\n{"text": 1}\n')
    assert main(["embed", str(model_dir), str(bad), "-o", str(target)]) == 1
    np.testing.assert_array_equal(np.load(target), np.ones((1, 1), np.float32))


@pytest.mark.parametrize("dtype", ["f32", "f16"])
@pytest.mark.parametrize("normalize", [True, False])
def test_convert_round_trip(tmp_path, capsys, dtype, normalize):
    # A checkpoint directory: position IDs come first, the token table has its usual name.
    checkpoint = tmp_path / "checkpoint"
    checkpoint.mkdir()
    save_file(
        {
            "embeddings.position_ids": np.arange(8, dtype=np.int64).reshape(1, 8),
            "embeddings.position_embeddings.weight": np.ones((8, WIDTH), np.float32),
            "bert.embeddings.word_embeddings.weight": TABLE,
        },
        checkpoint / "model.safetensors",
    )
    write_tokenizer(checkpoint / "tokenizer.json")
    out = tmp_path / "converted"
    flags = [] if normalize else ["--no-normalize"]

    assert main(["convert", str(checkpoint), str(out), "--dtype", dtype, *flags]) == 0
    assert f"{len(VOCABULARY)} x {WIDTH} {dtype.upper()}" in capsys.readouterr().out

    assert files_in(out) == ["config.json", "model.safetensors", "tokenizer.json"]
    assert json.loads((out / "config.json").read_text()) == {"normalize": normalize}
    with safe_open(str(out / "model.safetensors"), framework="numpy") as file:
        assert list(file.keys()) == [TENSOR_NAME]
        stored = file.get_tensor(TENSOR_NAME)
    np.testing.assert_array_equal(
        stored, TABLE.astype(np.float16 if dtype == "f16" else np.float32)
    )

    model = Model.load(out)
    assert (model.dim, model.vocab_size, model.normalize) == (WIDTH, len(VOCABULARY), normalize)
    ids = [4, 6, 10]
    mean = stored[ids].astype(np.float64).mean(axis=0)
    expected = mean / np.linalg.norm(mean) if normalize else mean
    np.testing.assert_allclose(model.encode(["the dog ."])[0], expected, rtol=1e-6, atol=1e-7)

    # model2vec reads the same directory and agrees (it averages F16 rows in half precision).
    from model2vec import StaticModel

    peer = StaticModel.from_pretrained(str(out))
    np.testing.assert_allclose(
        peer.encode(["the dog ."]),
        model.encode(["the dog ."]),
        atol=1e-6 if dtype == "f32" else 1e-3,
    )


@pytest.mark.parametrize(
    ("tensors", "flags", "words"),
    [
        ({"a": np.ones((2, 2)), "b": np.ones((3, 2))}, [], ["2 2-D tensors (a, b)", "--tensor"]),
        ({"a": np.ones(2)}, [], ["0 2-D tensors (none)"]),
        ({"a": np.ones((2, 2))}, ["--tensor", "b"], ["no tensor named 'b'"]),
        ({"a": np.ones(2)}, ["--tensor", "a"], ["'a' has shape [2], not 2-D"]),
        (
            {"a": np.ones((4, 2))},
            ["--tokenizer", "TOKENIZER"],
            [f"up to {len(VOCABULARY) - 1}", "4 rows"],
        ),
        (
            {"a": np.full((len(VOCABULARY), 2), 1e5)},
            ["--dtype", "f16"],
            ["beyond the range of f16"],
        ),
    ],
)
def test_convert_refuses_and_writes_nothing(tmp_path, capsys, tensors, flags, words):
    source = tmp_path / "weights.safetensors"
    save_file({name: value.astype(np.float32) for name, value in tensors.items()}, source)
    tokenizer = str(write_tokenizer(tmp_path / "tokenizer.json"))
    flags = [tokenizer if flag == "TOKENIZER" else flag for flag in flags]
    if "--tokenizer" not in flags:
        flags.append("--no-tokenizer")

    assert main(["convert", str(source), str(tmp_path / "out"), *flags]) == 1

    error = capsys.readouterr().err
    assert error.startswith("korvane convert: error: ")
    for word in words:
        assert word in error
    assert not (tmp_path / "out").exists()
