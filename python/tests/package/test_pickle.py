"""A Model travels to other processes by path and options, and each process loads it once."""

import concurrent.futures
import multiprocessing
import os
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

import korvane

from .package_models import SENTENCES


def embed_in_worker(model, texts):
    """Runs in a worker: the process, the identity of the model it received, its rows."""
    return os.getpid(), id(model), model.encode(texts)


def test_pickling_keeps_the_options_and_reuses_the_loaded_model(model_dir):
    model = korvane.Model.load(model_dir, normalize=False)
    copy = pickle.loads(pickle.dumps(model))
    assert copy is model  # unpickled where it was loaded: the same object
    other = korvane.Model.load(model_dir)
    assert pickle.loads(pickle.dumps(other)) is other and other.normalize is not model.normalize
    assert b"model.safetensors" not in pickle.dumps(model) or len(pickle.dumps(model)) < 500


UNPICKLE_SCRIPT = """
import pickle, sys
model = pickle.loads(sys.stdin.buffer.read())
again = pickle.loads(pickle.dumps(model))
print(model.normalize, model.tensor, again is model)
"""


def test_a_fresh_process_loads_from_the_path(model_dir):
    data = pickle.dumps(korvane.Model.load(model_dir, normalize=False, tensor="embeddings"))
    result = subprocess.run(
        [sys.executable, "-c", UNPICKLE_SCRIPT], input=data, capture_output=True, check=True
    )
    assert result.stdout.split() == [b"False", b"embeddings", b"True"]


# Forking warns when the process has threads: the tokenizers package keeps a pool once it has
# encoded a batch. embed_ids keeps none (see the test below).
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_process_pool_executor(model_dir, method):
    model = korvane.Model.load(model_dir)
    expected = model.encode(SENTENCES)
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        results = list(pool.map(embed_in_worker, [model] * 8, [SENTENCES] * 8))
    models_per_process = {}
    for pid, model_id, rows in results:
        np.testing.assert_array_equal(rows, expected)
        models_per_process.setdefault(pid, set()).add(model_id)
    assert os.getpid() not in models_per_process
    assert all(len(ids) == 1 for ids in models_per_process.values()), models_per_process


def test_multiprocessing_pool(model_dir):
    model = korvane.Model.load(model_dir)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.starmap(embed_in_worker, [(model, SENTENCES[:3])] * 6)
    for _, _, rows in results:
        np.testing.assert_array_equal(rows, model.encode(SENTENCES[:3]))
    assert len({model_id for _, model_id, _ in results}) <= 2


def test_embed_ids_leaves_no_thread_behind(model_dir):
    """Its threads live for one call, so a fork after it copies no half-used pool."""
    model = korvane.Model.load(model_dir)
    before = set(os.listdir("/proc/self/task"))
    model.embed_ids([[4, 5, 6]] * 1000, threads=4)
    # A joined thread's kernel task can linger a moment after pthread_join returns (slower under
    # the sanitizers), so wait for it to go rather than counting at once.
    deadline = time.monotonic() + 10
    while (left := set(os.listdir("/proc/self/task")) - before) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not left
