"""`korvane serve`: an embeddings server that speaks OpenAI's ``POST /v1/embeddings``.

The server is a plain ASGI application (``App``) run by uvicorn with httptools and uvloop.
Requests that arrive together are embedded together: each model has a ``Batcher`` that gathers
the texts of the requests waiting for it into one native call, made on a thread of its own (the
native code releases the interpreter), while the event loop goes on reading and answering.

Routes: ``POST /v1/embeddings``, ``GET /v1/models`` (and ``/v1/models/NAME``), ``GET /health``
(503 until every model is loaded, then 200) and ``GET /metrics`` (Prometheus text). Every
failure is answered in OpenAI's error shape, ``{"error": {"message", "type", "param", "code"}}``;
with an API key, every route but ``/health`` requires ``Authorization: Bearer KEY``.

The serving packages are optional (``pip install 'korvane[serve]'``): this module imports them
only when a server is made, so that the rest of the command line works without them.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import hmac
import json
import logging
import os
import sys
import threading
import time
from collections.abc import Awaitable, Callable, MutableMapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._layout import DEFAULT_BATCH_SIZE
from .model import _tokenize_with

if TYPE_CHECKING:
    from .model import Model

__all__ = ["App", "ServeConfig", "add_arguments", "run"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
Rows = npt.NDArray[np.float32]
Counts = npt.NDArray[np.int64]

API_KEY_VARIABLE = "KORVANE_API_KEY"
CONFIG_VARIABLE = "KORVANE_SERVE_CONFIG"
LOGGER = logging.getLogger("korvane.serve")
# Below this many texts, a gathered batch is computed on the event loop's thread, by one thread:
# handing it to another thread, or starting several, costs more than they save.
PARALLEL_FROM_TEXTS = 256
LATENCY_BUCKETS = (0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0)


@dataclass
class ServeConfig:
    """What a server process needs to know; passed to worker processes as JSON."""

    models: dict[str, str]  # served name -> path
    api_key: str | None = None
    max_body_bytes: int = 8 * 1024 * 1024
    max_batch_texts: int = 2048
    batch_wait_ms: float = 0.0
    max_batch: int = DEFAULT_BATCH_SIZE
    read_timeout: float = 30.0
    threads: int | None = None


class ApiError(Exception):
    """A request answered with an error in OpenAI's shape."""

    def __init__(
        self,
        status: int,
        message: str,
        kind: str = "invalid_request_error",
        param: str | None = None,
        code: str | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.kind = kind
        self.param = param
        self.code = code


def invalid(message: str, param: str | None = "input", code: str | None = None) -> ApiError:
    return ApiError(400, message, param=param, code=code)


# ---------------------------------------------------------------------------------------------
# Embedding a batch


def _usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def encode_texts(model: Model, texts: list[str], threads: int) -> tuple[Rows, Counts]:
    """The embeddings of `texts` as ``Model.encode`` computes them, and the number of tokens of
    each text that went into its embedding (the model's unknown token, left out, not counted)."""
    rows = np.empty((len(texts), model.dim), dtype=np.float32)
    counts = np.zeros(len(texts), dtype=np.int64)
    native = model._native_tokenizer
    if native is not None:
        deferred, failure = model._table.encode_texts(
            native,
            texts,
            rows,
            model.normalize,
            threads,
            None,
            model._unknown_token_id,
            token_counts=counts,
        )
        if failure is not None:
            raise failure[1]
        if deferred:
            rows[deferred], counts[deferred] = _encode_with_tokenizers(
                model, [texts[index] for index in deferred], threads
            )
    else:
        rows[:], counts[:] = _encode_with_tokenizers(model, texts, threads)
    return rows, counts


def _encode_with_tokenizers(model: Model, texts: list[str], threads: int) -> tuple[Rows, Counts]:
    tokenizer = model.tokenizer
    assert tokenizer is not None
    unknown = model._unknown_token_id
    encodings = _tokenize_with(tokenizer.encode_batch, texts)
    ids = [[token for token in encoding.ids if token != unknown] for encoding in encodings]
    rows = np.empty((len(texts), model.dim), dtype=np.float32)
    model._table.embed_lists(ids, rows, model.normalize, threads)
    return rows, np.fromiter(map(len, ids), np.int64, len(ids))


@dataclass
class Job:
    """One request's share of a batch: its texts or its token lists."""

    texts: list[str] | None
    token_lists: list[list[int]] | None
    future: asyncio.Future[tuple[Rows, Counts]]

    @property
    def size(self) -> int:
        return len(self.texts if self.texts is not None else self.token_lists or ())


class Batcher:
    """Gathers the jobs of one model that wait together into one native call per kind."""

    def __init__(
        self, model: Model, config: ServeConfig, queue_gauge: Any, batch_counter: Any
    ) -> None:
        self.model = model
        self.wait = config.batch_wait_ms / 1000
        self.max_batch = config.max_batch
        self.threads = config.threads or _usable_cpus()
        self.pending: list[Job] = []
        self.queued_texts = 0
        self.running = False
        self.queue_gauge = queue_gauge
        self.batch_counter = batch_counter
        self.texts_counter: Any = None
        self.tokens_counter: Any = None
        self.executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="korvane-embed")

    async def embed(
        self, texts: list[str] | None, token_lists: list[list[int]] | None
    ) -> tuple[Rows, Counts]:
        loop = asyncio.get_running_loop()
        job = Job(texts, token_lists, loop.create_future())
        self.pending.append(job)
        self.queued_texts += job.size
        self.queue_gauge.set(self.queued_texts)
        if not self.running:
            self.running = True
            loop.create_task(self._drain())
        return await job.future

    async def _drain(self) -> None:
        loop = asyncio.get_running_loop()
        try:
            while self.pending:
                # Let the requests that have arrived meanwhile join this batch.
                await asyncio.sleep(self.wait)
                taken: list[Job] = []
                size = 0
                while self.pending and (not taken or size + self.pending[0].size <= self.max_batch):
                    job = self.pending.pop(0)
                    taken.append(job)
                    size += job.size
                self.queued_texts -= size
                self.queue_gauge.set(self.queued_texts)
                self.batch_counter.inc()
                results: Sequence[tuple[Rows, Counts] | Exception]
                try:
                    if size < PARALLEL_FROM_TEXTS:
                        # A few microseconds a text: cheaper here than a hand-over to a thread.
                        results = self._compute(taken, 1)
                    else:
                        results = await loop.run_in_executor(
                            self.executor, self._compute, taken, self.threads
                        )
                except Exception:
                    # A fault of one job must not fail the others gathered with it.
                    results = [self._compute_alone(job) for job in taken]
                for job, result in zip(taken, results):
                    if job.future.done():  # cancelled when its client went away
                        continue
                    if isinstance(result, BaseException):
                        job.future.set_exception(result)
                    else:
                        job.future.set_result(result)
        finally:
            self.running = False

    def _compute_alone(self, job: Job) -> tuple[Rows, Counts] | Exception:
        try:
            return self._compute([job], 1)[0]
        except Exception as error:
            return error

    def _compute(self, jobs: list[Job], threads: int) -> list[tuple[Rows, Counts]]:
        """Each job's rows and token counts, from one call for all texts and one for all token
        lists."""
        results: list[tuple[Rows, Counts] | None] = [None] * len(jobs)
        for kind in ("texts", "token_lists"):
            members = [i for i, job in enumerate(jobs) if getattr(job, kind) is not None]
            if not members:
                continue
            items = [item for i in members for item in getattr(jobs[i], kind)]
            if kind == "texts":
                rows, counts = encode_texts(self.model, items, threads)
            else:
                rows = self.model.embed_ids(items, threads=threads)
                counts = np.fromiter(map(len, items), np.int64, len(items))
            start = 0
            for i in members:
                end = start + jobs[i].size
                results[i] = (rows[start:end], counts[start:end])
                start = end
        return [result for result in results if result is not None]

    def close(self) -> None:
        self.executor.shutdown(wait=False, cancel_futures=True)


