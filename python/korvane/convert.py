"""Turns a 2-D token table into a korvane model directory.

The table (one row per token ID) may be a numpy array, a `.npy` file, one tensor of a
`.safetensors` file, or the token embedding table of a transformer checkpoint directory (one
holding `model.safetensors`, usually with its `tokenizer.json`). The directory receives
`model.safetensors` with the table as tensor "embeddings" in F32 or F16, a copy of the tokenizer
and `config.json` with `normalize`: the layout model2vec writes, so either library reads it.
A `.safetensors` source's token mapping ("mapping") and per-token weights ("weights"), which
Model.load applies, are carried over unchanged beside the table, and a source directory's own
config.json `normalize` is kept unless another is asked for: a model2vec model converts to one
that embeds as it does.

    from korvane.convert import convert
    convert("bert-checkpoint", "my_model", dtype="f16")
"""

from __future__ import annotations

import errno
import json
import math
import os
import shutil
from pathlib import Path
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

from ._files import lies_within, replace_directory
from ._layout import (
    CONFIG_FILE,
    MAPPING_TENSOR,
    MODEL_DIRECTORY_FILES,
    MODEL_FILE,
    READ_TYPES,
    TABLE_NAME,
    TOKENIZER_FILE,
    WEIGHTS_TENSOR,
    WRITTEN_TYPES,
    choose_table,
)

Table: TypeAlias = npt.NDArray[Any]
PathLike: TypeAlias = str | os.PathLike[str]

TENSOR_NAME = TABLE_NAME
# The element types a token mapping and weights may have (as Model.load reads them), each kept as
# it is: the file's name -> numpy's.
TOKEN_TENSOR_TYPES: dict[str, dict[str, str]] = {
    MAPPING_TENSOR: {"I32": "<i4", "I64": "<i8"},
    WEIGHTS_TENSOR: {"F64": "<f8", "F32": "<f4", "F16": "<f2"},
}


def load_table(source: Table | PathLike, tensor: str | None = None) -> Table:
    """Returns the table held by `source`: a numpy array, a `.npy` file, a `.safetensors` file or
    a directory holding `model.safetensors`.

    `tensor` names the table in a safetensors file. Without it the file's only 2-D tensor is
    taken, or else the one with a known name ("embeddings", "embeddings.word_embeddings.weight",
    or that with a prefix such as "bert."), as Model.load takes it; anything else is refused with
    the candidates listed.
    """
    if isinstance(source, np.ndarray):
        return source
    path = Path(source)
    if path.is_dir():
        path = path / MODEL_FILE
    check_regular_file(path)
    if path.suffix == ".npy":
        return np.load(path, allow_pickle=False)  # type: ignore[no-any-return]
    if path.suffix == ".safetensors":
        return read_safetensors_table(path, tensor)
    raise ValueError(f"{path}: expected a .npy or .safetensors file or a model directory")


def choose_tensor(path: Path, shapes: dict[str, list[int]], tensor: str | None) -> str:
    """The name of the table among the tensors of a file (name -> shape)."""
    tables = [name for name, shape in shapes.items() if len(shape) == 2]
    if tensor is not None:
        if tensor not in shapes:
            listed = (
                ", ".join(f"{name} {' x '.join(map(str, shapes[name]))}" for name in tables)
                or "none"
            )
            raise ValueError(f"{path} holds no tensor named {tensor!r}; its 2-D tensors: {listed}")
        if tensor not in tables:
            raise ValueError(f"{path}: tensor {tensor!r} has shape {shapes[tensor]}, not 2-D")
        return tensor
    chosen = choose_table(shapes.items())
    if chosen is not None:
        return chosen
    listed = ", ".join(tables[:8]) or "none"
    raise ValueError(
        f"{path} holds {len(tables)} 2-D tensors ({listed}{', ...' if len(tables) > 8 else ''}); "
        "name the table with --tensor"
    )


