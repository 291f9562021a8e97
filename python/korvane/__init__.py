"""korvane: sentence embeddings from a static token table, in batches, on every core.

>>> import korvane
>>> model = korvane.Model.load("path/to/model_dir")      # doctest: +SKIP
>>> model.encode(["Heavy rain flooded the streets."])    # doctest: +SKIP
"""

from importlib.metadata import PackageNotFoundError, version

from .model import Model

try:
    __version__ = version("korvane")
except PackageNotFoundError:  # imported from a build tree rather than installed
    __version__ = "0.0.0"

__all__ = ["Model", "__version__"]
