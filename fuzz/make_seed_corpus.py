#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/seed-*.

The seeds are well-formed model files of every element type and layout the reader accepts, and
close relatives that each break one rule, so that fuzzing starts from inputs that reach deep into
the reader and the computation. Deterministic: running it again rewrites the same files.
"""

import pathlib
import random
import struct
import sys

from korvane_dev.model_file import model_file_bytes as model_file

DTYPES = {
    "F64": 8,
    "F32": 4,
    "F16": 2,
    "BF16": 2,
    "I64": 8,
    "I32": 4,
    "I16": 2,
    "I8": 1,
    "U8": 1,
    "BOOL": 1,
}


def entry(dtype, shape, offsets):
    return {"dtype": dtype, "shape": shape, "data_offsets": offsets}


def table(dtype, rows, columns, rng):
    """A tensor of small values of `dtype`, with the occasional special value among floats."""
    specials = {
        "F64": [
            struct.pack("<d", v) for v in (0.0, -0.0, 1e300, float("inf"), float("nan"), 5e-324)
        ],
        "F32": [struct.pack("<f", v) for v in (-0.0, 3.4e38, float("inf"), float("nan"))]
        + [b"\x01\x00\x80\x7f"],
        "F16": [b"\x00\x3c", b"\xff\x7b", b"\x01\x00", b"\x01\x7c", b"\x00\x80"],
        "BF16": [b"\x80\x3f", b"\x80\x7f", b"\x81\x7f", b"\x81\xff"],
    }
    width = DTYPES[dtype]
    out = bytearray()
    for _ in range(rows * columns):
        if dtype in specials and rng.random() < 0.2:
            out += rng.choice(specials[dtype])
        else:
            out += rng.getrandbits(8 * width).to_bytes(width, "little")
    return bytes(out)


def load_seeds(rng):
    seeds = {}
    for dtype, width in DTYPES.items():
        rows, columns = 4, 3
        data = table(dtype, rows, columns, rng)
        tensor = entry(dtype, [rows, columns], [0, len(data)])
        seeds[f"object-{dtype}"] = model_file({"t": tensor}, data)
        seeds[f"array-{dtype}"] = model_file({"t": [dtype, [rows, columns], [0, len(data)]]}, data)
    data = table("F32", 2, 8, rng)
    seeds["dtype-object"] = model_file({"t": entry({"F32": None}, [2, 8], [0, 64])}, data)
    seeds["metadata-first"] = model_file(
        {
            "__metadata__": {"format": "pt", "n": [1, 2.5, -3, True, None]},
            "t": entry("F32", [2, 8], [0, 64]),
        },
        data,
    )
    seeds["unusable-then-usable"] = model_file(
        '{"a":{"dtype":"U16","shape":[2,8],"data_offsets":[0,64]},'
        '"b":{"dtype":"F32","shape":[2,8,1],"data_offsets":[0,64]},'
        '"c":{"dtype":"F32","shape":[2,8],"data_offsets":[0,6.4e1]},'
        '"d":{"dtype":"F32","shape":[2,8],"data_offsets":[0,64],"extra":"\\u00e9\\ud83d\\ude00"}}',
        data,
    )
    seeds["duplicate-keys"] = model_file(
        '{"t":{},"u":{"dtype":"I8","shape":[1,1],"data_offsets":[0,1]},'
        '"t":{"dtype":"F32","shape":[2,8],"data_offsets":[0,64],"dtype":"U8"}}',
        data,
    )
    seeds["whitespace"] = model_file(
        ' \t\r\n{ "t" : { "dtype" : "F32" , "shape" : [ 2 , 8 ] , "data_offsets" : [ 0 , 64 ] } }'
        "   ",
        data,
    )
    seeds["offsets-max"] = model_file(
        {"t": entry("U8", [1, 1], [18446744073709551615, 18446744073709551615])}, b"x"
    )
    seeds["offsets-reversed"] = model_file({"t": entry("U8", [1, 1], [3, 1])}, b"abcd")
    seeds["offsets-beyond"] = model_file({"t": entry("U8", [1, 1], [0, 9])}, b"abcd")
    seeds["empty-data"] = model_file({"t": entry("F32", [0, 4], [0, 0])})
    seeds["zero-dimension"] = model_file({"t": entry("F32", [5, 0], [0, 4])}, b"abcd")
    seeds["huge-shape"] = model_file(
        {"t": entry("F32", [18446744073709551615, 4294967296], [0, 4])}, b"abcd"
    )
    seeds["length-beyond-file"] = model_file({"t": entry("U8", [1, 1], [0, 1])}, b"a", 1 << 40)
    seeds["length-max"] = model_file("{}", b"", (1 << 64) - 1)
    seeds["short"] = b"\x02\x00\x00\x00\x00\x00\x00"
    seeds["empty-header"] = model_file("")
    seeds["nul-padding"] = model_file(
        '{"t":{"dtype":"U8","shape":[1,1],"data_offsets":[0,1]}}' + "\0\0\0", b"a"
    )
    seeds["nesting-127"] = model_file('{"__metadata__":' + "[" * 126 + "]" * 126 + "}")
    seeds["nesting-128"] = model_file('{"__metadata__":' + "[" * 127 + "]" * 127 + "}")
    seeds["invalid-utf8"] = model_file(b'{"\xc3\x28":1}')
    seeds["escapes"] = model_file(
        '{"\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000\\ud800":1,"t":["I16",[1,2],[0,4]]}', b"abcd"
    )
    seeds["numbers"] = model_file(
        '{"__metadata__":[0,-0,1.5e-3,-1E+2,18446744073709551616,'
        '-9223372036854775808,1e400],"t":["U8",[1,1],[0,1]]}',
        b"a",
    )
    seeds["top-level-array"] = model_file("[1]")
    return seeds


def embed_seeds(load_inputs, rng):
    """Options byte, token count, tokens, model file."""
    seeds = {}
    token_lists = [[], [0], [3, 3, 1], [0, 1, 2, 3], [4], [5], [4294967295], [1, 0, 1, 0, 2]]
    for index, (name, model) in enumerate(sorted(load_inputs.items())):
        tokens = token_lists[index % len(token_lists)]
        options = index % 8
        prefix = bytes([options, len(tokens)]) + b"".join(struct.pack("<I", t) for t in tokens)
        seeds[name] = prefix + model
    # Longer rows, so that the vector paths and their tails are reached.
    for dtype in ("F16", "F32", "BF16"):
        for columns in (7, 8, 9, 17, 33):
            data = table(dtype, 3, columns, rng)
            model = model_file({"t": entry(dtype, [3, columns], [0, len(data)])}, data)
            for options in (0, 1, 6, 7):
                tokens = [2, 0, 2, 1]
                prefix = bytes([options, len(tokens)]) + b"".join(
                    struct.pack("<I", t) for t in tokens
                )
                seeds[f"wide-{dtype}-{columns}-{options}"] = prefix + model
    return seeds


def kernel_seeds(rng):
    seeds = {}
    for length in (0, 1, 2, 15, 16, 17, 31, 32, 33, 64, 65, 129, 257):
        seeds[f"random-{length}"] = bytes([rng.getrandbits(8)]) + rng.randbytes(length)
    specials = [
        0x0000,
        0x8000,
        0x0001,
        0x03FF,
        0x0400,
        0x3C00,
        0x7BFF,
        0x7C00,
        0xFC00,
        0x7C01,
        0x7E00,
        0xFFFF,
        0x8001,
        0x83FF,
    ]
    halves = b"".join(struct.pack("<H", h) for h in specials * 3)
    seeds["f16-specials"] = b"\x35" + halves
    floats = [
        0.0,
        -0.0,
        1.0,
        -1.0,
        3.4e38,
        -3.4e38,
        float("inf"),
        float("-inf"),
        float("nan"),
        1e-45,
        -1e-45,
        1.1754942e-38,
        16777216.0,
        1.0000001,
    ]
    values = [rng.choice(floats) for _ in range(2 * 19)]
    seeds["f32-specials"] = b"\x70" + b"".join(struct.pack("<f", v) for v in values)
    return seeds


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    rng = random.Random(20240611)
    load_inputs = load_seeds(rng)
    groups = {
        "load": load_inputs,
        "embed": embed_seeds(load_inputs, rng),
        "kernels": kernel_seeds(rng),
    }
    for target, seeds in groups.items():
        directory = root / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / f"seed-{name}").write_bytes(data)
        print(f"{target}: {len(seeds)} seeds in {directory}", file=sys.stderr)


if __name__ == "__main__":
    main()