# ---------------------------------------------------------------------------------------------
# Requests


def parse_input(
    value: object, vocab_size: int, has_tokenizer: bool
) -> tuple[list[str] | None, list[list[int]] | None]:
    """`input` as texts or as token lists; ApiError(400) naming what is wrong."""
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list):
        raise invalid(
            "'input' must be a string, a list of strings, a list of token IDs or a "
            f"list of such lists, not {_json_type(value)}"
        )
    if not value:
        raise invalid("'input' must not be empty")
    first = value[0]
    if isinstance(first, str):
        for index, text in enumerate(value):
            if not isinstance(text, str):
                raise invalid(
                    f"'input[{index}]' is {_json_type(text)}; a list of strings must "
                    "hold only strings"
                )
            if not text:
                raise invalid(f"'input[{index}]' is an empty string")
        if not has_tokenizer:
            raise invalid("this model has no tokenizer: send token IDs instead of strings")
        return value, None
    if type(first) is int:
        token_lists = [value]
    elif isinstance(first, list):
        token_lists = value
    else:
        raise invalid(
            f"'input[0]' is {_json_type(first)}, not a string, a token ID or a list of token IDs"
        )
    for index, ids in enumerate(token_lists):
        where = f"'input[{index}]'" if token_lists is value else "'input'"
        if not isinstance(ids, list):
            raise invalid(
                f"{where} is {_json_type(ids)}; a list of token lists must hold only "
                "lists of token IDs"
            )
        if not ids:
            raise invalid(f"{where} is an empty list of token IDs")
        if not all(type(token) is int for token in ids):
            bad = next(token for token in ids if type(token) is not int)
            raise invalid(f"{where} holds {_json_type(bad)}; token IDs are integers")
        low, high = min(ids), max(ids)
        if low < 0 or high >= vocab_size:
            raise invalid(
                f"{where} holds the token ID {low if low < 0 else high}, outside the "
                f"model's vocabulary of {vocab_size}",
                code="invalid_token_id",
            )
    return None, token_lists