def read_header(path: Path) -> tuple[dict[str, Any], int]:
    """The tensor entries of a safetensors file (metadata left out) and where its data starts."""
    with open(path, "rb") as file:
        prefix = file.read(8)
        size = int.from_bytes(prefix, "little")
        if len(prefix) < 8 or size > os.fstat(file.fileno()).st_size - 8:
            raise ValueError(f"{path}: not a safetensors file (it is shorter than its header)")
        try:
            header = json.loads(file.read(size))
        except ValueError as error:  # JSON and UTF-8 errors alike
            raise ValueError(f"{path}: the header is not JSON ({error})") from None
    if not isinstance(header, dict):
        raise ValueError(f"{path}: the header is not a JSON object")
    header.pop("__metadata__", None)
    for name, entry in header.items():
        if not (
            isinstance(entry, dict)
            and isinstance(entry.get("shape"), list)
            and all(isinstance(n, int) and n >= 0 for n in entry["shape"])
        ):
            raise ValueError(f"{path}: tensor {name!r} has no valid shape")
    return header, 8 + size


def read_safetensors_table(path: Path, tensor: str | None = None) -> Table:
    """The table of a safetensors file, read straight from its place in the file."""
    header, data_start = read_header(path)
    tensor = choose_tensor(path, {name: entry["shape"] for name, entry in header.items()}, tensor)
    return read_tensor(path, header, data_start, tensor, READ_TYPES)


def read_tensor(
    path: Path, header: dict[str, Any], data_start: int, tensor: str, types: dict[str, str]
) -> Table:
    """The tensor `tensor` of a safetensors file, refused unless its element type is one of
    `types` (the file's name -> numpy's storage)."""
    entry = header[tensor]
    storage = types.get(entry.get("dtype"))
    if storage is None:
        raise ValueError(
            f"{path}: tensor {tensor!r} holds {entry.get('dtype')}, not one of {', '.join(types)}"
        )
    count = math.prod(entry["shape"])
    offsets = entry.get("data_offsets")
    expected = count * np.dtype(storage).itemsize
    if (
        not isinstance(offsets, list)
        or len(offsets) != 2
        or offsets[1] - offsets[0] != expected
        or offsets[0] < 0
        or data_start + offsets[1] > path.stat().st_size
    ):
        raise ValueError(
            f"{path}: tensor {tensor!r} does not lie within the file as its shape says"
        )
    values = np.fromfile(path, dtype=storage, count=count, offset=data_start + offsets[0])
    if entry["dtype"] == "BF16":
        # numpy has no bfloat16; a BF16 value is the upper half of the F32 with the same bits.
        values = (values.astype(np.uint32) << 16).view(np.float32)
    return values.reshape(entry["shape"])


def load_token_tensors(source: Table | PathLike, tensor: str | None = None) -> dict[str, Table]:
    """The token mapping and per-token weights a `.safetensors` source holds beside its table
    (by their names, each only when present: one of length 0 too), as Model.load would apply
    them; none for other sources. Refused, naming the tensor, when not one-dimensional or of
    an element type Model.load does not read."""
    if isinstance(source, np.ndarray):
        return {}
    path = Path(source)
    if path.is_dir():
        path = path / MODEL_FILE
    if path.suffix != ".safetensors":
        return {}
    header, data_start = read_header(path)
    chosen = choose_tensor(path, {name: entry["shape"] for name, entry in header.items()}, tensor)
    found = {}
    for name, types in TOKEN_TENSOR_TYPES.items():
        if name not in header or name == chosen:
            continue
        if len(header[name]["shape"]) != 1:
            raise ValueError(
                f"{path}: tensor {name!r} has shape {header[name]['shape']}, not one dimension"
            )
        found[name] = read_tensor(path, header, data_start, name, types)
    return found


