"""The type stub shipped beside korvane_py, checked against the module and by mypy."""

import pathlib
import re
import subprocess
import sys
import textwrap

import korvane_py

STUB = pathlib.Path(korvane_py.__file__).parent / "korvane_py-stubs" / "__init__.pyi"
EXPECTED_STUB = pathlib.Path(__file__).with_name("expected_korvane_py.pyi")


def run_module(*args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, check=False
    )


def test_installed_stub_is_the_reviewed_text():
    assert STUB.read_text(encoding="utf-8") == EXPECTED_STUB.read_text(encoding="utf-8")


def test_stub_agrees_with_the_module_at_run_time(tmp_path):
    result = run_module("mypy.stubtest", "korvane_py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# error" must be reported, and nothing else.
USAGE = textwrap.dedent(
    """\
    from typing import assert_type

    from korvane_py import StaticEmbedding

    reveal_type(StaticEmbedding("d").embed_tokens([1]))
    assert_type(StaticEmbedding("d").embed_tokens([1]), list[float])
    StaticEmbedding("d", normalize=False).embed_tokens(range(3))
    StaticEmbedding(model_dir="d", normalize=True).embed_tokens(tokens=(1, 2))
    embedding: list[float] = StaticEmbedding("d").embed_tokens(b"ab")
    StaticEmbedding(b"d")  # error
    StaticEmbedding("d", 1)  # error
    StaticEmbedding("d", norm=True)  # error
    StaticEmbedding("d").embed_tokens("12")  # error
    StaticEmbedding("d").embed_tokens([1.0])  # error
    StaticEmbedding("d").embed_tokens({1, 2})  # error
    tuple_result: tuple[float, ...] = StaticEmbedding("d").embed_tokens([1])  # error


    class Derived(StaticEmbedding):  # error
        pass
    """
)


def test_mypy_checks_usage_against_the_stub(tmp_path):
    usage = tmp_path / "usage.py"
    usage.write_text(USAGE, encoding="utf-8")
    result = run_module(
        "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(usage), cwd=tmp_path
    )
    output = result.stdout + result.stderr

    reveal_line = USAGE.splitlines().index('reveal_type(StaticEmbedding("d").embed_tokens([1]))')
    # Recent mypy versions reveal builtin names unqualified.
    assert re.search(
        rf'usage\.py:{reveal_line + 1}: note: Revealed type is "(builtins\.)?list\[(builtins\.)?float\]"',
        output,
    ), output
    reported = {int(line) for line in re.findall(r"^\S*usage\.py:(\d+): error:", output, re.M)}
    expected = {
        number
        for number, line in enumerate(USAGE.splitlines(), start=1)
        if line.endswith("# error")
    }
    assert reported == expected, output


# The description lives in the shared object for the generator only; Python sees just the class.
def test_importing_exposes_no_part_of_the_description():
    assert sorted(vars(korvane_py.StaticEmbedding)) == [
        "__doc__",
        "__module__",
        "__new__",
        "embed_tokens",
    ]
