import gc
import os
import sys

import numpy as np

from conftest import TABLE
from korvane_py import StaticEmbedding
from test_embed_tokens import Index, Items

LONG = list(range(4)) * 256  # makes a leaked token vector large enough to show in memory

# Under AddressSanitizer freed memory waits in a quarantine, so resident memory grows whatever the
# extension does; there the sanitizer's own leak check stands in for that measure.
with open("/proc/self/maps") as maps:
    ADDRESS_SANITIZED = "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_growth_on_any_path(tmp_path, model, model_dir):
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / "model.safetensors").mkdir()
    broken = StaticEmbedding(str(tmp_path / "broken"))
    arguments = {
        "tokens": LONG,
        "tuple": tuple(LONG),
        "array": np.array(LONG),
        "index": [Index(1)],
        "text": "12",
        "set": {1},
        "negative": [0] * 500 + [-1],
        "float": [0, 1.5],
        "beyond": [0] * 500 + [10],
        "directory": model_dir,
        "missing": "missing",
        "path": tmp_path,
        "flag": np.bool_(False),
    }
    reentrant = Items([], iterate=lambda: iter(model.embed_tokens(arguments["tokens"])))
    calls = [
        lambda a: model.embed_tokens(a["tokens"]),
        lambda a: model.embed_tokens(a["tuple"]),
        lambda a: model.embed_tokens(tokens=a["array"]),
        lambda a: model.embed_tokens(a["index"]),
        lambda a: model.embed_tokens(),
        lambda a: model.embed_tokens(a["tokens"], a["tuple"]),
        lambda a: model.embed_tokens(a["text"]),
        lambda a: model.embed_tokens(a["set"]),
        lambda a: model.embed_tokens(a["negative"]),
        lambda a: model.embed_tokens(a["float"]),
        lambda a: model.embed_tokens(a["beyond"]),
        lambda a: model.embed_tokens(reentrant),
        lambda a: broken.embed_tokens(a["tokens"]),
        lambda a: StaticEmbedding(a["directory"], normalize=a["flag"]).embed_tokens(a["index"]),
        lambda a: StaticEmbedding(a["missing"]),
        lambda a: StaticEmbedding(a["path"]),
        lambda a: StaticEmbedding(a["directory"], a["set"]),
        lambda a: StaticEmbedding(a["directory"], bogus=a["flag"]),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call(arguments)
                except BaseException:
                    pass
        gc.collect()

    run(200)
    references = {name: sys.getrefcount(value) for name, value in arguments.items()}
    references["class"] = sys.getrefcount(StaticEmbedding)
    references["model"] = sys.getrefcount(model)
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    run(3000)
    assert {name: sys.getrefcount(value) for name, value in arguments.items()} | {
        "class": sys.getrefcount(StaticEmbedding),
        "model": sys.getrefcount(model),
    } == references
    assert sys.getallocatedblocks() - blocks < 100
    assert ADDRESS_SANITIZED or resident_bytes() - resident < 4 * 2**20
    assert model.embed_tokens([0]) == [float(value) for value in TABLE[0]]
