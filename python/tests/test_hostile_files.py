"""Malformed, truncated and hostile model files. Each ends in a clean exception (RuntimeError for
a load error, PanicException for a violated bound), never a crash or a hang, and the instance
works once a good file is in place."""

import faulthandler
import os
import re
import socket
import struct

import pytest

from conftest import TABLE, is_panic
from korvane_py import StaticEmbedding
from model_files import model_file_bytes, write_model

DATA = struct.pack("<12f", *(value for row in TABLE for value in row))  # 4 rows of 3 F32
NO_TENSOR = "Could not find tensor details for the current safetensors model"
U64_MAX = 2**64 - 1


def entry(dtype="F32", shape=(4, 3), offsets=(0, 48)):
    return {"dtype": dtype, "shape": list(shape), "data_offsets": list(offsets)}


def tensor_file(tensor, data=DATA):
    return model_file_bytes({"t": tensor}, data)


def raw_file(header, data=DATA, length=None):
    """`header` (bytes) behind a length prefix that says `length`, by default its own length."""
    return struct.pack("<Q", len(header) if length is None else length) + header + data


GOOD = tensor_file(entry())
GOOD_HEADER_LENGTH = struct.unpack("<Q", GOOD[:8])[0]
GOOD_HEADER = GOOD[8 : 8 + GOOD_HEADER_LENGTH]


class Exact(str):
    def matches(self, message):
        return message == self


class Pattern(str):
    def matches(self, message):
        return re.fullmatch(self, message) is not None


def serde(reason=".*"):
    """A JSON fault: the reason the parser gives, then its position."""
    return Pattern(f"SerDe Error: {reason} at line \\d+ column \\d+")


def nested(levels):
    """A header whose metadata is nested `levels` deep, the top-level object counting as one."""
    inner = "[" * (levels - 1) + "]" * (levels - 1)
    return f'{{"__metadata__":{inner},"t":["F32",[4,3],[0,48]]}}'.encode()


