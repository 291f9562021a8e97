"""Half-width output: encode(dtype=numpy.float16), encode_iter and `korvane embed --dtype f16`,
each row computed and normalized in float32 first, then rounded."""

import subprocess
import sys

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES, WORDS, write_table

TEXTS = SENTENCES * 3  # an empty and a blank text among them


@pytest.mark.parametrize("normalize", [True, False])
def test_half_rows_are_the_float32_rows_rounded(model_dir, normalize):
    model = korvane.Model.load(model_dir, normalize=normalize)
    full = model.encode(TEXTS)
    half = model.encode(TEXTS, dtype=np.float16, batch_size=5)
    assert half.dtype == np.float16 and half.shape == full.shape
    assert np.array_equal(half, full.astype(np.float16))
    assert not np.isnan(half).any() and not half[SENTENCES.index("")].any()
    batches = list(model.encode_iter(TEXTS, dtype="float16", batch_size=7))
    assert [batch.dtype for batch in batches] == [np.float16] * 4
    assert np.array_equal(np.concatenate(batches), half)


def test_a_value_beyond_float16_is_refused_naming_the_text(tmp_path, tokenizer):
    table = np.ones((len(WORDS), 4), np.float32)
    table[WORDS.index("storm")] = 1e6
    directory = write_table(tmp_path / "m", table)
    tokenizer.save(str(directory / "tokenizer.json"))
    model = korvane.Model.load(directory, normalize=False)
    with pytest.raises(OverflowError, match=r"texts\[1\] overflows float16"):
        model.encode(SENTENCES, dtype=np.float16)
    # Normalized, the same text fits.
    assert np.isfinite(korvane.Model.load(directory).encode(SENTENCES, dtype=np.float16)).all()


@pytest.mark.parametrize("dtype", [np.float64, np.int8, "f2x", None])
def test_other_dtypes_are_refused(model_dir, dtype):
    with pytest.raises(TypeError, match="dtype must be numpy.float32 or numpy.float16"):
        korvane.Model.load(model_dir).encode(["the cat"], dtype=dtype)


@pytest.mark.parametrize("suffix", [".npy", ".parquet"])
def test_command_line_writes_float16(tmp_path, model_dir, suffix):
    texts = tmp_path / "texts.txt"
    texts.write_text("\n".join(TEXTS) + "\n")
    output = tmp_path / f"out{suffix}"
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "korvane",
            "embed",
            str(model_dir),
            str(texts),
            "-o",
            str(output),
            "--dtype",
            "f16",
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert "x 16 float16" in result.stderr
    expected = korvane.Model.load(model_dir).encode(TEXTS, dtype=np.float16)
    if suffix == ".npy":
        written = np.load(output)
    else:
        pq = pytest.importorskip("pyarrow.parquet")
        column = pq.read_table(output).column("embedding").combine_chunks()
        assert str(column.type.value_type) == "halffloat"
        written = column.values.to_numpy().reshape(len(TEXTS), 16)
    assert written.dtype == np.float16 and np.array_equal(written, expected)
