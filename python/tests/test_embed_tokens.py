import array
import collections.abc
import re
import threading

import numpy as np
import pytest

from conftest import TABLE, is_panic
from korvane_py import StaticEmbedding
from model_files import model_file_bytes, write_model

NOTE = ["while processing 'tokens'"]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def param_id(value):
    """The value's repr without an object's address, which differs between processes: the
    workers of pytest-xdist must give each test the same name."""
    return re.sub(r" at 0x[0-9a-f]+", "", repr(value))


class Index:
    def __init__(self, value, on_index=lambda: None):
        self.value, self.on_index = value, on_index

    def __index__(self):
        self.on_index()
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Items(collections.abc.Sequence):
    """A sequence that is neither a list nor a tuple; `iterate` replaces its __iter__."""

    def __init__(self, items, iterate=None):
        self.items, self.iterate = items, iterate

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return self.iterate() if self.iterate else iter(self.items)

    def __repr__(self):
        return f"{type(self).__name__}({self.items})"


class ListOf(list):
    pass


class LyingLength(Items):
    def __len__(self):
        return 2**62


class NoLength(Items):
    def __len__(self):
        raise ZeroDivisionError


def float32(value):
    return float(np.float32(value))


@pytest.mark.parametrize(
    "tokens",
    [
        [0, 2],
        (0, 2),
        range(0, 3, 2),
        b"\x00\x02",
        bytearray(b"\x00\x02"),
        np.array([0, 2]),
        np.array([0, 2], dtype=np.uint8),
        np.array([0, 2], dtype=np.uint32),
        [np.int64(0), np.uint16(2)],
        [Index(0), Index(2)],
        (Index(0), 2),
        array.array("I", [0, 2]),
        ListOf([0, 2]),
        Items([0, 2]),
        LyingLength([0, 2]),
        NoLength([0, 2]),
        [False, 2],
    ],
    ids=param_id,
)
def test_accepted_token_sequences(model, tokens):
    result = model.embed_tokens(tokens)
    assert type(result) is list and all(type(value) is float for value in result)
    assert result == [2.0, 2.0, 0.0]


def test_results(model, model_dir):
    assert model.embed_tokens(tokens=[True, False]) == [0.5, 1.0, 0.0]
    assert model.embed_tokens([3]) == [float32(0.1), float32(0.2), float32(0.3)]
    assert StaticEmbedding(model_dir).embed_tokens([2]) == [float32(0.6), float32(0.8), 0.0]
    assert len(model.embed_tokens([])) == len(TABLE[0])


