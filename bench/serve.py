"""`make bench-serve`: korvane serve under wrk on the loopback address, in one run.

1. Single-text requests from 64 connections: korvane serve (uvicorn, one worker) against the
   FastAPI app around model2vec's encode in bench/serve_peer.py (uvicorn, one worker).
2. The same load on the same application under granian, and korvane serve with two workers:
   the measurement behind the choice of server.
3. Requests of 256 texts in base64: texts per second.
4. A million requests, one in ten malformed, from a wrk Lua script that checks every answer's
   status and body against the answers verified beforehand against Model.encode; the server's
   resident memory before and after.

The model is all-MiniLM-L6-v2's token table (the demo's) saved by model2vec, so both servers
read the same directory. Figures go to bench/serve_results.md.
"""

import argparse
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PYTHON = sys.executable
CONNECTIONS = 64
BATCH = 256
MALFORMED_EVERY = 10
MALFORMED = [  # (body, expected status)
    (b'{"model": "m", "input": ', 400),
    (b'{"model": "m", "input": []}', 400),
    (b'{"model": "m", "input": [""]}', 400),
    (b'{"model": "m", "input": [101, 999999]}', 400),
    (b'{"model": "m", "input": 42}', 400),
    (b'{"model": "m", "input": "a", "dimensions": 0}', 400),
    (b'{"model": "m", "input": "a", "encoding_format": "hex"}', 400),
    (b'{"model": "nothing", "input": "a"}', 404),
    (b"[1, 2, 3]", 400),
]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_ready(url, process, path="/health", timeout=120):
    import httpx

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"server exited with {process.returncode}")
        try:
            if path == "/health":
                if httpx.get(url + path, timeout=1).status_code == 200:
                    return
            elif (
                httpx.post(url + path, json={"model": "m", "input": "warm"}, timeout=5).status_code
                == 200
            ):
                return
        except httpx.TransportError:
            pass
        time.sleep(0.1)
    sys.exit(f"{url} did not come up")


