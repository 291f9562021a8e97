"""Models named by their Hugging Face Hub ID ("owner/name"): fetched with huggingface_hub into
its cache, only the files a model needs, honouring its environment (HF_HOME, HF_HUB_CACHE,
HF_ENDPOINT, HF_HUB_OFFLINE, HF_TOKEN)."""

from __future__ import annotations

import os
import pathlib
import re
from typing import Final

from ._layout import CONFIG_FILE, MODEL_FILE, MODULES_FILE, TOKENIZER_FILE

# What a model needs: its table, tokenizer and settings, at the top or in the directory of a
# sentence-transformers StaticEmbedding module (0_StaticEmbedding/). Nothing else is fetched.
MODEL_FILES: Final = (
    MODEL_FILE,
    TOKENIZER_FILE,
    CONFIG_FILE,
    MODULES_FILE,
    f"*/{MODEL_FILE}",
    f"*/{TOKENIZER_FILE}",
)

# A Hub ID: owner and name of letters, digits, '-', '_' and '.', neither starting with '.'.
_HUB_ID = re.compile(r"[A-Za-z0-9_-][\w.-]*/[A-Za-z0-9_-][\w.-]*")


def is_hub_name(path: object) -> bool:
    """Whether `path` names a Hub model: "owner/name", with no directory or file of that name
    here (a local one wins)."""
    return (
        isinstance(path, str) and _HUB_ID.fullmatch(path) is not None and not os.path.lexists(path)
    )


def fetch(name: str, revision: str | None) -> pathlib.Path:
    """The directory in huggingface_hub's cache holding the model `name` at `revision` (the
    default branch when None), downloaded first where it is not cached."""
    try:
        import huggingface_hub
        from huggingface_hub import errors
    except ImportError:
        raise ModuleNotFoundError(
            f"{name} is not a directory or file here; loading it from the Hugging Face Hub "
            "needs the huggingface_hub package: pip install huggingface_hub"
        ) from None
    from huggingface_hub import constants

    where = f"{name} (no directory or file of that name here) " + (
        f"at revision {revision!r} " if revision is not None else ""
    )
    try:
        snapshot = huggingface_hub.snapshot_download(
            name, revision=revision, allow_patterns=list(MODEL_FILES)
        )
    except errors.RepositoryNotFoundError:
        raise FileNotFoundError(
            f"no model {name} on the Hugging Face Hub ({constants.ENDPOINT}), nor a directory "
            "of that name here (a private or gated model needs HF_TOKEN)"
        ) from None
    except errors.RevisionNotFoundError:
        raise FileNotFoundError(
            f"the Hugging Face Hub model {name} has no revision {revision!r}"
        ) from None
    except errors.LocalEntryNotFoundError as error:
        cache = constants.HF_HUB_CACHE
        if constants.HF_HUB_OFFLINE:
            raise FileNotFoundError(
                f"{where}is not in the Hugging Face cache ({cache}) and HF_HUB_OFFLINE is set: "
                "download it once online, or unset HF_HUB_OFFLINE"
            ) from None
        raise ConnectionError(
            f"{where}is not in the Hugging Face cache ({cache}) and the Hub "
            f"({constants.ENDPOINT}) cannot be reached: {error}"
        ) from None
    return pathlib.Path(snapshot)
