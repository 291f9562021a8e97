import importlib
import sysconfig

import pytest

import korvane_py
from model_files import write_model

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def import_or_skip(name):
    """Imports the module `name`. The free-threaded build's environment lacks the packages that
    have no free-threaded wheel: there, a missing one skips the calling test module, saying so."""
    if not FREE_THREADED:
        return importlib.import_module(name)
    package = name.partition(".")[0]
    return pytest.importorskip(name, reason=f"{package} has no free-threaded wheel")


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
