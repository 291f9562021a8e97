# The private native module of the korvane package (python/native/module.cpp).
import os
from collections.abc import Buffer
from typing import final

@final
class Table:
    def __new__(
        cls,
        path: str | os.PathLike[str],
        tensor: str,
        mapping: str | None = None,
        weights: str | None = None,
        columns: int | None = None,
        quantize_to: str | None = None,
    ) -> Table: ...
    @property
    def rows(self) -> int: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def dimension(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    def embed_lists(
        self,
        token_lists: object,
        out: Buffer,
        normalize: bool,
        threads: int,
        max_length: int | None = None,
        skipped_token: int | None = None,
        numbering: int | list[int] | None = None,
    ) -> None: ...
    def encode_texts(
        self,
        tokenizer: Tokenizer,
        texts: list[str],
        out: Buffer,
        normalize: bool,
        threads: int,
        max_length: int | None = None,
        skipped_token: int | None = None,
        numbering: int | None = None,
        token_counts: Buffer | None = None,
    ) -> tuple[list[int], tuple[int, Exception] | None]: ...
    def embed_flat(
        self, tokens: Buffer, offsets: Buffer, out: Buffer, normalize: bool, threads: int
    ) -> None: ...
    def token_rows(self, tokens: Buffer, offsets: Buffer, out: Buffer, threads: int) -> None: ...

def read_tensor_entries(
    path: str | os.PathLike[str], /
) -> list[tuple[str, str, tuple[int, ...]]]: ...

@final
class Tokenizer:
    def __new__(cls, path: str | os.PathLike[str]) -> Tokenizer: ...
    def tokenize(self, text: str) -> list[int] | None: ...
    def tokenize_texts(
        self,
        texts: list[str],
        threads: int,
        max_length: int | None = None,
        skipped_token: int | None = None,
    ) -> tuple[bytes, bytes, list[int]]: ...

unicode_version: str