class Server:
    def __init__(self, command, env=None, cwd=None, ready_path="/health", port=None):
        self.port = port or free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        command = [part.replace("{port}", str(self.port)) for part in command]
        self.process = subprocess.Popen(
            command,
            env={**os.environ, **(env or {})},
            cwd=cwd,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        wait_ready(self.url, self.process, ready_path)

    def rss_kib(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        raise RuntimeError("no VmRSS")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def lua_string(data):
    text = data.decode() if isinstance(data, bytes) else data
    assert "]==]" not in text
    return "[==[" + text + "]==]"


def rotating_script(bodies):
    entries = ",\n".join(lua_string(body) for body in bodies)
    return f"""
local bodies = {{
{entries}
}}
local counter = 0
local headers = {{["Content-Type"] = "application/json"}}
function request()
  counter = counter + 1
  return wrk.format("POST", "/v1/embeddings", headers, bodies[counter % #bodies + 1])
end
"""


def checking_script(goods, bads):
    """Good requests and their verified answers, malformed ones and theirs: every answer must be
    the one expected of some request, with its status. Each thread stops after its share."""
    good = ",\n".join(f"{{{lua_string(q)}, {lua_string(a)}}}" for q, a in goods)
    bad = ",\n".join(f"{{{lua_string(q)}, {lua_string(a)}, {s}}}" for q, a, s in bads)
    return f"""
local goods = {{
{good}
}}
local bads = {{
{bad}
}}
local expected = {{}}
for _, g in ipairs(goods) do expected[g[2]] = 200 end
for _, b in ipairs(bads) do expected[b[2]] = b[3] end
local headers = {{["Content-Type"] = "application/json"}}
local threads = {{}}
-- Globals, so that done() can read them of each thread.
counter, answered, good_ok, bad_ok, wrong, limit, marker = 0, 0, 0, 0, 0, 0, ""

function setup(thread)
  table.insert(threads, thread)
  thread:set("id", #threads)
end

function init(args)
  limit = tonumber(args[1])
  marker = args[2] .. "/done-" .. id
end

function request()
  counter = counter + 1
  if counter % {MALFORMED_EVERY} == 0 then
    local b = bads[(counter / {MALFORMED_EVERY}) % #bads + 1]
    return wrk.format("POST", "/v1/embeddings", headers, b[1])
  end
  return wrk.format("POST", "/v1/embeddings", headers, goods[counter % #goods + 1][1])
end

function response(status, headers, body)
  answered = answered + 1
  local want = expected[body]
  if want == nil or want ~= status then
    wrong = wrong + 1
  elseif status == 200 then
    good_ok = good_ok + 1
  elseif status >= 400 and status < 500 then
    bad_ok = bad_ok + 1
  else
    wrong = wrong + 1
  end
  if answered == limit then
    -- wrk runs out its duration even with every thread stopped: the marker tells the caller
    -- to end it now.
    local file = io.open(marker, "w")
    file:close()
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local a, g, b, w = 0, 0, 0, 0
  for _, t in ipairs(threads) do
    a = a + t:get("answered"); g = g + t:get("good_ok")
    b = b + t:get("bad_ok"); w = w + t:get("wrong")
  end
  io.write(string.format("CHECKED answered=%d good=%d malformed=%d wrong=%d\\n", a, g, b, w))
end
"""


UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def parse_wrk(output):
    def latency(label):
        match = re.search(rf"^\s*{label}\s+([\d.]+)(us|ms|s)\s*$", output, re.MULTILINE)
        return float(match.group(1)) * UNITS[match.group(2)] if match else float("nan")

    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", output).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    socket_errors = re.search(r"Socket errors: (.*)", output)
    return {
        "rps": rps,
        "p50": latency("50%"),
        "p99": latency("99%"),
        "non2xx": int(errors.group(1)) if errors else 0,
        "socket_errors": socket_errors.group(1) if socket_errors else "",
        "output": output,
    }


def wrk(url, script, duration, connections=CONNECTIONS, threads=2, args=()):
    command = [
        "wrk",
        f"-t{threads}",
        f"-c{connections}",
        f"-d{duration}s",
        "--latency",
        "--timeout",
        "10s",
        "-s",
        str(script),
        url + "/v1/embeddings",
    ]
    if args:
        command += ["--", *args]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return parse_wrk(result.stdout)


def wrk_until_done(url, script, requests, threads=2):
    """Runs the checking script until each thread has had its share of answers, then stops wrk
    (SIGINT: it prints its summary and calls done())."""
    markers = Path(tempfile.mkdtemp(prefix="bench-serve-done-"))
    command = [
        "wrk",
        f"-t{threads}",
        f"-c{CONNECTIONS}",
        "-d3600s",
        "--latency",
        "--timeout",
        "10s",
        "-s",
        str(script),
        url + "/v1/embeddings",
        "--",
        str(requests // threads),
        str(markers),
    ]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while len(list(markers.iterdir())) < threads and process.poll() is None:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    output, errors = process.communicate(timeout=60)
    shutil.rmtree(markers)
    if "CHECKED" not in output:
        sys.exit(f"wrk failed: {output}\n{errors}")
    return parse_wrk(output)


def prepare_model(cache):
    target = cache / "model2vec"
    if not (target / "model.safetensors").is_file():
        from corpus import write_model2vec_dir

        write_model2vec_dir(target)
    return target


def request_body(texts, encoding="float"):
    return json.dumps({"model": "m", "input": texts, "encoding_format": encoding}).encode()


def verified_answers(url, model, texts):
    """Each text's request in base64 and the server's answer, checked against Model.encode."""
    import httpx

    expected = model.encode(texts)
    pairs = []
    for text, row in zip(texts, expected):
        body = request_body(text, "base64")
        answer = httpx.post(url + "/v1/embeddings", content=body, timeout=10)
        got = np.frombuffer(base64.b64decode(answer.json()["data"][0]["embedding"]), "<f4")
        if answer.status_code != 200 or not np.array_equal(got, row):
            sys.exit(f"wrong answer for {text!r}")
        pairs.append((body, answer.content))
    return pairs


def malformed_answers(url):
    import httpx

    answers = []
    for body, status in MALFORMED:
        answer = httpx.post(url + "/v1/embeddings", content=body, timeout=10)
        if answer.status_code != status or "error" not in answer.json():
            sys.exit(f"{body!r}: {answer.status_code} {answer.text}")
        answers.append((body, answer.content, status))
    return answers


def row(name, result, base=None):
    ratio = f"{result['rps'] / base:.1f} x" if base else ""
    return (
        f"| {name} | {result['rps']:,.0f} | {result['p50']:.2f} | {result['p99']:.2f} | {ratio} |"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=int, default=15, help="seconds per wrk run")
    parser.add_argument(
        "--requests", type=int, default=1_000_000, help="requests of the checked run"
    )
    parser.add_argument("--output", type=Path, default=HERE / "serve_results.md")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is missing: apt-get install wrk")

    from korvane import Model
    from korvane_dev.corpus_text import corpus

    cache = ROOT / ".cache" / "bench-serve"
    cache.mkdir(parents=True, exist_ok=True)
    model_dir = prepare_model(cache)
    model = Model.load(model_dir)
    sentences = corpus(2000)
    scripts = Path(tempfile.mkdtemp(prefix="bench-serve-"))
    single = scripts / "single.lua"
    single.write_text(rotating_script([request_body(text) for text in sentences[:1000]]))
    batches = scripts / "batch.lua"
    batches.write_text(
        rotating_script(
            [
                request_body(sentences[start : start + BATCH], "base64")
                for start in range(0, len(sentences) - BATCH + 1, BATCH)
            ]
        )
    )

    korvane = [
        PYTHON,
        "-m",
        "korvane",
        "serve",
        "--model",
        f"m={model_dir}",
        "--port",
        "{port}",
        "--log-level",
        "warning",
    ]
    results = {}
    print("single-text requests, 64 connections ...", flush=True)
    server = Server(korvane)
    try:
        wrk(server.url, single, 3)  # warm-up
        results["korvane"] = wrk(server.url, single, args.duration)
        print(f"  korvane serve: {results['korvane']['rps']:,.0f} requests/s", flush=True)
    finally:
        server.stop()
    peer = Server(
        [
            PYTHON,
            "-m",
            "uvicorn",
            "serve_peer:app",
            "--port",
            "{port}",
            "--workers",
            "1",
            "--log-level",
            "warning",
            "--no-access-log",
        ],
        env={"SERVE_PEER_MODEL": str(model_dir)},
        cwd=HERE,
        ready_path="/v1/embeddings",
    )
    try:
        wrk(peer.url, single, 3)
        results["peer"] = wrk(peer.url, single, args.duration)
        print(f"  FastAPI + model2vec: {results['peer']['rps']:,.0f} requests/s", flush=True)
    finally:
        peer.stop()

    config = json.dumps({"models": {"m": str(model_dir)}})
    granian = Server(
        [
            PYTHON,
            "-m",
            "granian",
            "--interface",
            "asgi",
            "--loop",
            "uvloop",
            "--host",
            "127.0.0.1",
            "--port",
            "{port}",
            "--workers",
            "1",
            "--log-level",
            "warning",
            "--no-ws",
            "--factory",
            "korvane.serve:worker_app",
        ],
        env={"KORVANE_SERVE_CONFIG": config},
    )
    try:
        wrk(granian.url, single, 3)
        results["granian"] = wrk(granian.url, single, args.duration)
        print(f"  granian, same app: {results['granian']['rps']:,.0f} requests/s", flush=True)
    finally:
        granian.stop()
    server = Server([*korvane, "--workers", "2"])
    try:
        wrk(server.url, single, 3)
        results["workers2"] = wrk(server.url, single, args.duration)
        print(
            f"  korvane serve --workers 2: {results['workers2']['rps']:,.0f} requests/s", flush=True
        )
    finally:
        server.stop()

    print(f"requests of {BATCH} texts in base64 ...", flush=True)
    server = Server(korvane)
    try:
        wrk(server.url, batches, 3, connections=8)
        results["batch"] = wrk(server.url, batches, args.duration, connections=8)
        print(f"  {results['batch']['rps'] * BATCH:,.0f} texts/s", flush=True)

        print(f"{args.requests:,} requests, one in {MALFORMED_EVERY} malformed ...", flush=True)
        checked = scripts / "checked.lua"
        checked.write_text(
            checking_script(
                verified_answers(server.url, model, sentences[:200]), malformed_answers(server.url)
            )
        )
        wrk(server.url, single, 5)  # the server's memory settles under this load first
        rss_before = server.rss_kib()
        started = time.perf_counter()
        threads = 2
        run = wrk_until_done(server.url, checked, args.requests, threads)
        elapsed = time.perf_counter() - started
        rss_after = server.rss_kib()
        alive = server.process.poll() is None
    finally:
        server.stop()
    counts = dict(re.findall(r"(\w+)=(\d+)", re.search(r"CHECKED.*", run["output"]).group(0)))
    counts = {key: int(value) for key, value in counts.items()}
    results["checked"] = {
        **run,
        **counts,
        "elapsed": elapsed,
        "rss_before": rss_before,
        "rss_after": rss_after,
        "alive": alive,
    }
    growth = (rss_after - rss_before) / rss_before * 100
    print(
        f"  {counts}, RSS {rss_before / 1024:.1f} -> {rss_after / 1024:.1f} MiB ({growth:+.1f} %)",
        flush=True,
    )
    write_results(args.output, results, args)


def write_results(path, results, args):
    base = results["peer"]["rps"]
    checked = results["checked"]
    growth = (checked["rss_after"] - checked["rss_before"]) / checked["rss_before"] * 100
    batch_texts = results["batch"]["rps"] * BATCH
    lines = [
        "# korvane serve under load",
        "",
        f"`make bench-serve` on this machine ({os.cpu_count()} cores, loopback, wrk with 2 "
        f"threads on the same cores), {time.strftime('%Y-%m-%d')}. Model: all-MiniLM-L6-v2's "
        "token table (30522 x 384) as model2vec saves it; single texts are English sentences "
        "of 11 to 45 words (about 23 tokens) from bench/corpus_text.py, 1000 of them in turn.",
        "",
        f"## Single-text requests, {CONNECTIONS} connections, {args.duration} s each",
        "",
        "| server | requests/s | p50 ms | p99 ms | vs FastAPI + model2vec |",
        "| --- | ---: | ---: | ---: | ---: |",
        row("FastAPI + model2vec encode (uvicorn, 1 worker)", results["peer"]),
        row("korvane serve (uvicorn + httptools + uvloop, 1 worker)", results["korvane"], base),
        row("korvane's app under granian (1 worker)", results["granian"], base),
        row("korvane serve --workers 2", results["workers2"], base),
        "",
        f"Target: at least 8 x the FastAPI app; measured {results['korvane']['rps'] / base:.1f} x "
        "with one worker.",
        "",
        "**The server.** The same ASGI application runs under uvicorn (httptools parser, uvloop "
        "loop) and under granian (Rust HTTP server, uvloop): on this machine the two are within "
        "the spread of run to run, which other work on the same 2 cores makes large (runs of "
        "this script have put either one ahead, by up to a third). "
        "korvane serve uses uvicorn: what the server must do beyond throughput, finishing the "
        "requests in flight on SIGTERM, refusing connections over a limit, closing idle ones, "
        "several worker processes, and httptools' and orjson's parsing of what clients send, is "
        "what its tests check on uvicorn, and uvicorn is the server most Python deployments "
        "already run. The peer's cost is FastAPI's validation and the Python float lists of its "
        "response; korvane's is the HTTP exchange itself, JSON written by orjson straight from "
        "the float32 rows (base64 from their bytes), and requests arriving together are "
        "embedded in one native call.",
        "",
        f"## Requests of {BATCH} texts, base64, 8 connections",
        "",
        f"{results['batch']['rps']:,.0f} requests/s = **{batch_texts:,.0f} texts/s** "
        f"(p50 {results['batch']['p50']:.2f} ms, p99 {results['batch']['p99']:.2f} ms); "
        "target 100,000 texts/s.",
        "",
        f"## {args.requests:,} requests, one in {MALFORMED_EVERY} malformed",
        "",
        "A wrk Lua script sends 200 single-text base64 requests (each answer checked against "
        f"Model.encode beforehand) and {len(MALFORMED)} kinds of malformed ones (invalid JSON, "
        "empty input, an empty text, a token ID outside the vocabulary, wrong types, bad "
        "dimensions and encoding_format, an unknown model); every answer's status and body "
        "must be the one expected of some request.",
        "",
        f"- answered: {checked['answered']:,} in {checked['elapsed']:.0f} s "
        f"({checked['rps']:,.0f} requests/s)",
        f"- well-formed answered correctly: {checked['good']:,}; malformed answered 4xx: "
        f"{checked['malformed']:,}; any other answer: **{checked['wrong']}**",
        f"- server RSS after a warm-up: {checked['rss_before'] / 1024:.1f} MiB, after the run: "
        f"{checked['rss_after'] / 1024:.1f} MiB (**{growth:+.2f} %**, target under 5 %); "
        f"server still running: {checked['alive']}",
        "",
    ]
    path.write_text("\n".join(lines))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
