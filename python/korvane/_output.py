"""The element type of embeddings handed back: float32, or float16 to halve the memory and files
of large runs. Every embedding is computed (and scaled to unit length) in float32 first and
rounded to float16 only then, so a text without tokens is zeros, never NaN."""

from __future__ import annotations

from typing import Any, Final

import numpy as np
import numpy.typing as npt

OUTPUT_DTYPES: Final = (np.dtype(np.float32), np.dtype(np.float16))


def output_dtype(dtype: Any) -> np.dtype[Any]:
    """`dtype` (np.float32, np.float16, "float16", ...) as one of OUTPUT_DTYPES; TypeError for
    anything else."""
    chosen: np.dtype[Any] | None
    try:
        chosen = np.dtype(dtype)
    except TypeError:
        chosen = None
    if chosen is None or chosen not in OUTPUT_DTYPES:
        raise TypeError(f"dtype must be numpy.float32 or numpy.float16, not {dtype!r}")
    return chosen


def to_half(rows: npt.NDArray[np.float32], first: int) -> npt.NDArray[np.float16]:
    """`rows` (texts[first], ...) rounded to float16; OverflowError naming the first text with a
    value beyond float16's range (65504), which would become an infinity."""
    with np.errstate(over="ignore"):
        half = rows.astype(np.float16)
    finite = np.isfinite(half).all(axis=1)
    if not finite.all():
        index = first + int(np.argmin(finite))
        raise OverflowError(
            f"the embedding of texts[{index}] overflows float16 (a value beyond "
            "65504): ask for float32 instead"
        )
    return half