def _json_type(value: object) -> str:
    names = {
        dict: "an object",
        list: "a list",
        str: "a string",
        bool: "a boolean",
        int: "a number",
        float: "a number",
        type(None): "null",
    }
    return names.get(type(value), type(value).__name__)


def resize(rows: Rows, dimensions: int | None, normalize: bool) -> Rows:
    """The first `dimensions` values of each row, scaled back to unit length when the model
    normalizes (a row of zeros stays zeros)."""
    if dimensions is None or dimensions >= rows.shape[1]:
        return rows
    cut = rows[:, :dimensions]
    if not normalize:
        return np.ascontiguousarray(cut)
    norms: Rows = np.sqrt(np.einsum("ij,ij->i", cut, cut))
    norms[norms == 0] = 1
    return (cut / norms[:, None]).astype(np.float32, copy=False)


# ---------------------------------------------------------------------------------------------
# The application


@dataclass
class Metrics:
    registry: Any
    requests: Any
    texts: Any
    tokens: Any
    latency: Any
    queue_depth: Any
    batches: Any


def make_metrics() -> Metrics:
    from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

    registry = CollectorRegistry(auto_describe=True)
    return Metrics(
        registry=registry,
        requests=Counter(
            "korvane_requests",
            "HTTP requests answered, by route and status",
            ["route", "status"],
            registry=registry,
        ),
        texts=Counter(
            "korvane_texts", "Texts and token lists embedded", ["model"], registry=registry
        ),
        tokens=Counter("korvane_tokens", "Tokens embedded", ["model"], registry=registry),
        latency=Histogram(
            "korvane_request_seconds",
            "Time to answer a request, by route",
            ["route"],
            buckets=LATENCY_BUCKETS,
            registry=registry,
        ),
        queue_depth=Gauge(
            "korvane_queue_depth", "Texts waiting to be embedded", ["model"], registry=registry
        ),
        batches=Counter(
            "korvane_batches",
            "Native calls, each for the requests gathered",
            ["model"],
            registry=registry,
        ),
    )


