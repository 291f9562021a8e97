"""The package's types: mypy --strict accepts its sources with the native module's stub, and
stubtest finds the stub true to the module."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import korvane
import korvane._native

PACKAGE = pathlib.Path(__file__).parents[2] / "korvane"
# mypy keeps its cache in the repository's root (.mypy_cache, ignored by git), so that later runs
# check only what changed; korvane is imported from where it is installed, not from python/.
ROOT = PACKAGE.parents[1]

# Type checking runs no native code of korvane: nothing for the sanitizers to see, at great cost.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="type checks gain nothing under the sanitizers",
)


def test_mypy_strict_accepts_the_package():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(PACKAGE)],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_matches_the_native_module():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "korvane._native"],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert (pathlib.Path(korvane._native.__file__).parent / "py.typed").exists()


# What mypy infers for calls of encode and encode_iter: float16 arrays exactly when dtype= names
# float16, a union when it cannot tell.
SINGLE = "npt.NDArray[np.float32]"
HALF = "npt.NDArray[np.float16]"
INFERRED = [
    ("model.encode(texts)", SINGLE),
    ("model.encode(texts, dtype=np.float32)", SINGLE),
    ("model.encode(texts, dtype='f4')", SINGLE),
    ("model.encode(texts, dtype=np.float16)", HALF),
    ("model.encode(texts, dtype='float16')", HALF),
    ("model.encode(texts, dtype=np.dtype(np.float16))", HALF),
    ("model.encode(texts, batch_size=8, threads=2, dtype=np.float16)", HALF),
    ("model.encode(texts, dtype=chosen)", f"{SINGLE} | {HALF}"),
    ("model.encode_iter(texts)", f"Iterator[{SINGLE}]"),
    ("model.encode_iter(texts, dtype=np.float16)", f"Iterator[{HALF}]"),
    ("model.encode_iter(texts, dtype=chosen)", f"Iterator[{SINGLE}] | Iterator[{HALF}]"),
]


@pytest.fixture(scope="module")
def mypy_on_calls(tmp_path_factory):
    pytest.importorskip("mypy")
    source = tmp_path_factory.mktemp("typing") / "calls.py"
    lines = [
        "from collections.abc import Iterator",
        "from typing import assert_type",
        "import numpy as np",
        "import numpy.typing as npt",
        "import korvane",
        "",
        "def check(model: korvane.Model, texts: list[str], chosen: npt.DTypeLike) -> None:",
    ]
    first = len(lines) + 1
    lines += [f"    assert_type({expression}, {inferred})" for expression, inferred in INFERRED]
    source.write_text("\n".join(lines) + "\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(source)],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    return first, result.stdout + result.stderr


@pytest.mark.parametrize("index", range(len(INFERRED)), ids=[call for call, _ in INFERRED])
def test_mypy_infers_the_element_type_of_encode(mypy_on_calls, index):
    first, output = mypy_on_calls
    assert f"calls.py:{first + index}:" not in output, output
    assert "error" not in output.replace("calls.py", ""), output


@pytest.mark.parametrize(
    "alias, dtype", [("SingleName", np.float32), ("HalfName", np.float16)], ids=str
)
def test_every_name_the_types_accept_is_that_dtype(model_dir, alias, dtype):
    """The string names the overloads type as float32 or float16 are those at run time too."""
    import typing

    from korvane import model as model_module

    names = [
        name
        for member in typing.get_args(getattr(model_module, alias))
        for name in typing.get_args(member)
        if isinstance(name, str)
    ]
    assert names
    model = korvane.Model.load(model_dir)
    for name in names:
        assert model.encode(["the cat"], dtype=name).dtype == dtype, name
        assert next(model.encode_iter(["the cat"], dtype=name)).dtype == dtype, name
