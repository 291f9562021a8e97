"""Model.load: paths, the choice of tensor, config.json, damaged files, and the memory a load
takes."""

import json
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

import korvane

from .package_models import WORDS, safetensors_bytes, table_bytes, write_table

TABLE = np.arange(24, dtype=np.float32).reshape(6, 4)


def f32(shape):
    table = np.ones(shape, np.float32)
    return ("F32", table.tobytes(), shape)


@pytest.mark.parametrize(
    "form", [str, pathlib.Path, lambda p: pathlib.Path(p) / "model.safetensors"]
)
def test_a_directory_or_its_file_as_str_or_pathlike(model_dir, form):
    model = korvane.Model.load(form(str(model_dir)))
    assert (model.vocab_size, model.dim, model.dtype, model.normalize) == (
        len(WORDS),
        16,
        "F32",
        True,
    )
    assert model.path.is_absolute() and model.tensor == "embeddings"
    assert (model.tokenizer is not None) == os.path.isdir(form(str(model_dir)))
    assert repr(model).startswith(
        f"Model({str(model.path)!r}, tensor='embeddings', vocab_size={len(WORDS)}"
    )


def test_a_relative_path_is_kept_absolute(model_dir, monkeypatch):
    monkeypatch.chdir(model_dir.parent)
    assert korvane.Model.load("model").path == model_dir


@pytest.mark.parametrize(
    "tensors, option, chosen",
    [
        ({"position_ids": f32((1, 512)), "table": f32((6, 4))}, "table", "table"),
        ({"position_ids": ("I64", b"\0" * 8 * 4, (4,)), "w": f32((6, 4))}, None, "w"),
        (
            {
                "position_ids": f32((1, 512)),
                "embeddings.word_embeddings.weight": f32((6, 4)),
                "embeddings.position_embeddings.weight": f32((512, 4)),
            },
            None,
            "embeddings.word_embeddings.weight",
        ),
        ({"a": f32((2, 4)), "embeddings": f32((6, 4))}, None, "embeddings"),
    ],
)
def test_the_tensor_is_chosen_by_option_shape_or_known_name(tmp_path, tensors, option, chosen):
    (tmp_path / "model.safetensors").write_bytes(safetensors_bytes(tensors))
    model = korvane.Model.load(tmp_path, tensor=option)
    assert model.tensor == chosen and model.vocab_size == tensors[chosen][2][0]


@pytest.mark.parametrize(
    "tensors, option, message",
    [
        (
            {"position_ids": f32((1, 512)), "w": f32((6, 4))},
            None,
            r"several two-dimensional tensors .* 'position_ids' \(F32 1 x 512\), 'w' \(F32 6 x 4\)",
        ),
        ({"bias": f32((4,))}, None, "no two-dimensional tensor"),
        ({"w": f32((6, 4))}, "embeddings", r"no tensor named 'embeddings'.*'w' \(F32 6 x 4\)"),
        ({"w": f32((6, 4)), "bias": f32((4,))}, "bias", r"'bias' has shape \[4\]"),
        ({"w": ("F8_E4M3", b"\0" * 24, (6, 4))}, None, "unsupported element type 'F8_E4M3'"),
    ],
)
def test_no_tensor_is_taken_silently(tmp_path, tensors, option, message):
    (tmp_path / "model.safetensors").write_bytes(safetensors_bytes(tensors))
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(tmp_path, tensor=option)


def header_file(header, data=b"", declared=None):
    text = json.dumps(header).encode() if isinstance(header, dict) else header
    return struct.pack("<Q", len(text) if declared is None else declared) + text + data