# Files the reader refuses: (id, content, expected RuntimeError message).
LOAD_ERRORS = [
    # The header length and the header
    ("length-zero", raw_file(b"", b""), serde("EOF while parsing a value")),
    (
        "length-cuts-header",
        raw_file(GOOD_HEADER, DATA, GOOD_HEADER_LENGTH - 1),
        serde("EOF while parsing an object"),
    ),
    (
        "length-takes-data",
        raw_file(GOOD_HEADER, DATA, GOOD_HEADER_LENGTH + 4),
        serde("trailing characters"),
    ),
    ("header-all-nul", raw_file(b"\0" * 16), serde()),
    ("nul-padding", raw_file(GOOD_HEADER + b"\0\0\0"), serde("trailing characters")),
    ("nul-before", raw_file(b"\0" + GOOD_HEADER), serde("expected value")),
    ("nul-in-string", raw_file(b'{"t\0":["F32",[4,3],[0,48]]}'), serde()),
    ("byte-order-mark", raw_file(b"\xef\xbb\xbf" + GOOD_HEADER), serde("expected value")),
    # Not JSON
    ("trailing-comma", raw_file(b'{"t":["F32",[4,3],[0,48]],}'), serde()),
    ("comment", raw_file(b'{/* x */"t":["F32",[4,3],[0,48]]}'), serde()),
    ("single-quotes", raw_file(b"{'t':['F32',[4,3],[0,48]]}"), serde("key must be a string")),
    ("unquoted-key", raw_file(b'{t:["F32",[4,3],[0,48]]}'), serde("key must be a string")),
    ("unterminated-string", raw_file(b'{"t'), serde()),
    (
        "unterminated-object",
        raw_file(b'{"t":["F32",[4,3],[0,48]]'),
        serde("EOF while parsing an object"),
    ),
    (
        "nan-literal",
        raw_file(b'{"__metadata__":NaN,"t":["F32",[4,3],[0,48]]}'),
        serde("expected value"),
    ),
    ("leading-zero", raw_file(b'{"t":["F32",[4,3],[0,048]]}'), serde()),
    ("bad-escape", raw_file(b'{"\\x41":1}'), serde()),
    ("control-character", raw_file(b'{"\n":1}'), serde()),
    ("two-objects", raw_file(GOOD_HEADER + GOOD_HEADER), serde("trailing characters")),
    # Invalid UTF-8
    ("utf8-in-key", raw_file(b'{"\xc3\x28":1}'), serde()),
    ("utf8-in-value", raw_file(b'{"__metadata__":"\xff","t":["F32",[4,3],[0,48]]}'), serde()),
    ("utf8-overlong", raw_file(b'{"\xc0\x80":1}'), serde()),
    ("utf8-surrogate", raw_file(b'{"\xed\xa0\x80":1}'), serde()),
    ("utf8-cut", raw_file(b'{"\xe2\x82":1}'), serde()),
    ("utf8-outside-string", raw_file(b"{\xff}"), serde()),
    # Nesting: 127 levels parse; more fail without exhausting the stack
    ("nesting-128", raw_file(nested(128)), serde("recursion limit exceeded")),
    ("nesting-deep-arrays", raw_file(b'{"a":' + b"[" * 100_000), serde("recursion limit exceeded")),
    ("nesting-deep-objects", raw_file(b'{"a":' * 100_000), serde("recursion limit exceeded")),
    # The top level is not an object
    ("top-level-array", raw_file(b'[["F32",[4,3],[0,48]]]'), serde("invalid type: .*a map.*")),
    ("top-level-string", raw_file(b'"t"'), serde("invalid type: .*a map.*")),
    ("top-level-number", raw_file(b"48"), serde("invalid type: .*a map.*")),
    ("top-level-null", raw_file(b"null"), serde("invalid type: .*a map.*")),
    # No usable tensor description: wrong types and shapes of every field
    ("empty-object", model_file_bytes({}), Exact(NO_TENSOR)),
    ("only-metadata", model_file_bytes({"__metadata__": entry()}, DATA), Exact(NO_TENSOR)),
    *(
        (f"dtype-{name}", tensor_file(entry(dtype=dtype)), Exact(NO_TENSOR))
        for name, dtype in [
            ("number", 5),
            ("null", None),
            ("lower-case", "f32"),
            ("unknown", "U16"),
            ("object-value-zero", {"F32": 0}),
            ("object-two-keys", {"F32": None, "F16": None}),
            ("list", ["F32"]),
        ]
    ),
    *(
        (f"shape-{name}", tensor_file(entry(shape=shape)), Exact(NO_TENSOR))
        for name, shape in [
            ("one-value", [4]),
            ("three-values", [4, 3, 1]),
            ("negative", [4, -3]),
            ("fraction", [4, 3.0]),
            ("beyond-u64", [4, 2**64]),
            ("strings", ["4", "3"]),
        ]
    ),
    (
        "shape-string",
        tensor_file({"dtype": "F32", "shape": "4x3", "data_offsets": [0, 48]}),
        Exact(NO_TENSOR),
    ),
    *(
        (f"offsets-{name}", tensor_file(entry(offsets=offsets)), Exact(NO_TENSOR))
        for name, offsets in [
            ("one-value", [0]),
            ("three-values", [0, 48, 48]),
            ("negative", [-1, 48]),
            ("fraction", [0, 48.5]),
            ("beyond-u64", [0, 2**64]),
            ("boolean", [0, True]),
        ]
    ),
    ("offsets-exponent", raw_file(b'{"t":["F32",[4,3],[0,4.8e1]]}'), Exact(NO_TENSOR)),
    *(
        (f"entry-{name}", tensor_file(value), Exact(NO_TENSOR))
        for name, value in [
            ("number", 1),
            ("string", "F32"),
            ("null", None),
            ("empty-list", []),
            ("two-fields", ["F32", [4, 3]]),
            ("four-fields", ["F32", [4, 3], [0, 48], 1]),
            ("missing-offsets", {"dtype": "F32", "shape": [4, 3]}),
        ]
    ),
]

