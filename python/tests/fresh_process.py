"""Runs test code in a fresh interpreter, for the process-wide values filled on first need."""

import os
import subprocess
import sys
import textwrap

PRELUDE = textwrap.dedent(
    """
    import sys
    import threading
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
    # The child finds model_files as pytest's `pythonpath` setting finds it here.
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        check=True,
        timeout=120,
        env=environment,
    )
