"""`korvane serve` on a tiny model, over the loopback address: the openai client's answers
against Model.encode, every error case over plain HTTP, SIGTERM with a request in flight, a
bounded load of good and bad requests, and the ASGI application driven directly where a running
server cannot show a state (loading, gathering)."""

import asyncio
import base64
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # The servers would run uvicorn, uvloop, httptools and orjson under the sanitizers too; the
    # native path they reach is that of Model.encode and embed_ids, checked by the rest of the
    # suite (test_token_counts.py: the token counts the server reports).
    pytest.skip("the server's tests run no native code of their own", allow_module_level=True)

httpx = pytest.importorskip("httpx")
openai = pytest.importorskip("openai")
for _package in ("uvicorn", "orjson", "prometheus_client"):
    pytest.importorskip(_package)

from korvane import Model  # noqa: E402
from korvane.serve import App, ServeConfig  # noqa: E402

from .package_models import SENTENCES, WORDS, make_tokenizer, random_table, write_table  # noqa: E402

KEY = "test-key-0123"
AUTH = {"Authorization": f"Bearer {KEY}"}
MAX_BODY = 65_536
MAX_TEXTS = 64
TEXTS = [text for text in SENTENCES if text]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """`korvane serve` in a subprocess, stderr to a file, ready once /health answers 200."""

    def __init__(self, args, log_path, env=None):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log_path = log_path
        self.log = open(log_path, "wb")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "korvane", "serve", *args, "--port", str(self.port)],
            stdout=self.log,
            stderr=subprocess.STDOUT,
            env={**os.environ, **(env or {})},
        )
        deadline = time.monotonic() + 60
        while True:
            assert self.process.poll() is None, self.output()
            try:
                if httpx.get(self.url + "/health", timeout=1).status_code == 200:
                    return
            except httpx.TransportError:
                pass
            assert time.monotonic() < deadline, "the server did not start:\n" + self.output()
            time.sleep(0.05)

    def output(self):
        if not self.log.closed:
            self.log.flush()
        return self.log_path.read_text(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


@pytest.fixture(scope="module")
def tiny_dir(tmp_path_factory):
    table = random_table(np.random.default_rng(5), len(WORDS), 16, "F32")
    directory = write_table(tmp_path_factory.mktemp("serve") / "tiny", table)
    make_tokenizer().save(str(directory / "tokenizer.json"))
    return directory


@pytest.fixture(scope="module")
def tiny(tiny_dir):
    return Model.load(tiny_dir)


@pytest.fixture(scope="module")
def server(tiny_dir, tmp_path_factory):
    log = tmp_path_factory.mktemp("serve-log") / "server.log"
    running = Server(
        [
            str(tiny_dir),
            "--model",
            f"second={tiny_dir}",
            "--max-body-bytes",
            str(MAX_BODY),
            "--max-batch-texts",
            str(MAX_TEXTS),
        ],
        log,
        env={"KORVANE_API_KEY": KEY},
    )
    yield running
    running.stop()


@pytest.fixture(scope="module")
def client(server):
    return openai.OpenAI(base_url=server.url + "/v1", api_key=KEY, max_retries=0)


def post(server, body, headers=AUTH, path="/v1/embeddings"):
    content = body if isinstance(body, bytes) else json.dumps(body).encode()
    return httpx.post(
        server.url + path,
        content=content,
        headers={"Content-Type": "application/json", **headers},
        timeout=30,
    )


def expected_tokens(tiny, texts):
    """Tokens the tokenizer gives the texts, the unknown token left out as encode does."""
    unknown = tiny.tokenizer.token_to_id("[UNK]")
    return sum(
        sum(token != unknown for token in tiny.tokenizer.encode(text, add_special_tokens=False).ids)
        for text in texts
    )


@pytest.mark.parametrize("encoding", ["float", "base64"])
@pytest.mark.parametrize("texts", [TEXTS[0], TEXTS], ids=["one", "list"])
def test_openai_client_gets_model_encode(client, tiny, encoding, texts):
    answer = client.embeddings.create(model="tiny", input=texts, encoding_format=encoding)
    batch = [texts] if isinstance(texts, str) else texts
    expected = tiny.encode(batch)
    assert [item.index for item in answer.data] == list(range(len(batch)))
    if encoding == "float":
        got = np.array([item.embedding for item in answer.data], dtype=np.float32)
        np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-7)
    else:  # the openai client hands base64 back as sent: little-endian float32
        got = np.array(
            [np.frombuffer(base64.b64decode(item.embedding), "<f4") for item in answer.data]
        )
        np.testing.assert_array_equal(got, expected)
    assert answer.model == "tiny"
    assert answer.usage.prompt_tokens == answer.usage.total_tokens == expected_tokens(tiny, batch)