# Files whose header length or tensor offsets break the file's bounds: (id, content, message).
BOUND_FAILURES = [
    *(
        (f"truncated-to-{length}", GOOD[:length], "mid > len")
        for length in (0, 1, 7, 8, 9, 8 + GOOD_HEADER_LENGTH // 2, 8 + GOOD_HEADER_LENGTH - 1)
    ),
    (
        "truncated-data",
        GOOD[: 8 + GOOD_HEADER_LENGTH],
        "range end index 48 out of range for slice of length 0",
    ),
    ("truncated-last-byte", GOOD[:-1], "range end index 48 out of range for slice of length 47"),
    *(
        (f"length-{name}", raw_file(GOOD_HEADER, DATA, length), "mid > len")
        for name, length in [
            ("one-beyond", GOOD_HEADER_LENGTH + len(DATA) + 1),
            ("2^32-wrap", 2**32 + GOOD_HEADER_LENGTH),
            ("2^63", 2**63),
            ("max", U64_MAX),
        ]
    ),
    (
        "offsets-end-max",
        tensor_file(entry(offsets=(0, U64_MAX))),
        f"range end index {U64_MAX} out of range for slice of length 48",
    ),
    (
        "offsets-both-max",
        tensor_file(entry(offsets=(U64_MAX, U64_MAX))),
        f"range start index {U64_MAX} out of range for slice of length 48",
    ),
    (
        "offsets-start-2^63",
        tensor_file(entry(offsets=(2**63, 0))),
        f"range start index {2**63} out of range for slice of length 48",
    ),
    (
        "offsets-one-beyond",
        tensor_file(entry(offsets=(49, 49))),
        "range start index 49 out of range for slice of length 48",
    ),
    (
        "offsets-reversed",
        tensor_file(entry(offsets=(20, 10))),
        "slice index starts at 20 but ends at 10",
    ),
    (
        "offsets-no-data",
        tensor_file(entry(offsets=(0, 1)), b""),
        "range end index 1 out of range for slice of length 0",
    ),
]

# Files that load, but whose table cannot serve the tokens asked for: (id, content, tokens,
# message, the first row where it fits). The table stays loaded, so each call fails anew the same
# way, and rows that fit stay usable. A huge dimension fails at the first token's bound, before
# memory for the dimension's floats is asked for.
GEOMETRY_FAILURES = [
    (
        "dimension-2^40",
        tensor_file(entry(shape=(4, 2**40))),
        [0],
        f"range end index {4 * 2**40} out of range for slice of length 48",
        None,
    ),
    (
        "dimension-2^62",
        tensor_file(entry(shape=(4, 2**62))),
        [0],
        f"range end index {2**64} out of range for slice of length 48",
        None,
    ),
    (
        "dimension-max",
        tensor_file(entry(shape=(4, U64_MAX))),
        [0],
        f"range end index {4 * U64_MAX} out of range for slice of length 48",
        None,
    ),
    (
        "f64-dimension-2^61",
        tensor_file(entry(dtype="F64", shape=(1, 2**61))),
        [0],
        f"range end index {2**64} out of range for slice of length 48",
        None,
    ),
    (
        "rows-longer-than-declared",
        tensor_file(entry(shape=(4, 4))),
        [0, 3],
        "range end index 64 out of range for slice of length 48",
        [1.0, 0.0, 0.0, 0.0],
    ),
    (
        "token-max",
        GOOD,
        [0, 2**32 - 1],
        "range start index 51539607540 out of range for slice of length 48",
        TABLE[0],
    ),
    (
        "empty-table",
        tensor_file(entry(offsets=(0, 0)), b""),
        [0],
        "range end index 12 out of range for slice of length 0",
        None,
    ),
]


@pytest.fixture(autouse=True)
def no_hang():
    """Ends the run with every thread's traceback if a test hangs."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def raised_by(call):
    """The exception `call` raises, PanicException included, which is not an Exception."""
    try:
        call()
    except BaseException as exception:
        return exception
    pytest.fail("no exception")


def assert_recovers(directory, model):
    """Once a good file is in place, the instance computes from it."""
    path = directory / "model.safetensors"
    if path.is_dir() and not path.is_symlink():
        path.rmdir()
    elif path.exists() or path.is_symlink():
        path.unlink()
    write_model(directory, TABLE)
    assert model.embed_tokens([2, 0]) == [2.0, 2.0, 0.0]


@pytest.mark.parametrize(
    "content, message", [case[1:] for case in LOAD_ERRORS], ids=[case[0] for case in LOAD_ERRORS]
)
def test_load_error(tmp_path, content, message):
    (tmp_path / "model.safetensors").write_bytes(content)
    model = StaticEmbedding(str(tmp_path), normalize=False)
    for _ in range(2):  # a failed load leaves the instance unloaded: the file is read again
        error = raised_by(lambda: model.embed_tokens([0]))
        assert type(error) is RuntimeError and len(error.args) == 1
        assert message.matches(error.args[0]), error.args[0]
    assert_recovers(tmp_path, model)


@pytest.mark.parametrize(
    "content, message",
    [case[1:] for case in BOUND_FAILURES],
    ids=[case[0] for case in BOUND_FAILURES],
)
def test_bound_failure(tmp_path, content, message):
    (tmp_path / "model.safetensors").write_bytes(content)
    model = StaticEmbedding(str(tmp_path), normalize=False)
    for tokens in ([0], []):  # the load runs before the tokens are looked at
        error = raised_by(lambda: model.embed_tokens(tokens))
        assert is_panic(error) and error.args == (message,)
    assert_recovers(tmp_path, model)


@pytest.mark.parametrize(
    "content, tokens, message, first_row",
    [case[1:] for case in GEOMETRY_FAILURES],
    ids=[case[0] for case in GEOMETRY_FAILURES],
)
def test_table_too_small_for_its_rows(tmp_path, content, tokens, message, first_row):
    (tmp_path / "model.safetensors").write_bytes(content)
    model = StaticEmbedding(str(tmp_path), normalize=False)
    for _ in range(2):
        error = raised_by(lambda: model.embed_tokens(tokens))
        assert is_panic(error) and error.args == (message,)
    if first_row is not None:
        assert model.embed_tokens([0]) == first_row


# Things at the model file's path that are no regular file. Each is put in place after the
# instance was made from a good directory, so the first call meets it when it loads.
def make_directory(path):
    path.mkdir()


def make_fifo(path):
    os.mkfifo(path)  # nobody writes: it reads as empty


def make_symlink_loop(path):
    path.symlink_to(path.name)


def make_dangling_symlink(path):
    path.symlink_to("gone.safetensors")


def make_memory_link(path):
    path.symlink_to("/proc/self/mem")  # opens, but reading at offset 0 fails, for root too


def make_socket(path):
    listener = socket.socket(socket.AF_UNIX)
    cwd = os.getcwd()
    os.chdir(path.parent)  # a relative name keeps clear of the socket path length limit
    try:
        listener.bind(path.name)
    finally:
        os.chdir(cwd)
    return listener


def make_unreadable(path):
    if os.geteuid() == 0:
        pytest.skip("root reads a file whatever its mode; /proc/self/mem and a socket stand in")
    path.write_bytes(GOOD)
    path.chmod(0)


SPECIAL_FILES = [
    (
        make_directory,
        RuntimeError,
        "IO Error: is a directory. Details: Is a directory (os error 21)",
    ),
    (make_fifo, "panic", "mid > len"),
    (
        make_symlink_loop,
        RuntimeError,
        "IO Error: filesystem loop or indirection limit (e.g. symlink loop). "
        "Details: Too many levels of symbolic links (os error 40)",
    ),
    (
        make_dangling_symlink,
        RuntimeError,
        "IO Error: entity not found. Details: No such file or directory (os error 2)",
    ),
    (
        make_memory_link,
        RuntimeError,
        "IO Error: uncategorized error. Details: Input/output error (os error 5)",
    ),
    (
        make_socket,
        RuntimeError,
        "IO Error: uncategorized error. Details: No such device or address (os error 6)",
    ),
    (
        make_unreadable,
        RuntimeError,
        "IO Error: permission denied. Details: Permission denied (os error 13)",
    ),
]


@pytest.mark.parametrize(
    "make, kind, message",
    SPECIAL_FILES,
    ids=[case[0].__name__.removeprefix("make_") for case in SPECIAL_FILES],
)
def test_special_file_at_the_model_path(tmp_path, make, kind, message):
    model = StaticEmbedding(write_model(tmp_path, TABLE), normalize=False)
    path = tmp_path / "model.safetensors"
    path.unlink()
    keep_alive = make(path)
    try:
        for _ in range(2):
            error = raised_by(lambda: model.embed_tokens([0]))
            if kind == "panic":
                assert is_panic(error)
            else:
                assert type(error) is kind
            assert error.args == (message,)
    finally:
        if keep_alive is not None:
            keep_alive.close()
    assert_recovers(tmp_path, model)


def test_symlink_loop_or_dangling_link_fails_the_constructor(tmp_path):
    make_symlink_loop(tmp_path / "model.safetensors")
    with pytest.raises(ValueError, match="Could not find `models.safetensors`"):
        StaticEmbedding(str(tmp_path), normalize=False)
    (tmp_path / "model.safetensors").unlink()
    make_dangling_symlink(tmp_path / "model.safetensors")
    with pytest.raises(ValueError, match="Could not find `models.safetensors`"):
        StaticEmbedding(str(tmp_path), normalize=False)
