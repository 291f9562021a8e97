"""Calls from many threads at once. They run on both builds; on the free-threaded one (no global
interpreter lock) the calls of different threads really overlap."""

import json
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

import korvane
from conftest import FREE_THREADED, import_or_skip
from fresh_process import run_fresh
from model_files import write_model
from test_threads import TABLE, THREADS, TOKEN_LISTS, run_each_thread

# Words w0, w1, ... tokenized by whitespace into IDs 0, 1, ...
TOKENIZER = {
    "version": "1.0",
    "truncation": None,
    "padding": None,
    "added_tokens": [],
    "normalizer": None,
    "pre_tokenizer": {"type": "WhitespaceSplit"},
    "post_processor": None,
    "decoder": None,
    "model": {
        "type": "WordLevel",
        "vocab": {f"w{i}": i for i in range(len(TABLE))},
        "unk_token": "w0",
    },
}
TEXTS = [" ".join(f"w{token}" for token in tokens) for tokens in TOKEN_LISTS]


@pytest.mark.skipif(not FREE_THREADED, reason="the standard build always holds the GIL")
@pytest.mark.parametrize("module", ["korvane_py", "korvane._native"])
def test_import_keeps_the_gil_disabled(module):
    # A module that does not declare itself free of the GIL turns it on when imported, unless
    # PYTHON_GIL forbids that: hence a fresh interpreter without that variable.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    code = f"import sys, {module}; sys.exit(sys._is_gil_enabled())"
    subprocess.run([sys.executable, "-c", code], check=True, env=environment, timeout=60)


# The first PanicException and the first Sequence check of a process each make a class; threads
# racing to do that must end up with one each. Repeated, as one run can miss the race.
@pytest.mark.parametrize("run", range(10))
def test_concurrent_first_fills_agree(run):
    run_fresh(
        """
        instances = [korvane_py.StaticEmbedding(str(directory)) for _ in range(8)]
        start, errors = threading.Barrier(8), []

        def work(instance):
            start.wait()
            errors.append((error_of(lambda: instance.embed_tokens({1})),
                           error_of(lambda: instance.embed_tokens([5]))))

        threads = [threading.Thread(target=work, args=(instance,)) for instance in instances]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(errors) == 8
        assert {error.args for error, _ in errors} == {
            ("'set' object is not an instance of 'Sequence'",)}
        assert all(error.__notes__ == ["while processing 'tokens'"] for error, _ in errors)
        assert len({type(panic) for _, panic in errors}) == 1
        assert type(errors[0][1]).__module__ == "korvane_py._runtime"
        assert not issubclass(type(errors[0][1]), Exception)
        """
    )


@pytest.fixture(scope="module")
def model_dirs(tmp_path_factory):
    """A model directory without a tokenizer, all embed_ids needs, and one with a tokenizer."""
    plain = write_model(tmp_path_factory.mktemp("plain"), TABLE)
    tokenized = write_model(tmp_path_factory.mktemp("tokenized"), TABLE)
    (pathlib.Path(tokenized) / "tokenizer.json").write_text(json.dumps(TOKENIZER))
    return plain, tokenized


CALLS = {
    "embed_ids": lambda model, threads: model.embed_ids(TOKEN_LISTS, threads=threads),
    "embed_ids with offsets": lambda model, threads: model.embed_ids(
        np.concatenate(TOKEN_LISTS),
        offsets=np.cumsum([0] + [len(t) for t in TOKEN_LISTS]),
        threads=threads,
    ),
    "encode": lambda model, threads: model.encode(TEXTS, batch_size=16, threads=threads),
}


# One Model serves many threads at once, each of its calls splitting work among threads of its
# own too; every result must equal, bit for bit, that of a call made alone on one thread.
@pytest.mark.parametrize("name", CALLS)
def test_model_calls_at_once_agree_with_one_alone(model_dirs, name):
    plain, tokenized = model_dirs
    if name == "encode":
        import_or_skip("tokenizers")
    model = korvane.Model.load(tokenized if name == "encode" else plain)
    call = CALLS[name]
    expected = call(model, 1)
    results = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(thread):
        start.wait()
        for _ in range(20):
            results[thread].append(call(model, 2))

    run_each_thread(work)
    assert [len(done) for done in results] == [20] * THREADS
    assert all(result.tobytes() == expected.tobytes() for done in results for result in done)