def test_openai_client_decodes_base64_by_default(client, tiny):
    # Without encoding_format the client asks for base64 and decodes it into floats itself.
    answer = client.embeddings.create(model="second", input=TEXTS)
    got = np.array([item.embedding for item in answer.data], dtype=np.float32)
    np.testing.assert_array_equal(got, tiny.encode(TEXTS))


@pytest.mark.parametrize("ids", [[4, 5, 6], [[4, 5, 6], [7], [1, 1, 9, 30]]], ids=["one", "lists"])
def test_token_ids(client, tiny, ids):
    answer = client.embeddings.create(model="tiny", input=ids, encoding_format="float")
    lists = ids if isinstance(ids[0], list) else [ids]
    got = np.array([item.embedding for item in answer.data], dtype=np.float32)
    np.testing.assert_allclose(got, tiny.embed_ids(lists), rtol=1e-6, atol=1e-7)
    assert answer.usage.prompt_tokens == sum(map(len, lists))


@pytest.mark.parametrize("encoding", ["float", "base64"])
def test_dimensions_truncate_then_normalize(client, tiny, encoding):
    answer = client.embeddings.create(
        model="tiny", input=TEXTS, dimensions=5, encoding_format=encoding
    )
    if encoding == "float":
        got = np.array([item.embedding for item in answer.data], dtype=np.float32)
    else:
        got = np.array(
            [np.frombuffer(base64.b64decode(item.embedding), "<f4") for item in answer.data]
        )
    cut = tiny.encode(TEXTS)[:, :5]
    norms = np.linalg.norm(cut, axis=1, keepdims=True)
    zeros = norms[:, 0] == 0  # "zebra quantum": unknown tokens only, a row of zeros stays so
    assert zeros.any()
    np.testing.assert_allclose(got, cut / np.where(zeros[:, None], 1, norms), rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(np.linalg.norm(got[~zeros], axis=1), 1, rtol=1e-6)


def test_models_health_metrics(server, client):
    assert [model.id for model in client.models.list()] == ["tiny", "second"]
    assert client.models.retrieve("second").id == "second"
    health = httpx.get(server.url + "/health")  # no key needed
    assert (health.status_code, health.json()) == (200, {"status": "ok"})
    post(server, {"model": "tiny", "input": ["the cat", "the dog"]}).raise_for_status()
    metrics = httpx.get(server.url + "/metrics", headers=AUTH)
    assert metrics.status_code == 200
    for name in (
        "korvane_requests_total",
        "korvane_texts_total",
        "korvane_tokens_total",
        "korvane_request_seconds_bucket",
        "korvane_queue_depth",
        "korvane_batches_total",
    ):
        assert name in metrics.text
    assert 'korvane_requests_total{route="embeddings",status="200"}' in metrics.text


LONG_TEXT = "the cat " * (MAX_BODY // 8)
ERROR_CASES = [
    # (request body, headers, status, param, code)
    (b'{"model": "tiny", "input": ', AUTH, 400, None, None),
    (b"\xff\xfe not utf-8", AUTH, 400, None, None),
    ([1, 2], AUTH, 400, None, None),
    (b'{"model": "tiny", "input": "a\\ud800b"}', AUTH, 400, None, None),  # a lone surrogate
    ({"model": "tiny"}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": 3}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": None}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": []}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": ""}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": ["the cat", ""]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": ["the cat", 4]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [{"text": "x"}]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [4, "cat"]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [4, True]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [4, 5.0]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [[4], []]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [[4], 5]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": [4, len(WORDS)]}, AUTH, 400, "input", "invalid_token_id"),
    ({"model": "tiny", "input": [[4], [-1]]}, AUTH, 400, "input", "invalid_token_id"),
    ({"model": "tiny", "input": [2**70]}, AUTH, 400, "input", None),
    ({"model": "tiny", "input": "a", "encoding_format": "hex"}, AUTH, 400, "encoding_format", None),
    ({"model": "tiny", "input": "a", "dimensions": 0}, AUTH, 400, "dimensions", None),
    ({"model": "tiny", "input": "a", "dimensions": 17}, AUTH, 400, "dimensions", None),
    ({"model": "tiny", "input": "a", "dimensions": "8"}, AUTH, 400, "dimensions", None),
    ({"model": 7, "input": "a"}, AUTH, 400, "model", None),
    ({"model": "gpt-x", "input": "a"}, AUTH, 404, "model", "model_not_found"),
    ({"input": "a"}, AUTH, 400, "model", None),  # two models served: one must be named
    ({"model": "tiny", "input": ["a"] * (MAX_TEXTS + 1)}, AUTH, 413, "input", "too_many_inputs"),
    ({"model": "tiny", "input": LONG_TEXT}, AUTH, 413, None, "request_too_large"),
    ({"model": "tiny", "input": "a"}, {}, 401, None, "invalid_api_key"),
    (
        {"model": "tiny", "input": "a"},
        {"Authorization": "Bearer wrong"},
        401,
        None,
        "invalid_api_key",
    ),
    ({"model": "tiny", "input": "a"}, {"Authorization": KEY}, 401, None, "invalid_api_key"),
]


@pytest.mark.parametrize(("body", "headers", "status", "param", "code"), ERROR_CASES)
def test_errors_in_openai_shape(server, body, headers, status, param, code):
    answer = post(server, body, headers)
    assert answer.status_code == status, answer.text
    error = answer.json()["error"]
    assert set(error) == {"message", "type", "param", "code"}
    assert error["message"] and isinstance(error["message"], str)
    assert "Traceback" not in answer.text
    assert (error["param"], error["code"]) == (param, code)
    # ... and the server goes on serving.
    assert post(server, {"model": "tiny", "input": "the cat"}).status_code == 200


@pytest.mark.parametrize(
    ("method", "path", "headers", "status"),
    [
        ("GET", "/v1/embeddings", AUTH, 405),
        ("POST", "/v1/models", AUTH, 405),
        ("GET", "/v2/nothing", AUTH, 404),
        ("GET", "/v1/models/nothing", AUTH, 404),
        ("GET", "/v1/models", {}, 401),
        ("GET", "/metrics", {"Authorization": "Bearer nope"}, 401),
    ],
)
def test_routes_and_methods(server, method, path, headers, status):
    answer = httpx.request(method, server.url + path, headers=headers)
    assert answer.status_code == status
    assert set(answer.json()["error"]) == {"message", "type", "param", "code"}


def test_openai_client_raises_on_errors(client):
    with pytest.raises(openai.NotFoundError):
        client.embeddings.create(model="nothing", input="a")
    with pytest.raises(openai.BadRequestError):
        client.embeddings.create(model="tiny", input=[4, 999])


def test_content_length_over_limit_is_refused_before_the_body(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as connection:
        connection.sendall(
            f"POST /v1/embeddings HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer "
            f"{KEY}\r\nContent-Length: {MAX_BODY * 100}\r\n\r\n".encode()
        )
        reply = connection.recv(4096).decode()
    assert reply.startswith("HTTP/1.1 413")


def test_a_request_is_logged_in_one_line(server):
    post(server, {"model": "tiny", "input": ["the cat", "a dog"]}).raise_for_status()
    deadline = time.monotonic() + 10
    while '"POST /v1/embeddings" 200' not in server.output():
        assert time.monotonic() < deadline, server.output()
        time.sleep(0.05)
    line = next(line for line in server.output().splitlines() if "texts=2" in line)
    assert "INFO korvane.serve: 127.0.0.1:" in line


def test_load_of_good_and_bad_requests(server, tiny):
    """32 clients, 600 requests, a fifth of them malformed: every good one is answered
    correctly, every bad one with a 4xx."""
    expected = tiny.encode(TEXTS)
    bad_bodies = [
        b"{",
        b'{"model": "tiny", "input": []}',
        b'{"model": "tiny", "input": [999]}',
        b'{"model": "none", "input": "a"}',
    ]

    def worker(number):
        failures = []
        with httpx.Client(base_url=server.url, headers=AUTH, timeout=30) as session:
            for step in range(20):
                if (number + step) % 5 == 0:
                    reply = session.post("/v1/embeddings", content=bad_bodies[step % 4])
                    if not 400 <= reply.status_code < 500:
                        failures.append(reply.status_code)
                    continue
                index = (number * 7 + step) % len(TEXTS)
                reply = session.post(
                    "/v1/embeddings",
                    json={"model": "tiny", "input": TEXTS[index], "encoding_format": "base64"},
                )
                row = np.frombuffer(base64.b64decode(reply.json()["data"][0]["embedding"]), "<f4")
                if not np.array_equal(row, expected[index]):
                    failures.append(index)
        return failures

    with ThreadPoolExecutor(32) as pool:
        assert sum(pool.map(worker, range(30)), []) == []


def test_startup_fails_fast_with_the_loaders_message(tmp_path):
    missing = tmp_path / "absent"
    result = subprocess.run(
        [sys.executable, "-m", "korvane", "serve", str(missing), "--port", str(free_port())],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 1
    assert "no such model directory or file" in result.stderr
    assert str(missing) in result.stderr


@pytest.mark.parametrize("args", [["--model", "noequals"], [], ["--model", "=path"]])
def test_bad_model_arguments(args):
    result = subprocess.run(
        [sys.executable, "-m", "korvane", "serve", *args],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 1
    assert "korvane serve: error:" in result.stderr


def test_sigterm_finishes_the_request_in_flight(tiny_dir, tiny, tmp_path):
    server = Server([str(tiny_dir)], tmp_path / "server.log")
    try:
        body = json.dumps({"model": "tiny", "input": TEXTS, "encoding_format": "base64"}).encode()
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as connection:
            connection.sendall(
                b"POST /v1/embeddings HTTP/1.1\r\nHost: x\r\nContent-Type: "
                b"application/json\r\nContent-Length: %d\r\n\r\n" % len(body)
            )
            connection.sendall(body[:10])
            time.sleep(0.5)  # the request is being read when the signal comes
            server.process.send_signal(signal.SIGTERM)
            time.sleep(0.5)
            assert server.process.poll() is None  # still there, waiting for the body
            connection.sendall(body[10:])
            reply = b""
            while chunk := connection.recv(65536):  # closed by the server once answered
                reply += chunk
        head, _, payload = reply.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200"), reply[:300]
        data = json.loads(payload)["data"]
        got = np.array([np.frombuffer(base64.b64decode(item["embedding"]), "<f4") for item in data])
        np.testing.assert_array_equal(got, tiny.encode(TEXTS))
        # uvicorn raises the signal again once it has shut down (older releases do not), and
        # korvane then exits as its other commands do on SIGTERM.
        assert server.process.wait(30) in (0, 128 + signal.SIGTERM)
        assert "Finished server process" in server.output()
        with pytest.raises(httpx.TransportError):  # and it is gone
            httpx.get(server.url + "/health", timeout=2)
    finally:
        server.stop()


# ---------------------------------------------------------------------------------------------
# The ASGI application driven directly


async def call(app, method, path, body=b"", headers=()):
    messages = []

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        messages.append(message)

    scope = {
        "type": "http",
        "method": method,
        "path": path,
        "headers": list(headers),
        "client": ("127.0.0.1", 1),
    }
    await app(scope, receive, send)
    return messages[0]["status"], json.loads(messages[1]["body"])


async def start(app):
    """Runs the app's lifespan startup; returns the task that finishes it on shutdown."""
    queue = asyncio.Queue()
    await queue.put({"type": "lifespan.startup"})
    sent = asyncio.Queue()
    task = asyncio.create_task(app({"type": "lifespan"}, queue.get, sent.put))
    assert (await sent.get())["type"] == "lifespan.startup.complete"
    return queue, task


def test_health_is_503_until_the_model_is_loaded(tiny_dir):
    release = threading.Event()

    def slow_loader(path):
        release.wait(30)
        return Model.load(path)

    async def scenario():
        app = App(ServeConfig(models={"tiny": str(tiny_dir)}), loader=slow_loader)
        queue, task = await start(app)
        assert await call(app, "GET", "/health") == (503, {"status": "loading"})
        status, answer = await call(app, "POST", "/v1/embeddings", b'{"input": "the cat"}')
        assert (status, answer["error"]["code"]) == (503, "model_loading")
        release.set()
        while not app.ready:
            await asyncio.sleep(0.01)
        assert await call(app, "GET", "/health") == (200, {"status": "ok"})
        assert (await call(app, "POST", "/v1/embeddings", b'{"input": "the cat"}'))[0] == 200
        await queue.put({"type": "lifespan.shutdown"})
        await task

    asyncio.run(scenario())


def test_health_reports_a_failed_load(tmp_path):
    async def scenario():
        app = App(ServeConfig(models={"x": str(tmp_path / "absent")}))
        queue, task = await start(app)
        while app.load_error is None:
            await asyncio.sleep(0.01)
        status, answer = await call(app, "GET", "/health")
        assert status == 503 and answer["status"] == "failed"
        assert "no such model directory or file" in answer["error"]
        await queue.put({"type": "lifespan.shutdown"})
        await task

    asyncio.run(scenario())


def test_concurrent_requests_share_one_batch(tiny):
    async def scenario():
        app = App(ServeConfig(models={"tiny": "unused"}), models={"tiny": tiny})
        bodies = [
            json.dumps({"input": TEXTS[i % len(TEXTS)], "encoding_format": "base64"}).encode()
            for i in range(12)
        ] + [b'{"input": [[4, 5], [6]]}']
        answers = await asyncio.gather(
            *(call(app, "POST", "/v1/embeddings", body) for body in bodies)
        )
        assert app.metrics.batches.labels("tiny")._value.get() == 1
        for i, (status, answer) in enumerate(answers[:-1]):
            row = np.frombuffer(base64.b64decode(answer["data"][0]["embedding"]), "<f4")
            np.testing.assert_array_equal(row, tiny.encode([TEXTS[i % len(TEXTS)]])[0])
        rows = np.array([item["embedding"] for item in answers[-1][1]["data"]], np.float32)
        np.testing.assert_allclose(rows, tiny.embed_ids([[4, 5], [6]]), rtol=1e-6, atol=1e-7)

    asyncio.run(scenario())


def test_several_worker_processes(tiny_dir, tiny, tmp_path):
    server = Server([str(tiny_dir), "--workers", "2"], tmp_path / "server.log")
    try:
        client = openai.OpenAI(base_url=server.url + "/v1", api_key="unused", max_retries=0)
        for _ in range(4):
            answer = client.embeddings.create(model="tiny", input=TEXTS)
            got = np.array([item.embedding for item in answer.data], dtype=np.float32)
            np.testing.assert_array_equal(got, tiny.encode(TEXTS))
    finally:
        server.stop()
    assert server.output().count("Started server process") == 2


def test_slow_and_dropped_clients_do_not_hold_the_server(tiny_dir, tmp_path):
    server = Server([str(tiny_dir), "--read-timeout", "1"], tmp_path / "server.log")
    try:
        head = (
            b"POST /v1/embeddings HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
            b'Content-Length: 100\r\n\r\n{"input": '
        )
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as slow:
            slow.sendall(head)
            for _ in range(5):  # a client that goes away halfway through its body
                with socket.create_connection(("127.0.0.1", server.port), timeout=30) as dropped:
                    dropped.sendall(head)
            # Meanwhile others are served.
            assert post(server, {"input": "the cat"}, headers={}).status_code == 200
            # The slow one is answered once its body is overdue, then closed; the answer's head
            # and body can come in separate reads.
            reply = b""
            while chunk := slow.recv(4096):
                reply += chunk
        assert reply.startswith(b"HTTP/1.1 408"), reply
        assert b'"code":"timeout"' in reply
        assert post(server, {"input": "the cat"}, headers={}).status_code == 200
    finally:
        server.stop()


def test_a_failing_request_does_not_fail_those_gathered_with_it(tiny, monkeypatch):
    import korvane.serve

    real = korvane.serve.encode_texts

    def failing(model, texts, threads):
        if "boom" in texts:
            raise RuntimeError("boom")
        return real(model, texts, threads)

    monkeypatch.setattr(korvane.serve, "encode_texts", failing)

    async def scenario():
        app = App(ServeConfig(models={"tiny": "unused"}), models={"tiny": tiny})
        bodies = [b'{"input": "the cat"}', b'{"input": "boom"}', b'{"input": ["a dog"]}']
        return await asyncio.gather(*(call(app, "POST", "/v1/embeddings", body) for body in bodies))

    (good, _), (status, failed), (other, _) = asyncio.run(scenario())
    assert (good, status, other) == (200, 500, 200)
    assert failed["error"]["type"] == "server_error" and "boom" not in failed["error"]["message"]
