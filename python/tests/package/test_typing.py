"""The package's types: mypy --strict accepts its sources with the native module's stub, and
stubtest finds the stub true to the module."""

import os
import pathlib
import subprocess
import sys

import pytest

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