def check_token_tensors(tensors: dict[str, Table], rows: int) -> None:
    """Refuses a token mapping or weights that Model.load would refuse, naming the tensor."""
    mapping = tensors.get(MAPPING_TENSOR)
    weights = tensors.get(WEIGHTS_TENSOR)
    if mapping is not None:
        outside = np.flatnonzero((mapping < 0) | (mapping >= rows))
        if len(outside):
            raise ValueError(
                f"tensor {MAPPING_TENSOR!r} maps token ID {outside[0]} to row "
                f"{mapping[outside[0]]}, outside the table of {rows} rows"
            )
    if weights is not None:
        expected = rows if mapping is None else len(mapping)
        if len(weights) != expected:
            owner = (
                f"the table has {rows} rows"
                if mapping is None
                else f"tensor {MAPPING_TENSOR!r} maps {expected} token IDs"
            )
            raise ValueError(
                f"tensor {WEIGHTS_TENSOR!r} holds {len(weights)} weights, but {owner}: one "
                "weight per token ID is needed"
            )
        if not np.isfinite(weights).all():
            raise ValueError(
                f"tensor {WEIGHTS_TENSOR!r} holds a weight that is infinite or NaN (token ID "
                f"{np.flatnonzero(~np.isfinite(weights))[0]})"
            )


def safetensors_name(array: Table) -> str:
    """The element type's name in a safetensors header."""
    kind = {"f": "F", "i": "I", "u": "U"}[array.dtype.kind]
    return f"{kind}{8 * array.dtype.itemsize}"


def save_table(path: Path, table: Table, token_tensors: dict[str, Table] | None = None) -> None:
    """Writes `table` (F32 or F16) as tensor "embeddings" of a safetensors file, followed by
    `token_tensors` (name -> one-dimensional array) as they are."""
    tensors = {TENSOR_NAME: table, **(token_tensors or {})}
    header = {}
    data = []
    offset = 0
    for name, array in tensors.items():
        little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
        header[name] = {
            "dtype": safetensors_name(little),
            "shape": list(little.shape),
            "data_offsets": [offset, offset + little.nbytes],
        }
        data.append(little)
        offset += little.nbytes
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)  # the data starts 8-aligned, as readers may expect
    with open(path, "wb") as file:
        file.write(len(text).to_bytes(8, "little") + text)
        for little in data:
            file.write(memoryview(little).cast("B"))


def checked_table(table: Table, dtype: str) -> Table:
    """`table` in the output `dtype`, C-contiguous, after checking it can serve as a model."""
    if dtype not in WRITTEN_TYPES:
        raise ValueError(f"dtype must be one of {', '.join(WRITTEN_TYPES)}, not {dtype!r}")
    if table.ndim != 2 or 0 in table.shape:
        raise ValueError(
            f"the table must be 2-D with at least one row and column, not {table.shape}"
        )
    if not (
        np.issubdtype(table.dtype, np.integer)
        or np.issubdtype(table.dtype, np.floating)
        or table.dtype == np.bool_
    ):
        raise ValueError(f"the table must hold real numbers, not {table.dtype}")
    with np.errstate(over="ignore", invalid="ignore"):
        converted = np.ascontiguousarray(table, dtype=WRITTEN_TYPES[dtype][1])
    if not np.isfinite(converted).all():
        if np.isfinite(table).all():
            raise ValueError(f"the table holds values beyond the range of {dtype}")
        raise ValueError("the table holds NaN or infinite values")
    return converted


def check_regular_file(path: PathLike) -> None:
    """Refuses a path that is missing or is not a regular file (a directory, a FIFO that would
    keep the reader waiting, ...), saying which."""
    from .model import _check_regular

    if not Path(path).exists():
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path))
    _check_regular(Path(path))


def check_tokenizer(tokenizer: PathLike, rows: int, mapped: bool = False) -> None:
    """Refuses a tokenizer that produces token IDs beyond the vocabulary: the table's `rows`,
    or with `mapped` the token IDs the token mapping maps."""
    from tokenizers import Tokenizer

    check_regular_file(tokenizer)

    try:
        vocabulary = Tokenizer.from_file(str(tokenizer)).get_vocab_size(with_added_tokens=True)
    except Exception as error:  # tokenizers reports every failure as a plain Exception
        raise ValueError(f"{tokenizer}: {error}") from error
    if vocabulary > rows:
        # An ID beyond the table would only fail when a text produces it.
        owner = (
            f"the token mapping {MAPPING_TENSOR!r} maps only {rows} token IDs"
            if mapped
            else f"the table has only {rows} rows"
        )
        raise ValueError(f"{tokenizer} produces token IDs up to {vocabulary - 1}, but {owner}")


# The files `write_model_dir` writes; any others of an existing directory are kept.
WRITTEN_FILES = MODEL_DIRECTORY_FILES


