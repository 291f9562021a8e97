"""The package's types: mypy --strict accepts its sources with the native module's stub, and
the stub names what the native module holds."""

import pathlib
import subprocess
import sys

import pytest

import korvane._native

PACKAGE = pathlib.Path(__file__).parents[2] / "korvane"


def test_mypy_strict_accepts_the_package():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(PACKAGE)],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_lists_the_native_names():
    stub = (PACKAGE / "_native.pyi").read_text()
    public = {name for name in dir(korvane._native) if not name.startswith("_")}
    assert public == {"Table", "read_tensor_entries"}
    for name in public:
        assert f"{name}" in stub
    for member in ("rows", "dimension", "dtype", "embed_lists", "embed_flat"):
        assert hasattr(korvane._native.Table, member) and f"def {member}" in stub
    assert (PACKAGE / "py.typed").exists()
