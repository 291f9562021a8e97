"""A static embedding model: load it once, then embed token IDs or texts in batches.

>>> model = Model.load("path/to/model_dir")          # doctest: +SKIP
>>> model.encode(["A storm brought thunder."]).shape  # doctest: +SKIP
(1, 384)
"""

from __future__ import annotations

import errno
import itertools
import json
import os
import pathlib
import stat
import threading
import weakref
from collections.abc import Iterable, Iterator, Sequence, Sized
from typing import TYPE_CHECKING, Any, Final, Literal, TypeAlias, cast, overload

import numpy as np
import numpy.typing as npt

from . import _hub, _native, _output, _sentence_transformers
from ._layout import (
    CONFIG_FILE,
    DEFAULT_BATCH_SIZE,
    MAPPING_TENSOR,
    MODEL_FILE,
    STATIC_EMBEDDING_TABLE,
    TOKENIZER_FILE,
    WEIGHTS_TENSOR,
    choose_table,
)

if TYPE_CHECKING:
    from tokenizers import Tokenizer

__all__ = ["Model"]


Embeddings = npt.NDArray[np.float32]
HalfEmbeddings = npt.NDArray[np.float16]
# How dtype= may name float32 and float16, as numpy.dtype reads them: the typing overloads of
# encode and encode_iter give float32 or float16 arrays accordingly.
SingleName: TypeAlias = (
    type[np.float32] | np.dtype[np.float32] | Literal["float32", "f4", "<f4", "=f4", "f", "single"]
)
HalfName: TypeAlias = (
    type[np.float16] | np.dtype[np.float16] | Literal["float16", "f2", "<f2", "=f2", "e", "half"]
)
Backend = Literal["auto", "native", "tokenizers"]
BACKENDS: Final = ("auto", "native", "tokenizers")
Quantization = Literal["float16", "int8"]
QUANTIZATIONS: Final = ("float16", "int8")


