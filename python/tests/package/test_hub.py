"""Models by Hugging Face Hub ID: fetched through huggingface_hub from a stand-in for the Hub on
the loopback address (HF_ENDPOINT), only the files a model needs, into its cache (HF_HOME), then
read from that cache offline. Each load runs in a fresh process, as huggingface_hub reads its
environment when imported."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("huggingface_hub")

from .hub_standin import COMMIT, HubStandIn
from .package_models import SENTENCES, WORDS, random_table, safetensors_bytes, table_bytes

TABLE = random_table(np.random.default_rng(4), len(WORDS), 8, "F32")
NEEDED = ["model.safetensors", "tokenizer.json", "config.json", "modules.json"]

LOAD = """
import json, sys, korvane
model = korvane.Model.load(sys.argv[1], revision=None if sys.argv[2] == "-" else sys.argv[2])
print(json.dumps({"path": str(model.path), "rows": model.encode(sys.argv[3:]).tolist()}))
"""


@pytest.fixture(scope="module")
def repo_files(tmp_path_factory):
    from .package_models import make_tokenizer

    directory = tmp_path_factory.mktemp("repo")
    make_tokenizer().save(str(directory / "tokenizer.json"))
    return {
        "model.safetensors": safetensors_bytes(
            {"embeddings": ("F32", table_bytes(TABLE, "F32"), TABLE.shape)}
        ),
        "tokenizer.json": (directory / "tokenizer.json").read_bytes(),
        "config.json": json.dumps({"normalize": False}).encode(),
        "modules.json": b'[{"idx": 0, "name": "0", "path": ".", '
        b'"type": "sentence_transformers.models.StaticEmbedding"}]',
        "README.md": b"# a model card nobody needs here\n",
        "onnx/model.onnx": b"\0" * 4096,
    }


def run(script_args, home, endpoint=None, cwd=None, **env):
    environment = {key: value for key, value in os.environ.items() if not key.startswith("HF_")}
    environment.update(HF_HOME=str(home), HF_HUB_DISABLE_PROGRESS_BARS="1", **env)
    if endpoint is not None:
        environment["HF_ENDPOINT"] = endpoint
    return subprocess.run(
        [sys.executable, *script_args],
        capture_output=True,
        text=True,
        env=environment,
        cwd=cwd,
        timeout=120,
    )


def load(name, home, endpoint=None, revision="-", cwd=None, **env):
    return run(["-c", LOAD, name, revision, *SENTENCES[:3]], home, endpoint, cwd, **env)


def expected_rows():
    import korvane  # noqa: F401 (the rows are computed by the model's rule, not by korvane)

    from .package_models import make_tokenizer

    tokenizer = make_tokenizer()
    tokenizer.no_padding()
    tokenizer.no_truncation()
    rows = []
    for encoding in tokenizer.encode_batch(SENTENCES[:3], add_special_tokens=False):
        ids = [i for i in encoding.ids if i != WORDS.index("[UNK]")]
        rows.append(TABLE[ids].mean(axis=0))
    return np.array(rows)


def test_fetches_only_the_model_files_then_reads_the_cache_offline(tmp_path, repo_files):
    home = tmp_path / "hf"
    with HubStandIn({"owner/tiny": repo_files}) as hub:
        fetched = load("owner/tiny", home, hub.endpoint, HF_TOKEN="hf_secret")
        assert fetched.returncode == 0, fetched.stderr
        downloads = sorted(
            path.rsplit("/", 1)[-1] if "/resolve/" in path else path
            for method, path in hub.requests
            if method == "GET" and "/resolve/" in path
        )
        assert downloads == sorted(NEEDED)
        # The token goes with every request for the model.
        assert {
            authorization
            for (_, path), authorization in zip(hub.requests, hub.authorizations)
            if "owner/tiny" in path
        } == {"Bearer hf_secret"}
    result = json.loads(fetched.stdout)
    assert f"models--owner--tiny/snapshots/{COMMIT}" in result["path"]
    np.testing.assert_allclose(result["rows"], expected_rows(), atol=1e-6)
    # The stand-in is gone: offline, the cache serves; online, the cached snapshot serves too.
    offline = load("owner/tiny", home, "http://127.0.0.1:9", HF_HUB_OFFLINE="1")
    assert offline.returncode == 0, offline.stderr
    assert json.loads(offline.stdout) == result
    command = run(
        ["-m", "korvane", "embed", "owner/tiny", "-", "-o", str(tmp_path / "out.npy")],
        home,
        HF_HUB_OFFLINE="1",
    )
    assert command.returncode == 0, command.stderr


def test_offline_and_not_cached_says_so(tmp_path):
    result = load("owner/absent", tmp_path / "hf", HF_HUB_OFFLINE="1")
    assert result.returncode != 0
    assert (
        "FileNotFoundError: owner/absent (no directory or file of that name here) is not in "
        "the Hugging Face cache"
        in result.stderr
        and "HF_HUB_OFFLINE is set" in result.stderr
    ), result.stderr
    command = run(
        ["-m", "korvane", "embed", "owner/absent", "-", "-o", str(tmp_path / "o.npy")],
        tmp_path / "hf",
        HF_HUB_OFFLINE="1",
    )
    assert command.returncode != 0
    assert (
        "korvane embed: error: owner/absent (no directory or file of that name here) is not "
        "in the Hugging Face cache" in command.stderr
    ), command.stderr


def test_unknown_model_and_revision(tmp_path, repo_files):
    with HubStandIn({"owner/tiny": repo_files}) as hub:
        missing = load("owner/missing", tmp_path / "hf", hub.endpoint)
        revised = load("owner/tiny", tmp_path / "hf", hub.endpoint, revision="v1.0")
        assert ("GET", "/api/models/owner/tiny/revision/v1.0") in hub.requests
        unknown = load("owner/tiny", tmp_path / "hf", hub.endpoint, revision="v9")
    assert "no model owner/missing on the Hugging Face Hub" in missing.stderr, missing.stderr
    assert revised.returncode == 0, revised.stderr
    assert unknown.returncode != 0
    assert "the Hugging Face Hub model owner/tiny has no revision 'v9'" in unknown.stderr, (
        unknown.stderr
    )


def test_a_local_directory_of_the_same_name_wins(tmp_path, repo_files):
    local = tmp_path / "owner" / "tiny"
    local.mkdir(parents=True)
    for name in NEEDED:
        (local / name).write_bytes(repo_files[name])
    with HubStandIn({}) as hub:
        result = load("owner/tiny", tmp_path / "hf", hub.endpoint, cwd=tmp_path)
        assert hub.requests == []
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["path"] == str(local)
    with_revision = load("owner/tiny", tmp_path / "hf", revision="main", cwd=tmp_path)
    assert "revision= applies to a Hugging Face Hub ID" in with_revision.stderr
