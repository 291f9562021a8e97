import ctypes
import importlib
import os
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


def report_sanitizer_findings_to_files(config):
    """In a pytest-xdist worker under the sanitizers, sends their reports to files in the folder
    KORVANE_SANITIZER_REPORTS names (`make sanitize` fails when one is there): xdist does not look
    at how a worker exits, so a leak found at its exit would pass unseen on standard error."""
    folder = os.environ.get("KORVANE_SANITIZER_REPORTS")
    worker = getattr(config, "workerinput", {}).get("workerid")
    if folder and worker:
        set_report_path = ctypes.CDLL(None).__sanitizer_set_report_path
        set_report_path(os.path.join(folder, worker).encode())


def pytest_configure(config):
    # A plugin rather than a hook of this file: the hooks of a conftest.py do not see the
    # collection of a folder whose own conftest.py fails to import.
    if FREE_THREADED:
        config.pluginmanager.register(SkipModulesMissingThere())
    report_sanitizer_findings_to_files(config)


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