def import_serving_packages() -> tuple[Any, Callable[[bytes], bytes]]:
    """orjson and a base64 encoder; ImportError with the install line when they are missing."""
    try:
        import orjson
        import prometheus_client  # noqa: F401
    except ImportError as error:
        raise ImportError(
            f"korvane serve needs orjson, prometheus-client, uvicorn, httptools "
            f"and uvloop ({error}): pip install 'korvane[serve]'"
        ) from None
    try:
        import pybase64

        encode: Callable[[bytes], bytes] = pybase64.b64encode
    except ImportError:
        encode = base64.b64encode
    return orjson, encode


ROUTES = {
    "/v1/embeddings": "embeddings",
    "/v1/models": "models",
    "/health": "health",
    "/metrics": "metrics",
}
JSON = [(b"content-type", b"application/json")]


class App:
    """The ASGI application. Models are loaded by `loader` on a thread when the server starts
    (``/health`` answers 503 until then), unless given loaded in `models`."""

    def __init__(
        self,
        config: ServeConfig,
        models: dict[str, Model] | None = None,
        loader: Callable[[str], Model] | None = None,
    ) -> None:
        self.config = config
        self.orjson, self.b64encode = import_serving_packages()
        self.metrics = make_metrics()
        # The labelled children, looked up once rather than on every request.
        self.request_counters: dict[tuple[str, int], Any] = {}
        self.latencies = {
            route: self.metrics.latency.labels(route) for route in (*ROUTES.values(), "other")
        }
        self.key = config.api_key.encode() if config.api_key else None
        self.loader = loader or _load_model
        self.models: dict[str, Model] = {}
        self.batchers: dict[str, Batcher] = {}
        self.load_error: str | None = None
        self.created = int(time.time())
        if models is not None:
            self._install(models)

    @property
    def ready(self) -> bool:
        return bool(self.batchers)

    def _install(self, models: dict[str, Model]) -> None:
        for name, model in models.items():
            self.batchers[name] = Batcher(
                model,
                self.config,
                self.metrics.queue_depth.labels(name),
                self.metrics.batches.labels(name),
            )
            self.batchers[name].texts_counter = self.metrics.texts.labels(name)
            self.batchers[name].tokens_counter = self.metrics.tokens.labels(name)
        self.models = dict(models)

    def load(self) -> None:
        """Loads every model of the configuration; on failure keeps the message for /health."""
        try:
            models = {name: self.loader(path) for name, path in self.config.models.items()}
        except Exception as error:
            self.load_error = f"{type(error).__name__}: {error}"
            LOGGER.error("cannot load the model: %s", self.load_error)
            return
        self._install(models)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            await self.http(scope, receive, send)
        elif scope["type"] == "lifespan":
            await self.lifespan(receive, send)

    async def lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                if not self.ready:
                    threading.Thread(target=self.load, name="korvane-load", daemon=True).start()
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                for batcher in self.batchers.values():
                    batcher.close()
                await send({"type": "lifespan.shutdown.complete"})
                return

    async def http(self, scope: Scope, receive: Receive, send: Send) -> None:
        started = time.perf_counter()
        path: str = scope["path"]
        route = ROUTES.get(path, "models" if path.startswith("/v1/models/") else "other")
        texts = 0
        headers = JSON
        try:
            status, body, headers, texts = await self.dispatch(route, scope, receive)
        except ApiError as error:
            status, body = error.status, self.error_body(error)
            if error.status == 413 or error.status == 408:
                headers = [*JSON, (b"connection", b"close")]
        except Exception as error:  # a fault of ours: logged here, never shown to the client
            LOGGER.exception("failed to answer %s %s", scope["method"], path)
            status = 500
            body = self.error_body(
                ApiError(500, f"internal error ({type(error).__name__})", kind="server_error")
            )
        await send(
            {
                "type": "http.response.start",
                "status": status,
                "headers": [*headers, (b"content-length", str(len(body)).encode())],
            }
        )
        await send({"type": "http.response.body", "body": body})
        elapsed = time.perf_counter() - started
        counter = self.request_counters.get((route, status))
        if counter is None:
            counter = self.metrics.requests.labels(route, str(status))
            self.request_counters[(route, status)] = counter
        counter.inc()
        self.latencies[route].observe(elapsed)
        if LOGGER.isEnabledFor(logging.INFO):
            client = scope.get("client") or ("-", 0)
            LOGGER.info(
                '%s:%s "%s %s" %d %.2f ms texts=%d',
                client[0],
                client[1],
                scope["method"],
                path,
                status,
                elapsed * 1000,
                texts,
            )

    def error_body(self, error: ApiError) -> bytes:
        body: bytes = self.orjson.dumps(
            {
                "error": {
                    "message": error.message,
                    "type": error.kind,
                    "param": error.param,
                    "code": error.code,
                }
            }
        )
        return body

    def check_key(self, scope: Scope) -> None:
        if self.key is None:
            return
        for name, value in scope["headers"]:
            if name == b"authorization":
                scheme, _, token = value.partition(b" ")
                if scheme.lower() == b"bearer" and hmac.compare_digest(token.strip(), self.key):
                    return
                break
        raise ApiError(
            401,
            "a valid API key is required: send 'Authorization: Bearer KEY'",
            kind="authentication_error",
            param=None,
            code="invalid_api_key",
        )

    async def dispatch(
        self, route: str, scope: Scope, receive: Receive
    ) -> tuple[int, bytes, list[tuple[bytes, bytes]], int]:
        method = scope["method"]
        if route == "health":
            self.allow(method, "GET")
            if self.ready:
                return 200, b'{"status":"ok"}', JSON, 0
            state = (
                {"status": "failed", "error": self.load_error}
                if self.load_error
                else {"status": "loading"}
            )
            return 503, self.orjson.dumps(state), JSON, 0
        self.check_key(scope)
        if route == "embeddings":
            self.allow(method, "POST")
            body = await self.read_body(scope, receive)
            status, answer, count = await self.embeddings(body)
            return status, answer, JSON, count
        if route == "models":
            self.allow(method, "GET")
            return 200, self.model_list(scope["path"]), JSON, 0
        if route == "metrics":
            self.allow(method, "GET")
            from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

            return (
                200,
                generate_latest(self.metrics.registry),
                [(b"content-type", CONTENT_TYPE_LATEST.encode())],
                0,
            )
        raise ApiError(404, f"no route {scope['path']}", param=None, code="not_found")

    @staticmethod
    def allow(method: str, allowed: str) -> None:
        if method != allowed:
            raise ApiError(
                405,
                f"method {method} not allowed here; use {allowed}",
                param=None,
                code="method_not_allowed",
            )

    async def read_body(self, scope: Scope, receive: Receive) -> bytes:
        limit = self.config.max_body_bytes
        for name, value in scope["headers"]:
            if name == b"content-length" and value.isdigit() and int(value) > limit:
                raise self.too_large()
        message = await receive()
        body: bytes = message.get("body", b"")
        if not message.get("more_body", False):
            if len(body) > limit:
                raise self.too_large()
            return body
        chunks, size = [body], len(body)
        while True:
            try:
                message = await asyncio.wait_for(receive(), self.config.read_timeout)
            except TimeoutError:
                raise ApiError(
                    408,
                    f"the request body did not arrive within {self.config.read_timeout:g} s",
                    param=None,
                    code="timeout",
                ) from None
            if message["type"] == "http.disconnect":
                raise ApiError(400, "the client went away", param=None)
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > limit:
                raise self.too_large()
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    def too_large(self) -> ApiError:
        return ApiError(
            413,
            f"the request body is larger than {self.config.max_body_bytes} bytes",
            param=None,
            code="request_too_large",
        )

    def model_list(self, path: str) -> bytes:
        def entry(name: str) -> dict[str, Any]:
            return {"id": name, "object": "model", "created": self.created, "owned_by": "korvane"}

        if path.startswith("/v1/models/"):
            name = path[len("/v1/models/") :]
            if name not in self.config.models:
                raise self.unknown_model(name)
            answer: bytes = self.orjson.dumps(entry(name))
            return answer
        answer = self.orjson.dumps(
            {"object": "list", "data": [entry(name) for name in self.config.models]}
        )
        return answer

    def unknown_model(self, name: object) -> ApiError:
        return ApiError(
            404,
            f"the model {name!r} does not exist; served: {', '.join(self.config.models)}",
            param="model",
            code="model_not_found",
        )

    async def embeddings(self, body: bytes) -> tuple[int, bytes, int]:
        try:
            request = self.orjson.loads(body)
        except self.orjson.JSONDecodeError as error:
            raise invalid(f"the body is not valid JSON: {error}", param=None) from None
        if not isinstance(request, dict):
            raise invalid(f"the body must be a JSON object, not {_json_type(request)}", param=None)
        name = request.get("model")
        if name is None and len(self.config.models) == 1:
            name = next(iter(self.config.models))
        if not isinstance(name, str):
            raise invalid(f"'model' must be a string, not {_json_type(name)}", param="model")
        if name not in self.config.models:
            raise self.unknown_model(name)
        batcher = self.batchers.get(name)
        if batcher is None:
            raise ApiError(
                503,
                "the model is still loading",
                kind="server_error",
                param=None,
                code="model_loading",
            )
        model = batcher.model
        encoding = request.get("encoding_format")
        if encoding is None:
            encoding = "float"
        if encoding not in ("float", "base64"):
            raise invalid("'encoding_format' must be 'float' or 'base64'", param="encoding_format")
        dimensions = request.get("dimensions")
        if dimensions is not None and (
            type(dimensions) is not int or not 1 <= dimensions <= model.dim
        ):
            raise invalid(
                f"'dimensions' must be a whole number from 1 to {model.dim}", param="dimensions"
            )
        if "input" not in request:
            raise invalid("'input' is required")
        texts, token_lists = parse_input(
            request["input"], model.vocab_size, model.tokenizer is not None
        )
        count = len(texts if texts is not None else token_lists or ())
        if count > self.config.max_batch_texts:
            raise ApiError(
                413,
                f"'input' holds {count} items; at most "
                f"{self.config.max_batch_texts} are taken in one request",
                param="input",
                code="too_many_inputs",
            )
        rows, counts = await batcher.embed(texts, token_lists)
        rows = resize(rows, dimensions, model.normalize)
        tokens = int(counts.sum())
        batcher.texts_counter.inc(count)
        batcher.tokens_counter.inc(tokens)
        return 200, self.answer(rows, encoding, name, tokens), count

    def answer(self, rows: Rows, encoding: str, name: str, tokens: int) -> bytes:
        if encoding == "base64":
            little = rows.astype("<f4", copy=False)
            data: list[dict[str, Any]] = [
                {
                    "object": "embedding",
                    "index": index,
                    "embedding": self.b64encode(little[index].tobytes()).decode("ascii"),
                }
                for index in range(len(little))
            ]
        else:
            data = [
                {"object": "embedding", "index": index, "embedding": row}
                for index, row in enumerate(rows)
            ]
        body: bytes = self.orjson.dumps(
            {
                "object": "list",
                "data": data,
                "model": name,
                "usage": {"prompt_tokens": tokens, "total_tokens": tokens},
            },
            option=self.orjson.OPT_SERIALIZE_NUMPY,
        )
        return body


