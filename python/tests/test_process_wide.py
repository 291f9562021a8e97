"""The process-wide values are filled on first need; these tests need a fresh interpreter."""

from fresh_process import run_fresh


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