@pytest.mark.parametrize(
    "tokens, error, message",
    [
        ("12", TypeError, "Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("1"), TypeError, "Can't extract `str` to `Vec`"),
        ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        (iter([1]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        ((x for x in [1]), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        (7, TypeError, "'int' object is not an instance of 'Sequence'"),
        ([-1], OverflowError, OUT_OF_RANGE),
        ((0, 2**32), OverflowError, OUT_OF_RANGE),
        ([Index(-5)], OverflowError, OUT_OF_RANGE),
        (np.array([2**32]), OverflowError, OUT_OF_RANGE),
        ([2**64], OverflowError, None),
        ([1.0], TypeError, None),
        (ListOf([0, "1"]), TypeError, None),
        (Items([0], iterate=lambda: 1 / 0), ZeroDivisionError, None),
        (
            Items([0], iterate=lambda: iter([Index(1, on_index=lambda: 1 / 0)])),
            ZeroDivisionError,
            None,
        ),
    ],
    ids=param_id,
)
def test_refused_token_sequences(model, tokens, error, message):
    with pytest.raises(error) as raised:
        model.embed_tokens(tokens)
    if message is not None:
        assert raised.value.args == (message,)
    assert raised.value.__notes__ == NOTE


class Registered:
    def __iter__(self):
        return iter([0])


collections.abc.Sequence.register(Registered)


def test_registered_sequence_without_sequence_protocol_is_refused(model):
    with pytest.raises(TypeError) as raised:
        model.embed_tokens(Registered())
    assert raised.value.args == ("'Registered' object is not an instance of 'Sequence'",)


def test_first_failure_ends_the_conversion(model):
    taken = []

    def items():
        for item in [0, -1, 2]:
            taken.append(item)
            yield item

    with pytest.raises(OverflowError):
        model.embed_tokens(Items([], iterate=items))
    assert taken == [0, -1]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 1 required positional argument: 'tokens'"),
        (([1], [2]), {}, "takes 1 positional arguments but 2 were given"),
        (([1], [2], [3]), {}, "takes 1 positional arguments but 3 were given"),
        ((), {"token": [1]}, "got an unexpected keyword argument 'token'"),
        (([1],), {"tokens": [1]}, "got multiple values for argument 'tokens'"),
        (("bad", "args"), {}, "takes 1 positional arguments but 2 were given"),
    ],
)
def test_binding_errors(model, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        model.embed_tokens(*args, **kwargs)
    assert raised.value.args == ("StaticEmbedding.embed_tokens() " + message,)


@pytest.mark.parametrize("source", ["list", "list subclass"])
def test_items_that_shrink_the_list_while_converting(model, source):
    # The list's own iterator stops once the index passes the current size; the by-index fast
    # path for exact lists must too, and must keep the item alive while it runs.
    tokens = [] if source == "list" else ListOf()
    tokens.extend([Index(0, on_index=tokens.clear), 2])
    assert model.embed_tokens(tokens) == [1.0, 0.0, 0.0]


def remove_file(directory):
    (directory / "model.safetensors").unlink()


def replace_with_directory(directory):
    remove_file(directory)
    (directory / "model.safetensors").mkdir()


def write_bytes(content):
    return lambda directory: (directory / "model.safetensors").write_bytes(content)


@pytest.mark.parametrize(
    "damage, message",
    [
        (
            remove_file,
            "IO Error: entity not found. Details: No such file or directory (os error 2)",
        ),
        (replace_with_directory, "IO Error: is a directory. Details: Is a directory (os error 21)"),
        (write_bytes(model_file_bytes(b"{")), "SerDe Error: "),
        (
            write_bytes(model_file_bytes({"__metadata__": {}})),
            "Could not find tensor details for the current safetensors model",
        ),
    ],
    ids=["missing", "directory", "malformed", "no tensor"],
)
def test_load_failure_is_retried_after_the_file_is_fixed(tmp_path, model, damage, message):
    damage(tmp_path)
    for _ in range(2):
        with pytest.raises(RuntimeError) as raised:
            model.embed_tokens([0])
        assert len(raised.value.args) == 1 and raised.value.args[0].startswith(message)
    if (tmp_path / "model.safetensors").is_dir():
        (tmp_path / "model.safetensors").rmdir()
    write_model(tmp_path, TABLE)
    assert model.embed_tokens([0]) == [1.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "tokens, message",
    [
        ([0, 4], "range end index 60 out of range for slice of length 48"),
        ([10], "range start index 120 out of range for slice of length 48"),
    ],
)
def test_token_beyond_the_table_panics_and_leaves_the_instance_usable(model, tokens, message):
    with pytest.raises(BaseException) as raised:
        try:
            model.embed_tokens(tokens)
        except Exception:
            pytest.fail("PanicException must not be caught as an Exception")
    assert is_panic(raised.value) and raised.value.args == (message,)
    assert model.embed_tokens([0]) == [1.0, 0.0, 0.0]


def test_reentrant_call_is_refused(model):
    inner_errors = []

    def call_again():
        for bad in ([1], "not even tokens"):
            with pytest.raises(RuntimeError) as raised:
                model.embed_tokens(bad)
            inner_errors.append(raised.value.args)
        with pytest.raises(TypeError, match="missing 1 required"):
            model.embed_tokens()
        return model.embed_tokens([1])  # propagates out of the outer conversion

    with pytest.raises(RuntimeError) as raised:
        model.embed_tokens(Items([], iterate=call_again))
    assert inner_errors == [("Already borrowed",)] * 2
    assert raised.value.args == ("Already borrowed",) and raised.value.__notes__ == NOTE
    assert model.embed_tokens([1]) == [0.0, 2.0, 0.0]


def test_second_thread_is_refused_while_the_first_converts(model):
    entered, release, results = threading.Event(), threading.Event(), []

    def blocking_iteration():
        entered.set()
        release.wait(timeout=60)
        return iter([0, 2])

    worker = threading.Thread(
        target=lambda: results.append(model.embed_tokens(Items([], iterate=blocking_iteration)))
    )
    worker.start()
    try:
        assert entered.wait(timeout=60)
        with pytest.raises(RuntimeError) as raised:
            model.embed_tokens([0])
        assert raised.value.args == ("Already borrowed",)
    finally:
        release.set()
        worker.join()
    assert results == [[2.0, 2.0, 0.0]]
    assert model.embed_tokens([0]) == [1.0, 0.0, 0.0]