def write_model_dir(
    table: Table,
    model_dir: PathLike,
    dtype: str = "f32",
    *,
    tokenizer: PathLike | None = None,
    normalize: bool = True,
    token_tensors: dict[str, Table] | None = None,
) -> Path:
    """Writes `model_dir` with `table` in `dtype` ("f32" or "f16"), the tokenizer.json at
    `tokenizer` (checked against the vocabulary) and a config.json holding `normalize`.
    `token_tensors` ("mapping" and/or "weights", see load_token_tensors) are checked as
    Model.load checks them and written beside the table in their own element types.

    Everything is checked before anything is written. The directory is built beside
    `model_dir` and put in its place whole, so a run that fails or is interrupted (a full disk,
    Ctrl-C) leaves an existing `model_dir` as it was. Files of an existing directory other than
    those three are carried over; its tokenizer.json never is, as it would not index the new
    table. Returns the directory as a Path.
    """
    converted = checked_table(np.asarray(table), dtype.lower())
    token_tensors = token_tensors or {}
    check_token_tensors(token_tensors, converted.shape[0])
    if tokenizer is not None:
        mapping = token_tensors.get(MAPPING_TENSOR)
        vocabulary = converted.shape[0] if mapping is None else len(mapping)
        check_tokenizer(tokenizer, vocabulary, mapped=mapping is not None)
    config = json.dumps({"normalize": normalize}, indent=2) + "\n"

    def build(directory: Path) -> None:
        save_table(directory / MODEL_FILE, converted, token_tensors)
        if tokenizer is not None:
            shutil.copyfile(tokenizer, directory / TOKENIZER_FILE)
        (directory / CONFIG_FILE).write_text(config, encoding="utf-8")

    model_dir = Path(model_dir)
    replace_directory(model_dir, build, keep=lambda name: name not in WRITTEN_FILES)
    return model_dir


def check_not_overwriting(source: PathLike, out_dir: PathLike) -> None:
    """Refuses an output directory that is the source or holds it: writing the model would
    replace the files it is made from."""
    if lies_within(source, out_dir):
        raise ValueError(
            f"the output directory {out_dir} is or holds the source {source}: "
            "write the model to another directory"
        )


def tokenizer_beside(source: PathLike) -> Path | None:
    """The tokenizer.json of a checkpoint directory, None if it has none (or is a file); one
    that is not a regular file is refused rather than passed over."""
    beside = Path(source) / TOKENIZER_FILE
    if not (Path(source).is_dir() and beside.exists()):
        return None
    check_regular_file(beside)
    return beside


def source_normalize(source: Table | PathLike) -> bool:
    """Whether the model made from `source` scales its embeddings to unit length when not told:
    as the `normalize` of the source directory's config.json says (a model2vec model), else
    yes."""
    if isinstance(source, np.ndarray) or not Path(source).is_dir():
        return True
    config = Path(source) / CONFIG_FILE
    try:
        value = json.loads(config.read_text(encoding="utf-8")).get("normalize", True)
    except (OSError, ValueError, AttributeError):
        return True
    return value if isinstance(value, bool) else True


def convert(
    source: Table | PathLike,
    out_dir: PathLike,
    *,
    tensor: str | None = None,
    tokenizer: PathLike | None = None,
    dtype: str = "f32",
    normalize: bool | None = None,
) -> Path:
    """Writes the model directory `out_dir` from `source` (see `load_table`), with the token
    mapping and weights it holds (see `load_token_tensors`). A checkpoint directory's own
    tokenizer.json is taken when `tokenizer` is not given, and its config.json's `normalize`
    when `normalize` is not (see `source_normalize`)."""
    if not isinstance(source, np.ndarray):
        check_not_overwriting(source, out_dir)
    if tokenizer is None and not isinstance(source, np.ndarray):
        tokenizer = tokenizer_beside(source)
    return write_model_dir(
        load_table(source, tensor),
        out_dir,
        dtype,
        tokenizer=tokenizer,
        normalize=source_normalize(source) if normalize is None else normalize,
        token_tensors=load_token_tensors(source, tensor),
    )
