"""The process-wide values are filled on first need; these tests need a fresh interpreter."""

import pathlib
import subprocess
import sys
import textwrap

PRELUDE = textwrap.dedent(
    """
    import sys
    import threading
    sys.path.insert(0, {tests!r})
    import korvane_py
    from model_files import write_model
    import pathlib
    import tempfile
    directory = pathlib.Path(tempfile.mkdtemp())
    model = korvane_py.StaticEmbedding(write_model(directory, [[1.0, 2.0]]))

    def error_of(call):
        try:
            call()
        except BaseException as error:
            return error
    """
)


def run_fresh(code):
    tests = str(pathlib.Path(__file__).parent)
    subprocess.run([sys.executable, "-c", PRELUDE.format(tests=tests) + textwrap.dedent(code)],
                   check=True, timeout=120)


def test_failed_fill_is_retried():
    run_fresh(
        """
        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        error = error_of(lambda: model.embed_tokens({1}))
        assert type(error) is ModuleNotFoundError, error
        assert error.__notes__ == ["while processing 'tokens'"]
        sys.modules["collections.abc"] = saved
        error = error_of(lambda: model.embed_tokens({1}))
        assert error.args == ("'set' object is not an instance of 'Sequence'",), error
        """
    )


def test_concurrent_first_fills_agree():
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
