"""The Parquet files of embeddings that `korvane embed` and korvane.dask write: a column that
identifies each row, then `embedding`, a fixed-size list of float32 values (float16 when asked
for). pyarrow is imported when a file is written, so that the package needs it only then."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

EMBEDDING_COLUMN = "embedding"


def embedding_schema(dim: int, identity: tuple[str, Any] | None = None, half: bool = False) -> Any:
    """The schema of the file: the identity column (name, type) when given, then `embedding`,
    of float16 values when `half`, else of float32."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    fields = [] if identity is None else [identity]
    fields.append((EMBEDDING_COLUMN, pa.list_(pa.float16() if half else pa.float32(), dim)))
    return pa.schema(fields)


def open_embedding_writer(path: Any, schema: Any, filesystem: Any = None) -> Any:
    """A pyarrow ParquetWriter of `schema` to `path` (on `filesystem`, if given)."""
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

    # Embeddings and row identities are all distinct: trying a dictionary for them would double
    # the writing time for nothing.
    return pq.ParquetWriter(path, schema, filesystem=filesystem, use_dictionary=False)


def embedding_batch(schema: Any, rows: npt.ArrayLike, identity: Any = None) -> Any:
    """The record batch of `rows` (one embedding each) under `schema`, in its element type
    (float32 or float16), after the values of the identity column when the schema has one."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    embedding = schema.field(EMBEDDING_COLUMN).type
    element = embedding.value_type
    stored = np.float16 if element == pa.float16() else np.float32
    values = pa.array(np.ascontiguousarray(rows, stored).reshape(-1), type=element)
    columns = [pa.FixedSizeListArray.from_arrays(values, embedding.list_size)]
    if identity is not None:
        columns.insert(0, identity)
    return pa.record_batch(columns, schema=schema)