def _load_model(path: str) -> Model:
    from .model import Model

    return Model.load(path)


# ---------------------------------------------------------------------------------------------
# The command


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "model", nargs="?", help="a model directory or .safetensors file, served under its name"
    )
    parser.add_argument(
        "--model",
        dest="named_models",
        action="append",
        default=[],
        metavar="NAME=PATH",
        help="serve another model as NAME (repeatable)",
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)"
    )
    parser.add_argument("--port", type=int, default=8080, help="port (default: 8080)")
    parser.add_argument(
        "--workers",
        type=_positive,
        default=1,
        help="server processes, each with the models loaded (default: 1)",
    )
    parser.add_argument(
        "--api-key",
        default=None,
        help=f"require 'Authorization: Bearer KEY' (default: ${API_KEY_VARIABLE}, if set)",
    )
    parser.add_argument(
        "--log-level",
        default="info",
        choices=("critical", "error", "warning", "info", "debug"),
        help="least level logged; each request is a line at info (default: info)",
    )
    parser.add_argument(
        "--max-body-bytes",
        type=_positive,
        default=ServeConfig.max_body_bytes,
        help="larger request bodies get 413 (default: 8 MiB)",
    )
    parser.add_argument(
        "--max-batch-texts",
        type=_positive,
        default=ServeConfig.max_batch_texts,
        help="requests with more inputs get 413 (default: 2048)",
    )
    parser.add_argument(
        "--batch-wait-ms",
        type=float,
        default=ServeConfig.batch_wait_ms,
        help="how long a batch waits for more requests to join it (default: 0, "
        "only those already arrived)",
    )
    parser.add_argument(
        "--max-batch",
        type=_positive,
        default=ServeConfig.max_batch,
        help=f"most texts gathered into one native call (default: {DEFAULT_BATCH_SIZE})",
    )
    parser.add_argument(
        "--threads",
        type=_positive,
        default=None,
        help="threads of a large batch (default: every usable CPU)",
    )
    parser.add_argument(
        "--limit-concurrency",
        type=_positive,
        default=2048,
        help="open connections and requests beyond which new ones get 503 (default: 2048)",
    )
    parser.add_argument(
        "--read-timeout",
        type=float,
        default=ServeConfig.read_timeout,
        help="seconds a request body may take to arrive (default: 30)",
    )


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def config_from_arguments(args: argparse.Namespace) -> ServeConfig:
    models: dict[str, str] = {}
    if args.model is not None:
        models[Path(args.model).name or args.model] = args.model
    for entry in args.named_models:
        name, equals, path = entry.partition("=")
        if not equals or not name or not path:
            raise ValueError(f"--model takes NAME=PATH, not {entry!r}")
        if name in models:
            raise ValueError(f"two models are named {name!r}")
        models[name] = path
    if not models:
        raise ValueError("name a model to serve: korvane serve MODEL, or --model NAME=PATH")
    return ServeConfig(
        models=models,
        api_key=args.api_key or os.environ.get(API_KEY_VARIABLE),
        max_body_bytes=args.max_body_bytes,
        max_batch_texts=args.max_batch_texts,
        batch_wait_ms=max(0.0, args.batch_wait_ms),
        max_batch=args.max_batch,
        read_timeout=args.read_timeout,
        threads=args.threads,
    )


