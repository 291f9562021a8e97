"""The layouts sentence-transformers saves a static model in, read as sentence-transformers
reads them.

A sentence-transformers model directory holds ``modules.json``: the pipeline, a list of modules
each with a ``type`` and a ``path`` relative to the directory. A static model's first module is a
``StaticEmbedding`` whose directory holds ``model.safetensors`` (its table, named
``embedding.weight``) and ``tokenizer.json``. sentence-transformers 6 puts it at the model
directory itself (path ``""``), earlier releases in ``0_StaticEmbedding/`` ("nested"), and
model2vec's own ``save_pretrained`` at ``.`` (beside its ``config.json``, the table named
``embeddings``). A ``Normalize`` module after it scales embeddings to unit length; without one
they are not scaled. A ``StaticEmbedding`` saved by itself ("flat": ``embedding.weight`` and
``tokenizer.json``, no ``config.json`` nor ``modules.json``) is not scaled either.

sentence-transformers averages every token the tokenizer gives, the unknown token included
(model2vec leaves it out): a table named ``embedding.weight``, which only its StaticEmbedding
module writes, is embedded that way, in every layout (checked against sentence-transformers
6.3.0 on the directories it wrote: python/tests/package/data/sentence_transformers).
"""

from __future__ import annotations

import json
import pathlib
from dataclasses import dataclass

from ._layout import MODEL_FILE, MODULES_FILE


@dataclass(frozen=True)
class Layout:
    directory: pathlib.Path  # where model.safetensors and tokenizer.json are
    normalize: bool | None  # what the pipeline implies; None without modules.json
    keeps_unknown: bool  # whether the StaticEmbedding module lies in a subdirectory


def _module_type(module: object) -> str:
    kind = module.get("type") if isinstance(module, dict) else None
    return kind.rsplit(".", 1)[-1] if isinstance(kind, str) else ""


def read_layout(location: pathlib.Path) -> Layout:
    """The layout of the model directory `location`: itself, unless its ``modules.json`` puts
    the StaticEmbedding module in a subdirectory."""
    modules_file = location / MODULES_FILE
    if not modules_file.is_file():
        return Layout(location, None, False)
    try:
        modules = json.loads(modules_file.read_bytes())
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ValueError(f"{modules_file} is not valid JSON: {error}") from error
    if not isinstance(modules, list):
        raise ValueError(f"{modules_file} must hold a JSON list of modules")
    static: list[dict[str, object]] = [
        module for module in modules if _module_type(module) == "StaticEmbedding"
    ]
    normalize = any(_module_type(module) == "Normalize" for module in modules)
    if not static:
        if (location / MODEL_FILE).exists():  # another kind of model: read as before
            return Layout(location, None, False)
        kinds = ", ".join(repr(_module_type(module)) for module in modules) or "none"
        raise ValueError(
            f"{modules_file} names no StaticEmbedding module (its modules: {kinds}): "
            "korvane reads static embedding models only"
        )
    path = static[0].get("path", ".")
    relative = pathlib.PurePosixPath(path) if isinstance(path, str) else None
    if relative is None or relative.is_absolute() or ".." in relative.parts:
        raise ValueError(
            f"{modules_file}: the StaticEmbedding module's path must be a "
            f"directory inside the model directory, not {path!r}"
        )
    directory = location / relative
    return Layout(directory, normalize, directory != location)
