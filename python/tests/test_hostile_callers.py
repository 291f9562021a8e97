"""Python code that attacks the module: other interpreters, instances that were never constructed,
signals, pickling, import hooks, forks and memory limits. Each must end in a Python exception,
never in a crash, a hang or a lost error. Cases that could crash or hang run in a child process."""

import concurrent.futures
import multiprocessing
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import korvane_py
from conftest import is_panic
from model_files import model_file_bytes, write_model

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = textwrap.dedent(
    """
    import os
    import sys
    import threading
    import korvane_py

    def error_of(call):
        try:
            call()
        except BaseException as error:
            return error
    """
)


def child_command(code, *args):
    return [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)]


def run_child(code, *args, timeout=60):
    """Runs `code` in a fresh interpreter and returns what it printed; it must exit with 0."""
    done = subprocess.run(
        child_command(code, *args), capture_output=True, text=True, timeout=timeout
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def replacement_file(tmp_path):
    """A model file, outside the model directory, to move in after a failed load."""
    (tmp_path / "replacement").mkdir()
    return os.path.join(write_model(tmp_path / "replacement", [[3.0, 4.0]]), "model.safetensors")


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_other_interpreters_cannot_import_the_module(config):
    output = run_child(
        """
        import _interpreters
        config = sys.argv[1]
        settings = (_interpreters.new_config("legacy") if config == "legacy"
                    else _interpreters.new_config("isolated", gil="shared"))
        interpreter = _interpreters.create(settings)
        failure = _interpreters.exec(interpreter, "import korvane_py")
        _interpreters.destroy(interpreter)
        print(failure.type.__name__ if failure else None)
        print(failure.msg if failure else None)
        print(type(error_of(lambda: korvane_py.StaticEmbedding("/nonexistent"))).__name__)
        """,
        config,
    )
    kind, message, main_still_works = output.splitlines()
    assert kind == "ImportError"
    assert "korvane_py" in message and "subinterpreters" in message
    assert main_still_works == "ValueError"


def test_instance_that_was_never_constructed(tmp_path):
    output = run_child(
        """
        cls = korvane_py.StaticEmbedding
        cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
        hollow = cls(sys.argv[1])
        for _ in range(2):
            error = error_of(lambda: hollow.embed_tokens([0]))
            print(type(error).__name__, error)
        del hollow, error
        cls.patched = True  # the class stays mutable
        print(cls.patched)
        """,
        write_model(tmp_path, [[1.0]]),
    )
    message = (
        "StaticEmbedding.embed_tokens() got an instance that StaticEmbedding.__new__() "
        "did not construct: create instances with StaticEmbedding(model_dir)"
    )
    assert output.splitlines() == [f"TypeError {message}"] * 2 + ["True"]


INTERRUPTED_LOAD = """
    import signal
    import time
    # Ctrl-C raises here however the tests were started (in the background, SIGINT is ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    model_file, replacement = sys.argv[1], sys.argv[2]
    if sys.argv[3] == "fifo":
        os.mkfifo(model_file)
        writer = os.open(model_file, os.O_RDWR)  # a writer that stays open and silent
    else:
        writer = None
    model = korvane_py.StaticEmbedding(os.path.dirname(model_file), normalize=False)
    print("calling", flush=True)
    try:
        model.embed_tokens([0])
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    with open("/proc/self/io") as io:
        print(next(line.split()[1] for line in io if line.startswith("rchar")))
    if writer is not None:
        os.close(writer)
    os.replace(replacement, model_file)
    print(model.embed_tokens([0]))
"""


def main_thread_is_reading(pid):
    with open(f"/proc/{pid}/syscall") as status:
        return status.read().split()[0] == "0"  # read(2)


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return int(next(line.split()[1] for line in io if line.startswith("rchar")))


@pytest.mark.parametrize("source", ["fifo", "large file"])
def test_ctrl_c_stops_the_load_and_leaves_the_instance_unloaded(tmp_path, source):
    model_file = tmp_path / "model" / "model.safetensors"
    model_file.parent.mkdir()
    large_size = 3 << 30
    if source == "large file":  # its data section goes on, as a hole, after the table
        write_model(model_file.parent, [[1.0, 2.0]])
        os.truncate(model_file, large_size)
    replacement = replacement_file(tmp_path)
    process = subprocess.Popen(
        child_command(INTERRUPTED_LOAD, model_file, replacement, source),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline() == "calling\n"
        deadline = time.monotonic() + 30
        # Until the call is inside the read: blocked on the FIFO, or well into the large file.
        while not (
            main_thread_is_reading(process.pid)
            if source == "fifo"
            else bytes_read(process.pid) > 64 << 20
        ):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.001)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        output, errors = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 0, errors
    outcome, read, retried = output.splitlines()
    assert outcome.startswith("interrupted ")
    latency = float(outcome.split()[1]) - sent
    print(
        f"{source}: KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT, "
        f"{int(read) >> 20} MiB read"
    )
    assert latency < 10  # a bound on hanging, not a performance target
    assert int(read) < large_size
    assert retried == "[3.0, 4.0]"  # the next call loaded the file anew


def raise_panic_in_worker(model_dir):
    korvane_py.StaticEmbedding(model_dir).embed_tokens([7])


@pytest.fixture
def panic(model):
    try:
        model.embed_tokens([99])
    except BaseException as error:
        assert is_panic(error)
        return error


def test_panic_exception_pickles(panic):
    clone = pickle.loads(pickle.dumps(panic))
    assert type(clone) is type(panic)
    assert clone.args == panic.args
    assert [name for name in vars(korvane_py) if not name.startswith("__")] == ["StaticEmbedding"]


def test_panic_exception_unpickles_in_a_fresh_process(panic):
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            "import pickle, sys\n"
            "error = pickle.loads(sys.stdin.buffer.read())\n"
            "print(type(error).__module__, type(error).__qualname__, error.args)",
        ],
        input=pickle.dumps(panic),
        capture_output=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    kind = type(panic)
    assert done.stdout.decode() == f"{kind.__module__} {kind.__qualname__} {panic.args}\n"


