"""Calls from many threads at once. They run on both builds; on the free-threaded one (no global
interpreter lock) the calls of different threads really overlap."""

import os
import subprocess
import sys

import pytest

from conftest import FREE_THREADED
from fresh_process import run_fresh


@pytest.mark.skipif(not FREE_THREADED, reason="the standard build always holds the GIL")
@pytest.mark.parametrize("module", ["korvane_py"])
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
        assert type(errors[0][1]).__module__ == "korvane_py_runtime"
        assert not issubclass(type(errors[0][1]), Exception)
        """
    )