def _usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not on every platform
        return os.cpu_count() or 1


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return _usable_cpus()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def _positive(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _max_length(value: int | None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"max_length must be an int or None, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"max_length must not be negative, not {value}")
    return value


def _integer_vector(name: str, values: npt.ArrayLike) -> npt.NDArray[np.integer[Any]]:
    array = np.ascontiguousarray(values)
    array = array.astype(array.dtype.newbyteorder("="), copy=False)
    if array.ndim == 1 and array.size == 0:
        return array.astype(np.int64)  # [] reads as float64
    if array.ndim != 1 or not np.issubdtype(array.dtype, np.integer):
        raise TypeError(
            f"with offsets, {name} must be a one-dimensional integer array, not "
            f"{array.dtype} with shape {array.shape}"
        )
    return array


def _check_texts(batch: Sequence[object], first_index: int) -> list[str]:
    """The batch as a list of str; TypeError naming the first item that is not one."""
    texts = list(batch)
    if not all(isinstance(text, str) for text in texts):
        index, text = next((i, t) for i, t in enumerate(texts) if not isinstance(t, str))
        raise TypeError(f"texts[{first_index + index}] is {type(text).__name__}, not str")
    return cast(list[str], texts)


def _read_config(path: pathlib.Path) -> dict[str, Any]:
    try:
        with path.open("rb") as file:
            config = json.load(file)
    except json.JSONDecodeError as error:
        raise ValueError(f"{path} is not valid JSON: {error}") from error
    if not isinstance(config, dict):
        raise ValueError(f"{path} must hold a JSON object")
    return config


def _file_kind(mode: int) -> str | None:
    """What a file that is not a regular one is, in words; None for a regular file."""
    for test, kind in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO (named pipe)"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
    ):
        if test(mode):
            return kind
    return None if stat.S_ISREG(mode) else "not a regular file"


def _check_regular(path: pathlib.Path) -> None:
    """ValueError saying what `path` is when it is not a regular file (a directory, a FIFO, ...),
    which a model cannot be read from."""
    kind = _file_kind(path.stat().st_mode)
    if kind is not None:
        raise ValueError(f"{path} is {kind}, not a regular file")


def _present(path: pathlib.Path) -> bool:
    """Whether the optional file `path` of a model directory is there; one that is there but is
    not a regular file is refused rather than passed over."""
    if not path.exists():
        return False
    _check_regular(path)
    return True


def _looks_like_safetensors(path: pathlib.Path) -> bool:
    """Whether the file begins as a safetensors file does: an 8-byte header length that fits
    the file, then a JSON object. A text file passed as the model does not."""
    with path.open("rb") as file:
        prefix = file.read(9)
        size = os.fstat(file.fileno()).st_size
    length = int.from_bytes(prefix[:8], "little")
    return len(prefix) == 9 and length <= size - 8 and prefix[8:9] == b"{"


def _describe(entry: tuple[str, str, tuple[int, ...]]) -> str:
    name, dtype, shape = entry
    return f"{name!r} ({dtype} {' x '.join(map(str, shape))})"


def _choose_tensor(
    entries: list[tuple[str, str, tuple[int, ...]]], tensor: str | None, file: pathlib.Path
) -> str:
    tables = [entry for entry in entries if len(entry[2]) == 2]
    listing = ", ".join(_describe(entry) for entry in tables) or "none"
    if tensor is not None:
        if not isinstance(tensor, str):
            raise TypeError(f"tensor must be a str or None, not {type(tensor).__name__}")
        if tensor not in {entry[0] for entry in entries}:
            raise ValueError(
                f"{file} has no tensor named {tensor!r}; its two-dimensional tensors: {listing}"
            )
        return tensor
    chosen = choose_table((name, shape) for name, _, shape in entries)
    if chosen is not None:
        return chosen
    if not tables:
        raise ValueError(f"{file} holds no two-dimensional tensor to use as a table")
    raise ValueError(
        f"{file} holds several two-dimensional tensors and none has a known name; "
        f"choose one with tensor=: {listing}"
    )


def _default_normalize(
    layout: _sentence_transformers.Layout, chosen: str, config: dict[str, Any]
) -> bool:
    """Whether to normalize when config.json does not say: as the sentence-transformers pipeline
    implies (a Normalize module or not), and not for a StaticEmbedding module saved by itself."""
    if layout.normalize is not None:
        return layout.normalize
    return not (chosen == STATIC_EMBEDDING_TABLE and not config)


def _token_tensors(
    entries: list[tuple[str, str, tuple[int, ...]]],
    chosen: str,
    config: dict[str, Any],
    location: pathlib.Path,
) -> tuple[str | None, str | None]:
    """The names of the token mapping and the per-token weights the file holds beside its table
    (model2vec's ``mapping`` and ``weights``), each applied whenever present. The config's
    ``vocabulary_quantization`` (the number of shared rows) is checked against the file."""
    names = {entry[0]: entry for entry in entries}
    mapping = MAPPING_TENSOR if MAPPING_TENSOR in names and chosen != MAPPING_TENSOR else None
    weights = WEIGHTS_TENSOR if WEIGHTS_TENSOR in names and chosen != WEIGHTS_TENSOR else None
    clusters = config.get("vocabulary_quantization")
    if clusters is not None:
        if mapping is None:
            raise ValueError(
                f"{location / CONFIG_FILE} gives vocabulary_quantization={clusters!r}, but the "
                f"model file holds no {MAPPING_TENSOR!r} tensor mapping token IDs to rows"
            )
        rows = names[chosen][2][0] if len(names[chosen][2]) == 2 else None
        if rows is not None and clusters != rows:
            raise ValueError(
                f"{location / CONFIG_FILE} gives vocabulary_quantization={clusters!r}, but the "
                f"table {chosen!r} has {rows} rows"
            )
    return mapping, weights


def _unknown_token_id(tokenizer: Tokenizer, tokenizer_file: pathlib.Path) -> int | None:
    """The ID of the tokenizer's unknown token, which encode leaves out as model2vec does."""
    with tokenizer_file.open("rb") as file:
        settings = json.load(file).get("model", {})
    unknown = settings.get("unk_token")
    if isinstance(unknown, str):
        return tokenizer.token_to_id(unknown)
    unknown_id = settings.get("unk_id")  # Unigram models name the ID itself
    return unknown_id if isinstance(unknown_id, int) and not isinstance(unknown_id, bool) else None


def _load_tokenizer(path: pathlib.Path) -> Tokenizer:
    from tokenizers import Tokenizer

    try:
        tokenizer = Tokenizer.from_file(os.fspath(path))
    except Exception as error:  # tokenizers raises its own Exception subclass
        raise ValueError(f"{path} is not a usable tokenizer: {error}") from error
    # Whatever the file asks for, a text is embedded from all of its tokens and nothing else.
    tokenizer.no_padding()
    tokenizer.no_truncation()
    return tokenizer


class Model:
    """A token table (one row per token ID) with the tokenizer that indexes it.

    A text's embedding is the mean of its tokens' rows, scaled to unit length unless the model
    says otherwise. Create one with ``Model.load``; a Model is immutable and may be shared by
    threads, and it pickles by path, so process pools and Dask load it once per process.
    """

    __slots__ = (
        "__weakref__",
        "_path",
        "_tensor_option",
        "_normalize_option",
        "_tensor",
        "_table",
        "_normalize",
        "_tokenizer",
        "_unknown_token_id",
        "_backend_option",
        "_native_tokenizer",
        "_dimensionality",
        "_quantize_to",
    )

    _path: pathlib.Path
    _tensor_option: str | None
    _normalize_option: bool | None
    _tensor: str
    _table: _native.Table
    _normalize: bool
    _tokenizer: Tokenizer | None
    _unknown_token_id: int | None
    _backend_option: Backend
    _native_tokenizer: _native.Tokenizer | None
    _dimensionality: int | None
    _quantize_to: Quantization | None

    def __init__(self) -> None:
        raise TypeError("create a Model with Model.load(path)")

    @classmethod
    def load(
        cls,
        path: str | os.PathLike[str],
        *,
        tensor: str | None = None,
        normalize: bool | None = None,
        backend: Backend = "auto",
        revision: str | None = None,
        dimensionality: int | None = None,
        quantize_to: Quantization | None = None,
    ) -> Model:
        """Reads a model directory or a ``.safetensors`` file; every error comes from here.

        ``path`` may also be a Hugging Face Hub ID (``"owner/name"``, at ``revision``: a branch,
        tag or commit, the default branch when None) when no directory or file of that name
        is here: the model's files alone are fetched with ``huggingface_hub`` into its cache,
        which it reuses, honouring HF_HOME, HF_ENDPOINT, HF_HUB_OFFLINE and HF_TOKEN.

        ``dimensionality`` keeps only the first N columns of the table, as model2vec's option of
        that name does (embeddings are then normalized over those N values).
        ``quantize_to="float16"`` holds a wider floating table as float16 in memory (half the
        memory; each value rounded to the nearest half), as model2vec's option does.
        ``quantize_to="int8"`` holds a floating table as int8 (a quarter of float32's memory),
        quantized as model2vec's option quantizes it: one scale for the whole table (its largest
        magnitude over 127, taken before ``dimensionality`` cuts columns), each value rounded
        through float16 on the way. As there, rows are the integers themselves: normalized
        embeddings are unchanged by the scale, and unnormalized ones come in its units.

        A directory holds ``model.safetensors`` and optionally ``tokenizer.json`` (needed by
        ``encode``) and ``config.json`` (whose ``normalize`` is the default). Of a file with
        several two-dimensional tensors, ``tensor`` names the table; without it, one of the
        known names ``embeddings`` or ``embeddings.word_embeddings.weight`` (or that with a
        prefix such as ``bert.``) is taken, as ``korvane convert`` takes it, or the load fails
        listing the candidates.

        ``backend`` chooses who tokenizes for ``encode``: ``"native"`` (korvane's own WordPiece,
        Unigram, WordLevel and BPE tokenizers, exact to the tokenizers package and many times faster; ValueError when the
        tokenizer.json has a part it does not implement), ``"tokenizers"`` (the tokenizers
        package), or ``"auto"``: native whenever the file allows it.
        """
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        if normalize is not None and not isinstance(normalize, bool):
            raise TypeError(f"normalize must be a bool or None, not {type(normalize).__name__}")
        if backend not in BACKENDS:
            raise ValueError(
                f"backend must be one of {', '.join(map(repr, BACKENDS))}, not {backend!r}"
            )
        if dimensionality is not None:
            _positive("dimensionality", dimensionality)
        if quantize_to is not None and quantize_to not in QUANTIZATIONS:
            raise ValueError(f"quantize_to must be None, 'float16' or 'int8', not {quantize_to!r}")
        if revision is not None and not isinstance(revision, str):
            raise TypeError(f"revision must be a str or None, not {type(revision).__name__}")
        if _hub.is_hub_name(path):
            path = _hub.fetch(cast(str, path), revision)
        elif revision is not None:
            raise ValueError(
                f"revision= applies to a Hugging Face Hub ID (owner/name), and "
                f"{os.fspath(path)!r} is not one or exists here"
            )
        location = pathlib.Path(path).absolute()
        config: dict[str, Any] = {}
        tokenizer_file: pathlib.Path | None = None
        layout = _sentence_transformers.Layout(location, None, False)
        if location.is_dir():
            layout = _sentence_transformers.read_layout(location)
            model_file = layout.directory / MODEL_FILE
            if not model_file.exists():
                raise FileNotFoundError(
                    errno.ENOENT,
                    f"the model directory holds no {MODEL_FILE}",
                    os.fspath(layout.directory),
                )
            _check_regular(model_file)
            if _present(location / CONFIG_FILE):
                config = _read_config(location / CONFIG_FILE)
            if _present(layout.directory / TOKENIZER_FILE):
                tokenizer_file = layout.directory / TOKENIZER_FILE
        elif location.is_file():
            model_file = location
        elif location.exists():
            raise ValueError(f"{location} is not a regular file")
        else:
            raise FileNotFoundError(
                errno.ENOENT, "no such model directory or file", os.fspath(location)
            )
        # Raises the operating system's own error (PermissionError, ...) before the native reader.
        model_file.open("rb").close()

        try:
            entries = _native.read_tensor_entries(model_file)
            chosen = _choose_tensor(entries, tensor, model_file)
            mapping, weights = _token_tensors(entries, chosen, config, location)
            table = _native.Table(model_file, chosen, mapping, weights, dimensionality, quantize_to)
        except ValueError as error:
            if not _looks_like_safetensors(model_file):
                raise ValueError(
                    f"cannot load {model_file}: not a safetensors file ({error})"
                ) from None
            raise ValueError(f"cannot load {model_file}: {error}") from None

        configured = config.get("normalize", _default_normalize(layout, chosen, config))
        if not isinstance(configured, bool):
            raise ValueError(f"{location / CONFIG_FILE}: 'normalize' must be true or false")

        model = object.__new__(cls)
        model._path = location
        model._tensor_option = tensor
        model._normalize_option = normalize
        model._tensor = chosen
        model._table = table
        model._normalize = configured if normalize is None else normalize
        model._tokenizer = None
        model._unknown_token_id = None
        model._backend_option = backend
        model._native_tokenizer = None
        model._dimensionality = dimensionality
        model._quantize_to = quantize_to
        if tokenizer_file is not None:
            model._tokenizer = _load_tokenizer(tokenizer_file)
            # sentence-transformers' StaticEmbedding (its table embedding.weight) averages the
            # unknown token too, whatever the layout; model2vec leaves it out.
            if not (layout.keeps_unknown or chosen == STATIC_EMBEDDING_TABLE):
                model._unknown_token_id = _unknown_token_id(model._tokenizer, tokenizer_file)
            if backend != "tokenizers":
                try:
                    model._native_tokenizer = _native.Tokenizer(tokenizer_file)
                except ValueError as error:
                    if backend == "native":
                        raise ValueError(
                            f"{tokenizer_file} cannot be tokenized natively: {error}"
                        ) from None
        elif backend == "native":
            raise ValueError(f"{location} has no {TOKENIZER_FILE} to tokenize natively")
        _register(model)
        return model

    @property
    def dim(self) -> int:
        """The number of values in an embedding (the table's columns)."""
        return self._table.dimension

    @property
    def vocab_size(self) -> int:
        """The number of token IDs: the table's rows, or the length of its token mapping."""
        return self._table.vocab_size

    @property
    def dtype(self) -> str:
        """The element type of the table in its file: ``"F32"``, ``"F16"``, ``"BF16"``, ..."""
        return self._table.dtype

    @property
    def normalize(self) -> bool:
        """Whether embeddings are scaled to unit length."""
        return self._normalize

    @property
    def path(self) -> pathlib.Path:
        """The model directory or file, as an absolute path."""
        return self._path

    @property
    def tensor(self) -> str:
        """The name of the table's tensor in the model file."""
        return self._tensor

    @property
    def tokenizer(self) -> Tokenizer | None:
        """The model's ``tokenizer.json`` (padding and truncation off), or None without one."""
        return self._tokenizer

    @property
    def tokenizer_backend(self) -> Literal["native", "tokenizers"] | None:
        """Who tokenizes for ``encode``: ``"native"``, ``"tokenizers"``, or None without a tokenizer.

        Native tokenizing gives the tokenizers package's IDs exactly. Texts holding a character
        newer than its Unicode tables (``korvane._native.unicode_version``) are handed to the
        tokenizers package, one by one, so results do not depend on the backend.
        """
        if self._tokenizer is None:
            return None
        return "native" if self._native_tokenizer is not None else "tokenizers"

    def __repr__(self) -> str:
        return (
            f"Model({os.fspath(self._path)!r}, tensor={self._tensor!r}, "
            f"vocab_size={self.vocab_size}, dim={self.dim}, dtype={self.dtype!r}, "
            f"normalize={self._normalize}, tokenizer_backend={self.tokenizer_backend!r})"
        )

    def _cache_key(self) -> _CacheKey:
        """What the model is loaded from: its pickle, and its key in this process's cache."""
        return (
            os.fspath(self._path),
            self._tensor_option,
            self._normalize_option,
            self._backend_option,
            self._dimensionality,
            self._quantize_to,
        )

    def __reduce__(self) -> tuple[Any, _CacheKey]:
        return (_load_cached, self._cache_key())

    def embed_ids(
        self,
        token_lists: Sequence[Sequence[int]] | npt.ArrayLike,
        *,
        offsets: npt.ArrayLike | None = None,
        threads: int | None = None,
    ) -> Embeddings:
        """The embeddings of sentences given as token IDs: a float32 array of shape (N, dim).

        ``token_lists`` is a sequence of N sequences of ints (lists, tuples or integer arrays),
        or, with ``offsets`` (N + 1 non-decreasing boundaries), one flat integer array holding
        sentence i at ``token_lists[offsets[i]:offsets[i + 1]]``. Row i equals, bit for bit,
        ``korvane_py.StaticEmbedding(...).embed_tokens(token_lists[i])`` rounded to float32,
        except that an empty sentence gives a row of zeros (embed_tokens gives NaN). An ID
        outside the table raises IndexError naming the sentence, the ID and vocab_size; a
        sentence whose sum of rows (or of squares, to normalize) overflows float32, where
        embed_tokens gives infinities, zeros or NaN, raises OverflowError naming it. The first
        sentence that fails either way is the one named.

        >>> model.embed_ids([[101, 7592, 102], []]).shape  # doctest: +SKIP
        (2, 384)
        """
        count = _thread_count(threads)
        if offsets is None:
            if isinstance(token_lists, (str, bytes)) or not isinstance(
                token_lists, Sequence | np.ndarray
            ):
                raise TypeError(
                    "token_lists must be a sequence of sequences of token IDs, not "
                    f"{type(token_lists).__name__}"
                )
            if isinstance(token_lists, np.ndarray):
                if token_lists.ndim != 2:
                    raise ValueError(
                        "an array of token IDs without offsets must have two dimensions "
                        "(sentences x tokens); pass offsets= with a flat array"
                    )
                # IDs stored in the other byte order (read from a file, say) are as good.
                token_lists = np.ascontiguousarray(
                    token_lists, dtype=token_lists.dtype.newbyteorder("=")
                )
            out = np.empty((len(token_lists), self.dim), dtype=np.float32)
            self._table.embed_lists(token_lists, out, self._normalize, count)
            return out
        tokens = _integer_vector("token_lists", token_lists)
        boundaries = _integer_vector("offsets", offsets)
        if len(boundaries) == 0:
            raise ValueError("offsets must hold N + 1 boundaries for N sentences, not 0")
        out = np.empty((len(boundaries) - 1, self.dim), dtype=np.float32)
        self._table.embed_flat(tokens, boundaries, out, self._normalize, count)
        return out

    @overload
    def encode(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: HalfName,
    ) -> HalfEmbeddings: ...
    @overload
    def encode(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: SingleName = ...,
    ) -> Embeddings: ...
    @overload
    def encode(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: npt.DTypeLike,
    ) -> Embeddings | HalfEmbeddings: ...
    def encode(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = DEFAULT_BATCH_SIZE,
        max_length: int | None = None,
        show_progress: bool = False,
        threads: int | None = None,
        dtype: npt.DTypeLike = np.float32,
    ) -> Embeddings | HalfEmbeddings:
        """The embeddings of ``texts`` (a list, a numpy array or a pandas Series of str, ...):
        a float32 array of shape (len(texts), dim), or float16 with ``dtype=numpy.float16``
        (each row computed and normalized in float32, then rounded; OverflowError for a value
        beyond float16's range).

        Texts are tokenized by the model's tokenizer without special tokens, ``batch_size`` at a
        time (each batch on all cores; the native tokenizer takes all texts at once unless
        ``show_progress``, as it holds only a few hundred texts' tokens per thread whatever the
        count), and embedded as ``embed_ids`` does, with two rules
        model2vec follows too: of each text only the first ``max_length`` tokens count, and of
        those the tokenizer's unknown token is left out. A text with no tokens left gives a row
        of zeros. On a directory model2vec wrote, rows agree with its ``StaticModel.encode``
        within 1e-6 given the same ``max_length`` (model2vec's default is its config's, 512;
        here it is None, no limit), with two differences: model2vec first cuts each text to
        ``max_length`` times its median token length in characters (so it may keep fewer
        tokens), and for an F16 table it returns float16 rather than float32.

        The first text, in input order, that cannot be embedded raises an error naming it as
        ``texts[i]``: IndexError for a kept token ID beyond the table (IDs cut by ``max_length``
        and unknown tokens are never looked up, whoever tokenizes), OverflowError for an
        embedding beyond float32.
        """
        if isinstance(texts, str) or not isinstance(texts, Iterable):
            raise TypeError(f"texts must be a sequence of str, not {type(texts).__name__}")
        # A numpy array or a pandas Series of str is read as it is; anything else without a
        # length (a generator) is read whole first.
        if not isinstance(texts, Sequence | np.ndarray) and not hasattr(texts, "__len__"):
            texts = list(texts)
        if _output.output_dtype(dtype) == np.float16:
            return cast(
                Embeddings, self._encode_half(texts, batch_size, max_length, show_progress, threads)
            )
        out = np.empty((len(cast(Sequence[str], texts)), self.dim), dtype=np.float32)
        # Each batch is computed in place in `out`: no array per batch, and no copy.
        filled = 0
        for batch in self._iterate(texts, batch_size, max_length, show_progress, threads, out):
            filled += len(batch)
        if filled != len(out):
            raise ValueError(
                f"texts changed length while being encoded: {len(out)} at the start, {filled} read"
            )
        return out

    def _encode_half(
        self,
        texts: Any,
        batch_size: int,
        max_length: int | None,
        show_progress: bool,
        threads: int | None,
    ) -> Any:
        out = np.empty((len(texts), self.dim), dtype=np.float16)
        filled = 0
        for batch in self._iterate(texts, batch_size, max_length, show_progress, threads, None):
            if filled + len(batch) > len(out):
                raise ValueError(
                    f"texts changed length while being encoded: {len(out)} at the "
                    f"start, at least {filled + len(batch)} read"
                )
            out[filled : filled + len(batch)] = _output.to_half(batch, filled)
            filled += len(batch)
        if filled != len(out):
            raise ValueError(
                f"texts changed length while being encoded: {len(out)} at the start, {filled} read"
            )
        return out

    def encode_as_sequence(
        self,
        texts: Sequence[str],
        *,
        max_length: int | None = None,
        threads: int | None = None,
    ) -> list[Embeddings]:
        """Each text's token rows, as model2vec's ``encode_as_sequence`` gives them (for NER or
        late interaction): a list of float32 arrays of shape (tokens, dim), one per text, the
        tokens those ``encode`` averages (the first ``max_length``, the unknown token left
        out), each row after the model's token mapping and weight (float(double(row) * weight)),
        never normalized. A text without tokens gives an array of shape (0, dim).

        With ``max_length``, model2vec's ``encode_as_sequence`` first cuts each text to
        ``max_length`` times the median length in characters of its vocabulary's tokens, as its
        ``encode`` does, and only then tokenizes it: it may keep fewer tokens than here, where
        the tokens alone are cut, and a word cut in the middle gives other tokens (cut to nine
        characters, "zebra bank" ends in the tokens of "ban", not "bank").
        """
        tokenizer = self._tokenizer
        if tokenizer is None:
            raise ValueError(f"{self._path} has no {TOKENIZER_FILE}: encode_as_sequence needs one")
        if isinstance(texts, str) or not isinstance(texts, Iterable):
            raise TypeError(f"texts must be a sequence of str, not {type(texts).__name__}")
        batch = _check_texts(list(texts), 0)
        length = _max_length(max_length)
        count = _thread_count(threads)
        tokenize = getattr(tokenizer, "encode_batch_fast", tokenizer.encode_batch)
        if self._native_tokenizer is not None:
            # As encode tokenizes: natively and in parallel, the texts the native tokenizer
            # defers (a character newer than its tables) by the tokenizers package.
            token_bytes, offset_bytes, deferred = self._native_tokenizer.tokenize_texts(
                batch, count, length, self._unknown_token_id
            )
            tokens: npt.NDArray[np.integer[Any]] = np.frombuffer(token_bytes, np.uint32)
            offsets: npt.NDArray[np.integer[Any]] = np.frombuffer(offset_bytes, np.uint64)
            if deferred:
                kept: list[Any] = np.split(tokens, offsets[1:-1].astype(np.intp))
                ids = self._kept_ids(tokenize, [batch[index] for index in deferred], length)
                for index, text_ids in zip(deferred, ids, strict=True):
                    kept[index] = text_ids
                tokens, offsets = _flatten(kept)
        else:
            tokens, offsets = _flatten(self._kept_ids(tokenize, batch, length))
        if len(tokens) and int(tokens.max()) >= self.vocab_size:
            index = int(np.argmax(tokens >= self.vocab_size))
            text = int(np.searchsorted(offsets, index, side="right")) - 1
            raise IndexError(
                f"token ID {tokens[index]} in texts[{text}] is outside the table "
                f"(vocab_size {self.vocab_size})"
            )
        out = np.empty((len(tokens), self.dim), dtype=np.float32)
        self._table.token_rows(tokens, offsets, out, count)
        return [out[start:end] for start, end in itertools.pairwise(offsets.tolist())]

    def _kept_ids(self, tokenize: Any, texts: list[str], max_length: int | None) -> list[list[int]]:
        """The IDs of each text by the tokenizers package that encode would embed: the first
        ``max_length``, the unknown token left out."""
        return [
            [token for token in encoding.ids[:max_length] if token != self._unknown_token_id]
            for encoding in _tokenize_with(tokenize, texts)
        ]

    @overload
    def encode_iter(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: HalfName,
    ) -> Iterator[HalfEmbeddings]: ...
    @overload
    def encode_iter(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: SingleName = ...,
    ) -> Iterator[Embeddings]: ...
    @overload
    def encode_iter(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = ...,
        max_length: int | None = ...,
        show_progress: bool = ...,
        threads: int | None = ...,
        dtype: npt.DTypeLike,
    ) -> Iterator[Embeddings] | Iterator[HalfEmbeddings]: ...
    def encode_iter(
        self,
        texts: Iterable[str],
        *,
        batch_size: int = DEFAULT_BATCH_SIZE,
        max_length: int | None = None,
        show_progress: bool = False,
        threads: int | None = None,
        dtype: npt.DTypeLike = np.float32,
    ) -> Iterator[Embeddings] | Iterator[HalfEmbeddings]:
        """Yields the embeddings of ``texts`` one batch at a time, reading the texts as it goes.

        Suits inputs larger than memory: each yielded array has ``batch_size`` rows (the last may
        have fewer) and is computed as ``encode`` computes its rows, in ``dtype`` as there.
        """
        batches = self._iterate(texts, batch_size, max_length, show_progress, threads, None)
        if _output.output_dtype(dtype) == np.float16:
            return _halves(batches, batch_size)
        return batches

    def _iterate(
        self,
        texts: Iterable[str],
        batch_size: int,
        max_length: int | None,
        show_progress: bool,
        threads: int | None,
        into: Embeddings | None,
    ) -> Iterator[Embeddings]:
        tokenizer = self._tokenizer
        if tokenizer is None:
            raise ValueError(
                f"{self._path} has no {TOKENIZER_FILE}: encode needs one; embed_ids takes token IDs"
            )
        if isinstance(texts, str) or not isinstance(texts, Iterable):
            raise TypeError(f"texts must be an iterable of str, not {type(texts).__name__}")
        size = _positive("batch_size", batch_size)
        length = _max_length(max_length)
        count = _thread_count(threads)
        total = len(texts) if isinstance(texts, Sized) else None
        return self._batches(
            tokenizer, iter(texts), size, length, count, show_progress, total, into
        )

    def _batches(
        self,
        tokenizer: Tokenizer,
        texts: Iterator[str],
        batch_size: int,
        max_length: int | None,
        threads: int,
        show_progress: bool,
        total: int | None,
        into: Embeddings | None,
    ) -> Iterator[Embeddings]:
        # encode_batch_fast skips the character offsets, which embedding never needs.
        tokenize = getattr(tokenizer, "encode_batch_fast", tokenizer.encode_batch)
        progress = None
        if show_progress:
            from tqdm.auto import tqdm

            progress = tqdm(total=total, unit=" sentences")
        # Into one array without a progress bar, the native tokenizer takes every text in one
        # call: it tokenizes and embeds a few hundred texts at a time on each thread whatever the
        # call's size, and each call pays for starting its threads again.
        step = batch_size
        if into is not None and progress is None and self._native_tokenizer is not None:
            step = max(len(into), 1)
        try:
            for first in itertools.count(0, step):
                batch = list(itertools.islice(texts, step))
                if self._native_tokenizer is None:
                    batch = _check_texts(batch, first)
                # Otherwise the native call checks each text is a str as it reads it.
                if not batch:
                    return
                if into is None:
                    out = np.empty((len(batch), self.dim), dtype=np.float32)
                elif first + len(batch) <= len(into):
                    out = into[first : first + len(batch)]
                else:
                    raise ValueError(
                        f"texts changed length while being encoded: {len(into)} "
                        f"at the start, at least {first + len(batch)} read"
                    )
                if self._native_tokenizer is not None:
                    deferred, failure = self._table.encode_texts(
                        self._native_tokenizer,
                        batch,
                        out,
                        self._normalize,
                        threads,
                        max_length,
                        self._unknown_token_id,
                        first,
                    )
                    if failure is not None:
                        # The texts the tokenizers package takes before the failing one are
                        # checked first: the error is the first in input order, as it is when
                        # that package tokenizes everything.
                        deferred = [index for index in deferred if index < failure[0]]
                    # The tokenizers package takes them batch_size at a time.
                    for start in range(0, len(deferred), batch_size):
                        part = deferred[start : start + batch_size]
                        out[part] = self._encode_with(
                            tokenize,
                            [batch[index] for index in part],
                            max_length,
                            threads,
                            [first + index for index in part],
                        )
                    if failure is not None:
                        raise failure[1]
                else:
                    out[:] = self._encode_with(tokenize, batch, max_length, threads, first)
                if progress is not None:
                    progress.update(len(batch))
                yield out
        finally:
            if progress is not None:
                progress.close()

    def _encode_with(
        self,
        tokenize: Any,
        batch: list[str],
        max_length: int | None,
        threads: int,
        numbering: int | list[int],
    ) -> Embeddings:
        """The embeddings of ``batch`` as tokenized by the tokenizers package; errors name each
        text by ``numbering`` (the first text's index in the input, or every text's)."""
        encodings = _tokenize_with(tokenize, batch)
        out = np.empty((len(batch), self.dim), dtype=np.float32)
        self._table.embed_lists(
            [encoding.ids for encoding in encodings],
            out,
            self._normalize,
            threads,
            max_length,
            self._unknown_token_id,
            numbering,
        )
        return out


def _flatten(
    lists: Sequence[Sequence[int] | npt.NDArray[np.integer[Any]]],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The token IDs of every text back to back, and the N + 1 boundaries between texts."""
    offsets = np.cumsum([0, *map(len, lists)], dtype=np.int64)
    tokens = np.fromiter(
        itertools.chain.from_iterable(lists), dtype=np.int64, count=int(offsets[-1])
    )
    return tokens, offsets


def _halves(batches: Iterator[Embeddings], batch_size: int) -> Iterator[Any]:
    for index, batch in enumerate(batches):
        yield _output.to_half(batch, index * batch_size)


def _tokenize_with(tokenize: Any, texts: list[str]) -> Any:
    """The encodings of ``texts`` by the tokenizers package's ``tokenize`` (``encode_batch`` or
    its fast form), without special tokens."""
    try:
        return tokenize(texts, add_special_tokens=False)
    except BaseException as error:
        # A failure inside tokenizers (a Rust panic) is a BaseException: make it an error.
        if type(error).__name__ != "PanicException":
            raise
        raise ValueError(f"the tokenizers package failed on these texts: {error}") from error


# Models this process has loaded, by what pickling records of them, so that unpickling in the
# same process gives the model back instead of loading it again.
_CacheKey = tuple[str, str | None, bool | None, Backend, int | None, Quantization | None]
_registered: weakref.WeakValueDictionary[_CacheKey, Model] = weakref.WeakValueDictionary()
# Models unpickled in this process, kept for its life: a worker of a process pool receives the
# model with every task, and loads it only the first time.
_kept: dict[_CacheKey, Model] = {}
_cache_lock = threading.Lock()


def _register(model: Model) -> None:
    with _cache_lock:
        _registered.setdefault(model._cache_key(), model)


def _load_cached(
    path: str,
    tensor: str | None,
    normalize: bool | None,
    backend: Backend = "auto",
    dimensionality: int | None = None,
    quantize_to: Quantization | None = None,
) -> Model:
    key = (path, tensor, normalize, backend, dimensionality, quantize_to)
    with _cache_lock:
        model = _kept.get(key) or _registered.get(key)
        if model is not None:
            _kept[key] = model
            return model
    # Loaded without the lock, so a slow load does not hold up other models; a rare second
    # load of the same model by a concurrent unpickling is harmless.
    model = Model.load(
        path,
        tensor=tensor,
        normalize=normalize,
        backend=backend,
        dimensionality=dimensionality,
        quantize_to=quantize_to,
    )
    with _cache_lock:
        return _kept.setdefault(key, model)