def test_panic_exception_crosses_a_process_pool(tmp_path):
    model_dir = write_model(tmp_path, [[1.0, 2.0]])
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        error = pool.submit(raise_panic_in_worker, model_dir).exception(timeout=120)
    assert is_panic(error)
    assert error.args == ("range start index 56 out of range for slice of length 8",)


def test_first_fill_reentered_from_an_import_hook_or_forked_does_not_block(tmp_path):
    output = run_child(
        """
        import builtins
        import time
        directory = sys.argv[1]
        model, other = (korvane_py.StaticEmbedding(directory) for _ in range(2))
        real_import, inner, children = builtins.__import__, [], []

        def fork_and_fill():
            pid = os.fork()
            if pid == 0:  # the child, while the parent's fill is still running
                error = error_of(lambda: korvane_py.StaticEmbedding(directory).embed_tokens(5))
                os._exit(0 if "'int' object is not an instance of 'Sequence'" in str(error)
                         else 1)
            children.append(pid)

        def hook(name, *args, **kwargs):
            if name == "collections.abc" and not inner:
                inner.append(None)
                inner.append(error_of(lambda: other.embed_tokens(5)))
                forker = threading.Thread(target=fork_and_fill)
                forker.start()
                forker.join()
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        outer = error_of(lambda: model.embed_tokens(5))
        builtins.__import__ = real_import
        print(outer)
        print(inner[1])
        for _ in range(2000):
            pid, status = os.waitpid(children[0], os.WNOHANG)
            if pid:
                print("child exit", os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.01)
        else:
            os.kill(children[0], 9)
            print("child blocked")
        """,
        write_model(tmp_path, [[1.0]]),
    )
    refused = "'int' object is not an instance of 'Sequence'"
    assert output.splitlines() == [refused, refused, "child exit 0"]


class FailingLength:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        return [0, 1][index]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exception_from_len_propagates(model, error):
    with pytest.raises(error) as raised:
        model.embed_tokens(FailingLength(error))
    assert raised.value.__notes__ == ["while processing 'tokens'"]
    assert model.embed_tokens(FailingLength(ValueError)) == [0.5, 1.0, 0.0]


def test_instance_in_use_when_the_process_forked(tmp_path):
    output = run_child(
        """
        model = korvane_py.StaticEmbedding(sys.argv[1], normalize=False)
        inside, release = threading.Event(), threading.Event()

        class WaitingTokens:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                return [0][index]

            def __iter__(self):
                inside.set()
                release.wait()
                yield 0

        caller = threading.Thread(target=lambda: print(model.embed_tokens(WaitingTokens())))
        caller.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            error = error_of(lambda: model.embed_tokens([0]))
            fresh = korvane_py.StaticEmbedding(sys.argv[1], normalize=False)
            print(type(error).__name__, error, fresh.embed_tokens([0]), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print(type(error_of(lambda: model.embed_tokens([0]))).__name__, flush=True)
        release.set()
        caller.join()
        print(model.embed_tokens([0]))
        """,
        write_model(tmp_path, [[1.0, 2.0]]),
    )
    forked = (
        "RuntimeError This StaticEmbedding was in use when the process forked, so it cannot "
        "be used in the child process: create a new instance [1.0, 2.0]"
    )
    assert output.splitlines() == [forked, "RuntimeError", "[1.0, 2.0]", "[1.0, 2.0]"]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer needs more address space than it allows")
@pytest.mark.parametrize("stage", ["reading the file", "copying the tensor"])
def test_out_of_memory_while_loading(tmp_path, stage):
    # The limit leaves room for the file's content (the read) but not for a second copy of it.
    tensor_bytes = 512 << 20
    size = 4 << 30 if stage == "reading the file" else tensor_bytes + 4096
    model_file = tmp_path / "model.safetensors"
    header = {"t": {"dtype": "U8", "shape": [tensor_bytes, 1], "data_offsets": [0, tensor_bytes]}}
    with open(model_file, "wb") as file:
        file.write(model_file_bytes(header))
        file.truncate(size)
    replacement = replacement_file(tmp_path)
    output = run_child(
        """
        import resource
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
        limit = used * 1024 + (768 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        model = korvane_py.StaticEmbedding(os.path.dirname(sys.argv[1]), normalize=False)
        error = error_of(lambda: model.embed_tokens([0]))
        print(type(error).__name__, error)
        os.replace(sys.argv[2], sys.argv[1])
        print(model.embed_tokens([0]))
        """,
        model_file,
        replacement,
    )
    failed = size if stage == "reading the file" else tensor_bytes
    assert output.splitlines() == [
        f"PanicException memory allocation of {failed} bytes failed",
        "[3.0, 4.0]",
    ]