def worker_app() -> App:
    """The application of a worker process of ``--workers N``: the configuration comes in the
    environment, and the models load once the worker starts."""
    config = ServeConfig(**json.loads(os.environ[CONFIG_VARIABLE]))
    return App(config)


def configure_logging(level: str) -> None:
    logging.basicConfig(
        format="%(asctime)s %(levelname)s %(name)s: %(message)s",
        level=level.upper(),
        stream=sys.stderr,
    )
    LOGGER.setLevel(level.upper())


def run(args: argparse.Namespace) -> int:
    """Loads the models (failing with the loader's message) and serves until SIGTERM or SIGINT,
    which finish the requests in flight first."""
    config = config_from_arguments(args)
    import_serving_packages()
    try:
        import uvicorn
    except ImportError:
        raise ImportError("korvane serve needs uvicorn: pip install 'korvane[serve]'") from None
    configure_logging(args.log_level)
    # Loaded here first, so that a bad model stops the command at once with the loader's words.
    models = {name: _load_model(path) for name, path in config.models.items()}
    options: dict[str, Any] = dict(
        # uvloop and httptools (korvane[serve]) whenever they are installed.
        host=args.host,
        port=args.port,
        loop="auto",
        http="auto",
        lifespan="on",
        log_level=args.log_level,
        access_log=False,
        limit_concurrency=args.limit_concurrency,
        timeout_keep_alive=5,
        timeout_graceful_shutdown=30,
        server_header=False,
        date_header=False,
    )
    if args.workers == 1:
        uvicorn.run(App(config, models), **options)
    else:
        del models
        os.environ[CONFIG_VARIABLE] = json.dumps(asdict(config))
        uvicorn.run("korvane.serve:worker_app", factory=True, workers=args.workers, **options)
    return 0
