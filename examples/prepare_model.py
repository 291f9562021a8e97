"""Turn a 2-D embedding table into a model directory that korvane_py can open.

The table (one row per token ID) may be a numpy array, a .npy file or one tensor inside a
.safetensors file. The directory receives `model.safetensors` holding just that table, as F32
or F16, and optionally the `tokenizer.json` whose token IDs index the table.

    python examples/prepare_model.py table.npy my_model
    python examples/prepare_model.py weights.safetensors my_model \\
        --tensor embeddings.word_embeddings.weight --tokenizer tokenizer.json --dtype F16

From Python:

    from prepare_model import load_table, write_model_dir
    write_model_dir(load_table("table.npy"), "my_model", dtype="F16")
"""

import argparse
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import safetensors
from safetensors import safe_open
from safetensors.numpy import save_file
from tokenizers import Tokenizer

TENSOR_NAME = "embeddings"
OUTPUT_DTYPES = {"F32": np.float32, "F16": np.float16}


def load_table(source, tensor=None):
    """Returns the table held by `source`: a numpy array, a .npy path or a .safetensors path.

    `tensor` names the table inside a .safetensors file; it may be left out when the file
    holds exactly one 2-D tensor.
    """
    if isinstance(source, np.ndarray):
        return source
    path = Path(source)
    if path.suffix == ".npy":
        return np.load(path, allow_pickle=False)
    if path.suffix == ".safetensors":
        return read_safetensors_table(path, tensor)
    raise ValueError(f"{path}: expected a .npy or .safetensors file")


def read_safetensors_table(path, tensor=None):
    with safe_open(str(path), framework="numpy") as file:
        names = list(file.keys())
        if tensor is None:
            tables = [name for name in names if len(file.get_slice(name).get_shape()) == 2]
            if len(tables) != 1:
                raise ValueError(
                    f"{path} holds {len(tables)} 2-D tensors ({', '.join(tables[:8]) or 'none'}"
                    f"{', ...' if len(tables) > 8 else ''}); name the table with --tensor"
                )
            tensor = tables[0]
        elif tensor not in names:
            raise ValueError(f"{path} holds no tensor named {tensor!r}")
        if file.get_slice(tensor).get_dtype() != "BF16":
            return file.get_tensor(tensor)
    # numpy has no bfloat16; a BF16 value is the upper half of the F32 with the same bits.
    for name, entry in safetensors.deserialize(Path(path).read_bytes()):
        if name == tensor:
            halves = np.frombuffer(entry["data"], dtype="<u2").astype(np.uint32)
            return (halves << 16).view(np.float32).reshape(entry["shape"])
    raise AssertionError("unreachable: the tensor was listed by safe_open")


def write_model_dir(table, model_dir, dtype="F32", tokenizer=None):
    """Writes `model_dir`/model.safetensors holding `table` in `dtype` ("F32" or "F16").

    `tokenizer`, a path to a tokenizer.json, is checked against the table and copied along.
    Files are replaced atomically, so an interrupted run never leaves a half-written model.
    Returns the directory as a Path.
    """
    if dtype not in OUTPUT_DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(OUTPUT_DTYPES)}, not {dtype!r}")
    table = np.asarray(table)
    if table.ndim != 2 or 0 in table.shape:
        raise ValueError(f"the table must be 2-D with at least one row and column, not {table.shape}")
    if not (np.issubdtype(table.dtype, np.integer) or np.issubdtype(table.dtype, np.floating)
            or table.dtype == np.bool_):
        raise ValueError(f"the table must hold real numbers, not {table.dtype}")
    with np.errstate(over="ignore", invalid="ignore"):
        converted = np.ascontiguousarray(table, dtype=OUTPUT_DTYPES[dtype])
    if not np.isfinite(converted).all():
        if np.isfinite(table).all():
            raise ValueError(f"the table holds values beyond the range of {dtype}")
        raise ValueError("the table holds NaN or infinite values")
    if tokenizer is not None:
        try:
            vocabulary = Tokenizer.from_file(str(tokenizer)).get_vocab_size(with_added_tokens=True)
        except Exception as error:  # tokenizers reports every failure as a plain Exception
            raise ValueError(f"{tokenizer}: {error}") from error
        if vocabulary > table.shape[0]:
            # korvane refuses a token ID beyond the table only when it meets one.
            raise ValueError(
                f"{tokenizer} produces token IDs up to {vocabulary - 1}, "
                f"but the table has only {table.shape[0]} rows"
            )

    model_dir = Path(model_dir)
    model_dir.mkdir(parents=True, exist_ok=True)
    _replace(model_dir / "model.safetensors", lambda tmp: save_file({TENSOR_NAME: converted}, tmp))
    if tokenizer is not None:
        _replace(model_dir / "tokenizer.json", lambda tmp: shutil.copyfile(tokenizer, tmp))
    return model_dir


def _replace(target, write):
    tmp = target.with_name(target.name + ".tmp")
    try:
        write(tmp)
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="a .npy or .safetensors file holding the table")
    parser.add_argument("model_dir", help="the directory to write model.safetensors into")
    parser.add_argument("--tensor", help="the table's name inside a .safetensors file")
    parser.add_argument("--dtype", choices=sorted(OUTPUT_DTYPES), default="F32")
    parser.add_argument("--tokenizer", help="a tokenizer.json to check and copy along")
    args = parser.parse_args(argv)
    try:
        table = load_table(args.source, args.tensor)
        model_dir = write_model_dir(table, args.model_dir, args.dtype, args.tokenizer)
    except Exception as error:  # a missing file, an unusable table, an unreadable tokenizer
        print(f"error: {error}", file=sys.stderr)
        return 1
    rows, width = table.shape
    print(f"wrote {model_dir / 'model.safetensors'}: {rows} x {width} {args.dtype}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
