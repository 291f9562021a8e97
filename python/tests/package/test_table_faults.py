"""Tables a careless or hostile file gives: no rows, fewer rows than the tokenizer's IDs, a header
that claims a huge width, values too large for single precision. Each must give the right rows or
a clear error naming the text, never a crash, a silently wrong row or memory the work does not
need. Calls that crashed the interpreter run in a fresh process."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvane
import korvane_py
from korvane import _native
from korvane.cli import main

from .package_models import make_tokenizer, safetensors_bytes, write_table

BACKENDS = ["native", "tokenizers"]
# In the tests' tokenizer: "the" 4, "cat" 6, "sat" 8, "storm" 12; "zebra" and "quantum" are
# unknown ([UNK] 1). U+1C89 is newer than the native table: its texts go to tokenizers.
DEFERRED = "\u1c89"


def model_dir(directory, table):
    write_table(directory, np.asarray(table, np.float32))
    make_tokenizer().save(str(directory / "tokenizer.json"))
    return directory


def run_fresh(code, *arguments):
    """Runs `code` in a fresh interpreter; a crash fails the test instead of ending the run."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    return result.stdout


# ---------------------------------------------------------------------------------------------
# A table of no rows


@pytest.mark.parametrize("backend", BACKENDS)
def test_a_table_without_rows_gives_zero_rows_for_texts_without_tokens(tmp_path, backend):
    directory = model_dir(tmp_path / "model", np.zeros((0, 4)))
    output = run_fresh(
        """
        import sys, numpy as np, korvane
        model = korvane.Model.load(sys.argv[1], backend=sys.argv[2])
        rows = [
            model.embed_ids([[]]), model.embed_ids([[], ()]), model.embed_ids([]),
            model.encode([""]), model.encode(["zebra quantum", "   "]), model.encode([]),
            model.embed_ids(np.array([], np.int64), offsets=[0, 0]),
            model.embed_ids(np.array([], np.int64), offsets=[0]),
        ]
        print([row.shape for row in rows], all(not row.any() for row in rows))
        for call in (lambda: model.embed_ids([[], [0]]), lambda: model.encode(["", "", "the"])):
            try:
                call()
            except IndexError as error:
                print(error)
        """,
        directory,
        backend,
    )
    assert output.splitlines() == [
        "[(1, 4), (2, 4), (0, 4), (1, 4), (2, 4), (0, 4), (1, 4), (0, 4)] True",
        "token ID 0 in sentence 1 is outside the table (vocab_size 0)",
        "token ID 4 in texts[2] is outside the table (vocab_size 0)",
    ]


def test_korvane_embed_of_blank_lines_with_a_table_without_rows(tmp_path):
    directory = model_dir(tmp_path / "model", np.zeros((0, 3)))
    (tmp_path / "in.txt").write_text("\n  \nzebra\n")
    run_fresh(
        """
        import sys
        from korvane.cli import main
        sys.exit(main(["embed", sys.argv[1], sys.argv[2], "-o", sys.argv[3]]))
        """,
        directory,
        tmp_path / "in.txt",
        tmp_path / "out.npy",
    )
    assert np.load(tmp_path / "out.npy").tolist() == [[0.0] * 3] * 3


def test_korvane_py_on_a_table_without_rows(tmp_path):
    directory = model_dir(tmp_path / "model", np.zeros((0, 2)))
    output = run_fresh(
        """
        import sys, korvane_py
        model = korvane_py.StaticEmbedding(sys.argv[1])
        print(model.embed_tokens([]))
        try:
            model.embed_tokens([0])
        except BaseException as error:  # its documented PanicException
            print(error)
        """,
        directory,
    )
    assert output.splitlines() == [
        "[nan, nan]",
        "range end index 8 out of range for slice of length 0",
    ]


# ---------------------------------------------------------------------------------------------
# A table with fewer rows than the tokenizer's IDs: one rule for both backends


@pytest.fixture
def eleven_rows(tmp_path):
    """Rows for IDs 0 to 10: "storm" (12) has none."""
    table = np.random.default_rng(3).standard_normal((11, 8))
    return model_dir(tmp_path / "model", table)


def outcome(model, texts, **options):
    try:
        return model.encode(texts, **options).tobytes()
    except IndexError as error:
        return str(error)


@pytest.mark.parametrize(
    ("texts", "options", "expected"),
    [
        # IDs past max_length are never looked up, whoever tokenizes.
        (["the cat storm"], {"max_length": 2}, None),
        (["the cat", f"{DEFERRED} storm"], {"max_length": 1}, None),
        # The first text that fails, in input order, even when the tokenizers package takes it.
        (["the", f"{DEFERRED} storm", "storm"], {}, "token ID 12 in texts[1]"),
        (["storm", f"{DEFERRED} storm"], {}, "token ID 12 in texts[0]"),
        (["the"] * 4100 + ["storm"], {}, "token ID 12 in texts[4100]"),
        (["the"] * 4100 + [f"a {DEFERRED} storm"] + ["storm"], {}, "token ID 12 in texts[4100]"),
        (["the"] * 10 + ["storm"] * 3, {"batch_size": 3}, "token ID 12 in texts[10]"),
    ],
)
def test_ids_outside_the_table_are_checked_after_the_cut_by_both_backends(
    eleven_rows, texts, options, expected
):
    assert _native.Tokenizer(eleven_rows / "tokenizer.json").tokenize(DEFERRED) is None
    results = [
        outcome(korvane.Model.load(eleven_rows, backend=backend), texts, **options)
        for backend in BACKENDS
    ]
    assert results[0] == results[1]
    if expected is None:
        assert isinstance(results[0], bytes)
    else:
        assert results[0] == f"{expected} is outside the table (vocab_size 11)"


