import importlib
import sysconfig

import pytest

import korvane_py
from model_files import write_model

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The free-threaded build's environment lacks the packages that have no free-threaded wheel.
NO_WHEEL = "{} is not installed: it has no free-threaded wheel"


def import_or_skip(name):
    """Imports the module `name`, or on the free-threaded build skips the test if it is missing."""
    if not FREE_THREADED:
        return importlib.import_module(name)
    return pytest.importorskip(name, reason=NO_WHEEL.format(name.partition(".")[0]))


class SkipModulesMissingThere:
    """On the free-threaded build, a test module or conftest.py that imports a missing package
    is skipped, saying which, instead of failing the collection."""

    @pytest.hookimpl(wrapper=True)
    def pytest_make_collect_report(self, collector):
        report = yield
        call = getattr(report, "call", None)
        error = call.excinfo.value if call is not None and call.excinfo is not None else None
        # pytest raises its own collection errors from the import's.
        while error is not None and not isinstance(error, ModuleNotFoundError):
            error = error.__cause__
        if error is not None and error.name is not None:
            report.outcome = "skipped"
            reason = NO_WHEEL.format(error.name.partition(".")[0])
            report.longrepr = (str(collector.path), 0, f"Skipped: {reason}")
        return report


def pytest_configure(config):
    # A plugin rather than a hook of this file: the hooks of a conftest.py do not see the
    # collection of a folder whose own conftest.py fails to import.
    if FREE_THREADED:
        config.pluginmanager.register(SkipModulesMissingThere())


# Four tokens of dimension 3, chosen so that means and norms are exact in single precision.
TABLE = [[1.0, 0.0, 0.0], [0.0, 2.0, 0.0], [3.0, 4.0, 0.0], [0.1, 0.2, 0.3]]


@pytest.fixture
def model_dir(tmp_path):
    return write_model(tmp_path, TABLE)


@pytest.fixture
def model(model_dir):
    return korvane_py.StaticEmbedding(model_dir, normalize=False)


@pytest.fixture
def placeholder_dir(tmp_path):
    """A directory whose model.safetensors exists but is never read."""
    (tmp_path / "model.safetensors").write_bytes(b"")
    return str(tmp_path)


def is_panic(exception):
    kind = type(exception)
    return kind.__name__ == "PanicException" and not issubclass(kind, Exception)