GOOD = {"embeddings": {"dtype": "F32", "shape": [2, 2], "data_offsets": [0, 16]}}


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "shorter than its 8-byte header length"),
        (b"\x05\0\0", "shorter than its 8-byte header length"),
        (header_file(GOOD, b"\0" * 16, declared=10**6), r"header length \(1000000 bytes\) exceeds"),
        (header_file(GOOD, b"\0" * 16, declared=2**64 - 1), "exceeds the file"),
        (header_file(b"{not json", b""), "SerDe Error"),
        (header_file(GOOD, b"\0" * 15), r"data offsets \[0, 16\] outside the data section of 15"),
        (
            header_file({"embeddings": {**GOOD["embeddings"], "data_offsets": [8, 4]}}, b"\0" * 16),
            "outside the data section",
        ),
        (
            header_file(
                {"embeddings": {**GOOD["embeddings"], "shape": [2**40, 2**40]}}, b"\0" * 16
            ),
            r"holds 16 bytes, but its shape .* needs 4835703278458516698824704",
        ),
        (
            header_file(
                {"embeddings": {**GOOD["embeddings"], "data_offsets": [0, 12]}}, b"\0" * 16
            ),
            "holds 12 bytes",
        ),
        (header_file({"__metadata__": {"format": "pt"}}), "no two-dimensional tensor"),
    ],
)
def test_a_damaged_file_raises_value_error(tmp_path, content, message):
    (tmp_path / "model.safetensors").write_bytes(content)
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(tmp_path)


def test_path_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="no such model directory or file"):
        korvane.Model.load(tmp_path / "missing")
    with pytest.raises(FileNotFoundError, match="holds no model.safetensors"):
        korvane.Model.load(tmp_path)
    with pytest.raises(TypeError, match="path must be a str or os.PathLike, not int"):
        korvane.Model.load(3)  # type: ignore[arg-type]
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="not a regular file"):
        korvane.Model.load(tmp_path / "fifo")
    with pytest.raises(TypeError, match="create a Model with Model.load"):
        korvane.Model()


@pytest.mark.parametrize(
    "config, option, expected",
    [
        (None, None, True),
        ({"normalize": False}, None, False),
        ({"normalize": True}, False, False),
        ({"normalize": False, "max_length": 512}, True, True),
    ],
)
def test_normalize_comes_from_config_json_unless_given(tmp_path, config, option, expected):
    directory = write_table(tmp_path, TABLE)
    if config is not None:
        (directory / "config.json").write_text(json.dumps(config))
    model = korvane.Model.load(directory, normalize=option)
    assert model.normalize is expected
    row = model.embed_ids([[1, 2]])[0]
    assert bool(np.isclose(np.linalg.norm(row), 1.0)) is expected


@pytest.mark.parametrize(
    "config, message",
    [
        ("[1]", "must hold a JSON object"),
        ("{", "not valid JSON"),
        ('{"normalize": "yes"}', "'normalize' must be true or false"),
        ('{"vocabulary_quantization": 6}', "holds no 'mapping' tensor"),
    ],
)
def test_config_json_errors(tmp_path, config, message):
    directory = write_table(tmp_path, TABLE)
    (directory / "config.json").write_text(config)
    with pytest.raises(ValueError, match=message):
        korvane.Model.load(directory)


def test_a_broken_tokenizer_json_raises_value_error(tmp_path):
    directory = write_table(tmp_path, TABLE)
    (directory / "tokenizer.json").write_text("{}")
    with pytest.raises(ValueError, match="not a usable tokenizer"):
        korvane.Model.load(directory)


PEAK_SCRIPT = """
import resource, sys, korvane
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
model = korvane.Model.load(sys.argv[1])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's shadow memory and quarantine add to the peak",
)
def test_loading_takes_little_more_memory_than_the_table(tmp_path):
    rows, dim = 65536, 256  # 64 MiB as F32, 32 MiB as F16
    for dtype in ("F32", "F16"):
        table = np.zeros((rows, dim), np.float32)
        directory = write_table(tmp_path / dtype, table, dtype, extra={"other": f32((1024, 64))})
        size = len(table_bytes(table, dtype))
        peak = int(
            subprocess.run(
                [sys.executable, "-c", PEAK_SCRIPT, str(directory)],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
        )
        assert peak <= 1.1 * size, (dtype, peak / size)