@pytest.mark.parametrize("backend", BACKENDS)
def test_an_unknown_token_beyond_the_table_is_left_out_before_the_check(tmp_path, backend):
    directory = model_dir(tmp_path / "model", np.ones((1, 4)))  # [UNK] is 1: no row
    model = korvane.Model.load(directory, backend=backend)
    assert not model.encode(["zebra", f"quantum {DEFERRED}"]).any()
    with pytest.raises(IndexError, match=r"token ID 4 in texts\[3\] is outside"):
        list(model.encode_iter(["zebra", "", "[PAD]", "the zebra"], batch_size=2))


def test_korvane_embed_names_the_line_of_the_text(tmp_path, eleven_rows, capsys):
    (tmp_path / "in.txt").write_text("the\n" * 5 + "the storm\n")
    status = main(
        [
            "embed",
            str(eleven_rows),
            str(tmp_path / "in.txt"),
            "-o",
            str(tmp_path / "out.npy"),
            "--batch-size",
            "2",
        ]
    )
    assert status == 1
    assert f"token ID 12 in {tmp_path / 'in.txt'}, line 6 is outside" in capsys.readouterr().err


# ---------------------------------------------------------------------------------------------
# Memory follows the work


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's shadow memory and quarantine add to the peak",
)
def test_a_huge_width_in_a_tiny_file_takes_no_memory_without_rows_to_compute(tmp_path):
    directory = tmp_path / "model"
    directory.mkdir()
    (directory / "model.safetensors").write_bytes(
        safetensors_bytes({"embeddings": ("F32", b"", (0, 2**29))})
    )
    make_tokenizer().save(str(directory / "tokenizer.json"))
    assert (directory / "model.safetensors").stat().st_size < 100
    growth = run_fresh(
        """
        import resource, sys, numpy as np, korvane
        model = korvane.Model.load(sys.argv[1])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for threads in (1, 4):
            assert model.embed_ids([], threads=threads).shape == (0, 2**29)
            assert model.embed_ids(np.array([], np.int64), offsets=[0], threads=threads).size == 0
            assert model.encode([], threads=threads).shape == (0, 2**29)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print((after - before) * 1024)
        """,
        directory,
    )
    assert int(growth) < 64 << 20  # 2 GiB before


# ---------------------------------------------------------------------------------------------
# Values too large for single precision


@pytest.mark.parametrize(
    ("dtype", "raw", "position"),
    [
        ("F32", np.array([0, 0, 0, np.inf], "<f4").tobytes(), "row 1, column 1"),
        ("F32", np.array([np.nan, 0, 0, 0], "<f4").tobytes(), "row 0, column 0"),
        ("F16", np.array([0, 0, -np.inf, 0], "<f2").tobytes(), "row 1, column 0"),
        ("BF16", np.array([0, 0x7FC0, 0, 0], "<u2").tobytes(), "row 0, column 1"),
        ("F64", np.array([0, 0, 0, 1e39], "<f8").tobytes(), "row 1, column 1"),
    ],
)
def test_a_table_with_values_not_finite_in_single_precision_is_refused(
    tmp_path, dtype, raw, position
):
    (tmp_path / "model.safetensors").write_bytes(
        safetensors_bytes({"embeddings": (dtype, raw, (2, 2))})
    )
    with pytest.raises(ValueError, match=f"infinite or NaN in single precision \\({position}\\)"):
        korvane.Model.load(tmp_path)


@pytest.fixture
def large_rows(tmp_path):
    """Row 4 ("the") of 1e19, row 6 ("cat") of 3e38, the others small."""
    table = np.full((33, 4), 0.5)
    table[4], table[6] = 1e19, 3e38
    return model_dir(tmp_path / "model", table)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize(
    ("texts", "normalize", "failing"),
    [
        (["a a", "the", "a"], True, 1),  # squares: 4 x 1e38
        (["a", "a cat cat", "the"], False, 1),  # sum: 6e38
        (["a", "cat", "sat the cat", "the"], True, 1),
        ([f"{DEFERRED} a"] * 3 + [f"cat {DEFERRED}"] + ["cat"], True, 3),
    ],
)
def test_an_embedding_that_overflows_is_an_error_naming_the_text(
    large_rows, backend, texts, normalize, failing
):
    model = korvane.Model.load(large_rows, normalize=normalize, backend=backend)
    with pytest.raises(OverflowError, match=rf"the embedding of texts\[{failing}\] overflows"):
        model.encode(texts)
    ids = [model.tokenizer.encode(text, add_special_tokens=False).ids for text in texts]
    with pytest.raises(OverflowError, match=rf"the embedding of sentence {failing} overflows"):
        model.embed_ids(ids)


def test_large_values_that_fit_match_korvane_py_bit_for_bit(large_rows):
    model = korvane.Model.load(large_rows, normalize=False)
    rows = model.embed_ids([[4], [4, 5], [6, 5]])
    reference = korvane_py.StaticEmbedding(str(large_rows), normalize=False)
    expected = [reference.embed_tokens(ids) for ids in ([4], [4, 5], [6, 5])]
    assert rows.tobytes() == np.array(expected, np.float32).tobytes()
    assert rows[0].tolist() == [np.float32(1e19)] * 4


def test_korvane_embed_reports_an_overflow(tmp_path, large_rows, capsys):
    (tmp_path / "in.txt").write_text("a\nthe\n")
    assert (
        main(["embed", str(large_rows), str(tmp_path / "in.txt"), "-o", str(tmp_path / "out.npy")])
        == 1
    )
    assert "in.txt, line 2 overflows" in capsys.readouterr().err
    assert not (tmp_path / "out.npy").exists()
