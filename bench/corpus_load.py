"""One load of a model in a fresh process: its time and the peak growth of the resident set.

Usage: python bench/corpus_load.py METHOD PATH
METHOD is "korvane" (korvane.Model.load of PATH, a directory or a .safetensors file) or
"safetensors" (safetensors.numpy.load_file of PATH). Prints {"seconds": ..., "peak_bytes": ...}.
Everything the load needs is imported before the measurement starts, and the kernel's peak
resident-set mark is reset then, so the peak is that of the load alone.
"""

import json
import resource
import sys
import time
from pathlib import Path

import numpy  # noqa: F401  (imported before measuring, as a user's program has it already)


def status_bytes(field):
    """A size field of /proc/self/status (VmRSS, VmHWM), in bytes."""
    with open("/proc/self/status") as file:
        for line in file:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def reset_peak():
    """Resets VmHWM to the current resident set; returns False where the kernel cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as file:
            file.write("5")
        return True
    except OSError:
        return False


def loader(method):
    if method == "korvane":
        from korvane import Model

        return Model.load
    if method == "safetensors":
        from safetensors.numpy import load_file

        return load_file
    raise ValueError(f"unknown method {method!r}")


def measure(method, path):
    load = loader(method)
    before = status_bytes("VmRSS")
    if reset_peak():
        peak_of = lambda: status_bytes("VmHWM")  # noqa: E731
    else:  # ru_maxrss counts the imports' peak too: an upper bound
        peak_of = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # noqa: E731
    start = time.perf_counter()
    loaded = load(path)
    seconds = time.perf_counter() - start
    peak = peak_of()
    del loaded
    return {"seconds": seconds, "peak_bytes": max(peak - before, 0)}


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1], str(Path(sys.argv[2])))))
