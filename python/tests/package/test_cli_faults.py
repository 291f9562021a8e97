"""The command line when things go wrong around it: a full disk, a termination signal, an
output that is its own input, a model directory replaced while it holds other files."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from safetensors.numpy import save_file
from tokenizers import Tokenizer, models, pre_tokenizers

from korvane import Model
from korvane.cli import main
from korvane.convert import write_model_dir

from .package_models import WORDS

# Distinct texts, so that Parquet output does not compress below the small disk's size.
TEXTS = [" ".join(words) for words in np.random.default_rng(3).choice(WORDS[4:], (4000, 6))]


@pytest.fixture
def small_disk(tmp_path):
    """Mounts a tmpfs of the size asked for at tmp_path/"disk"; skips the test where mounting
    is not allowed."""
    disk = tmp_path / "disk"

    def mount(size):
        disk.mkdir()
        done = subprocess.run(
            ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", disk],
            capture_output=True,
            text=True,
            check=False,
        )
        if done.returncode != 0:
            pytest.skip(f"cannot mount a small file system: {done.stderr.strip()}")
        return disk

    yield mount
    if os.path.ismount(disk):
        subprocess.run(["umount", "-l", disk], check=False)


def entries(directory):
    return sorted(os.listdir(directory))


def snapshot(directory):
    """name -> bytes of every file below `directory`."""
    found = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as file:
                found[os.path.relpath(path, directory)] = file.read()
    return found


def write_texts(path, texts=TEXTS):
    if path.suffix == ".parquet":
        pq.write_table(pa.table({"text": texts}), path)
    else:
        path.write_text("".join(text + "\n" for text in texts), encoding="utf-8")
    return path


def run_command(*arguments):
    return subprocess.run(
        [sys.executable, "-m", "korvane", *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


# ---------------------------------------------------------------------------------------------
# A full disk


@pytest.mark.parametrize("suffix", [".npy", ".parquet"])
def test_embed_onto_a_full_disk_fails_with_the_reason(tmp_path, model_dir, small_disk, suffix):
    disk = small_disk("64k")
    source = write_texts(tmp_path / "in.txt")  # 4,000 rows of 16 float32: 4 times the disk
    output = disk / f"out{suffix}"

    done = run_command("embed", model_dir, source, "-o", output, "--quiet", "--batch-size", "64")

    assert done.returncode == 1, done.stderr
    assert done.stderr.splitlines()[-1] == (
        f"korvane embed: error: cannot write {output}: No space left on device"
    )
    assert entries(disk) == []


def test_npy_written_where_space_cannot_be_reserved(
    tmp_path, model_dir, small_disk, monkeypatch, capsys
):
    # Where fallocate is not supported, the writes themselves meet the full disk.
    monkeypatch.setattr("korvane.cli.reserve", lambda file, size: None)
    disk = small_disk("64k")
    source = write_texts(tmp_path / "in.txt")
    output = disk / "out.npy"
    assert (
        main(
            [
                "embed",
                str(model_dir),
                str(source),
                "-o",
                str(output),
                "--quiet",
                "--batch-size",
                "64",
            ]
        )
        == 1
    )
    assert capsys.readouterr().err.endswith("No space left on device\n")
    assert entries(disk) == []

    # With room, the same writes give what np.save would.
    output = tmp_path / "out.npy"
    assert main(["embed", str(model_dir), str(source), "-o", str(output), "--quiet"]) == 0
    np.testing.assert_array_equal(np.load(output), Model.load(model_dir).encode(TEXTS))


# ---------------------------------------------------------------------------------------------
# Converting into an existing model directory


def write_checkpoint(directory, rows, width, word_length):
    """A checkpoint directory: a rows x width table and a tokenizer of `rows` words of
    `word_length` letters (so its size can be chosen)."""
    directory.mkdir()
    table = np.random.default_rng(rows).standard_normal((rows, width)).astype(np.float32)
    save_file({"embeddings.word_embeddings.weight": table}, directory / "model.safetensors")
    vocabulary = {f"{index:0{word_length}d}": index for index in range(rows)}
    tokenizer = Tokenizer(models.WordLevel(vocabulary, unk_token=f"{0:0{word_length}d}"))
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.save(str(directory / "tokenizer.json"))
    return directory, table


def test_convert_on_a_full_disk_leaves_the_old_model_directory(tmp_path, small_disk):
    disk = small_disk("512k")
    old_source, old_table = write_checkpoint(tmp_path / "old", 4, 3, 4)
    model_dir = disk / "model"
    assert main(["convert", str(old_source), str(model_dir)]) == 0
    (model_dir / "README.md").write_text("my notes\n")
    before = snapshot(model_dir)
    # 160 kB of table fit; its 400 kB tokenizer does not fit beside it.
    new_source, _ = write_checkpoint(tmp_path / "new", 4000, 10, 100)

    done = run_command("convert", new_source, model_dir, "--force")

    assert done.returncode == 1, done.stderr
    assert done.stderr.startswith("korvane convert: error: ")
    assert "no space left on device" in done.stderr.lower()
    assert snapshot(model_dir) == before
    assert entries(disk) == ["model"]
    model = Model.load(model_dir, normalize=False)
    np.testing.assert_array_equal(model.embed_ids([[1]])[0], old_table[1])


@pytest.mark.parametrize("swap", ["exchange", "renames"])
@pytest.mark.parametrize("linked", [False, True])
def test_convert_replaces_the_directory_whole(tmp_path, monkeypatch, swap, linked):
    if swap == "renames":  # as where renameat2 cannot exchange
        monkeypatch.setattr("korvane._files._exchange", lambda first, second: False)
    old_source, _ = write_checkpoint(tmp_path / "old", 4, 3, 4)
    model_dir = tmp_path / "models" / "model"
    write_model_dir(np.ones((4, 3)), model_dir, tokenizer=old_source / "tokenizer.json")
    (model_dir / "README.md").write_text("my notes\n")
    (model_dir / "extra").mkdir()
    (model_dir / "extra" / "notes.txt").write_text("more\n")
    os.chmod(model_dir, 0o750)
    named = model_dir
    if linked:
        named = tmp_path / "link"
        named.symlink_to(model_dir)
    table = np.arange(15, dtype=np.float32).reshape(5, 3)

    write_model_dir(table, named, normalize=False)  # no tokenizer this time

    # The old tokenizer.json indexed another table: it is gone; the user's files are kept.
    assert entries(model_dir) == ["README.md", "config.json", "extra", "model.safetensors"]
    assert (model_dir / "extra" / "notes.txt").read_text() == "more\n"
    assert os.stat(model_dir).st_mode & 0o777 == 0o750
    assert entries(tmp_path / "models") == ["model"]
    assert named.is_symlink() == linked
    np.testing.assert_array_equal(Model.load(named).embed_ids([[4]])[0], table[4])


def test_convert_into_a_mount_point(tmp_path, small_disk, capsys):
    disk = small_disk("1m")  # cannot be renamed: only an empty one is filled
    source, table = write_checkpoint(tmp_path / "checkpoint", 4, 3, 4)
    assert main(["convert", str(source), str(disk)]) == 0
    before = snapshot(disk)
    assert main(["convert", str(source), str(disk), "--no-normalize", "--force"]) == 1
    assert capsys.readouterr().err.endswith(
        f"{disk} is a mount point with files in it, which cannot be replaced whole: "
        "empty it first, or write elsewhere\n"
    )
    assert snapshot(disk) == before and entries(disk) == sorted(before)
    np.testing.assert_array_equal(Model.load(disk, normalize=False).embed_ids([[1]])[0], table[1])


def test_convert_into_the_working_directory(tmp_path, monkeypatch, capsys):
    source, table = write_checkpoint(tmp_path / "checkpoint", 4, 3, 4)
    (tmp_path / "model" / "sub").mkdir(parents=True)
    monkeypatch.chdir(tmp_path / "model" / "sub")  # moved to the new directory's "sub"
    assert main(["convert", str(source), "..", "--force"]) == 0
    assert capsys.readouterr().out.startswith("wrote ..: 4 x 3 F32, with tokenizer.json")
    assert os.path.samefile(".", tmp_path / "model" / "sub")
    np.testing.assert_array_equal(Model.load("..", normalize=False).embed_ids([[2]])[0], table[2])


# ---------------------------------------------------------------------------------------------
# Termination signals

# Runs the command after the first batch has been written and then waits (for a signal); the
# signals' actions are set here, whatever the test runner was started with.
SIGNALLED_EMBED = """
    import signal
    import sys
    import time

    signal.signal(signal.SIGINT, signal.default_int_handler)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)

    import korvane.cli

    original = korvane.cli.embeddings

    def first_then_wait(model, texts, args):
        for rows in original(model, texts, args):
            yield rows
            print("writing", flush=True)
            while True:
                time.sleep(1)

    korvane.cli.embeddings = first_then_wait
    sys.exit(korvane.cli.main(sys.argv[1:]))
"""

# A model whose encode, in a Dask worker, waits for ever: the worker's temporary file is open.
WAITING_MODEL = """
    import time

    from korvane import Model


    class WaitingModel:
        def __init__(self, path):
            self.path = path
            self.dim = Model.load(path).dim

        def __reduce__(self):
            return (WaitingModel, (self.path,))

        def encode(self, texts, **options):
            while True:
                time.sleep(1)
"""

SIGNALLED_DASK_EMBED = """
    import signal
    import sys

    signal.signal(signal.SIGINT, signal.default_int_handler)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)

    import korvane.cli
    from waiting_model import WaitingModel

    korvane.cli.load_model = WaitingModel
    sys.exit(korvane.cli.main(sys.argv[1:]))
"""

SIGNALS = [signal.SIGTERM, signal.SIGHUP, signal.SIGINT]


def start_child(code, *arguments, path=None):
    """The child leads a process group of its own, as a job of a shell or a scheduler does."""
    environment = dict(os.environ)
    if path is not None:
        environment["PYTHONPATH"] = os.pathsep.join(
            [str(path), *filter(None, [environment.get("PYTHONPATH")])]
        )
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
        start_new_session=True,
    )


def expected_ending(number):
    if number == signal.SIGINT:
        return "korvane embed: interrupted", 130
    return f"korvane embed: terminated by {signal.Signals(number).name}", 128 + number


def finish(process, number, group=False):
    if group:  # as a closed terminal, Ctrl-C or a batch scheduler signals every process
        os.killpg(process.pid, number)
    else:  # as `timeout` does
        process.send_signal(number)
    try:
        _, errors = process.communicate(timeout=120)
    finally:
        process.kill()
        process.wait()
    message, status = expected_ending(number)
    # Processes of a signalled Dask cluster (its resource tracker) may write on after it.
    assert process.returncode == status and message in errors.splitlines(), errors


@pytest.mark.parametrize("number", SIGNALS, ids=lambda number: signal.Signals(number).name)
@pytest.mark.parametrize("suffix", [".npy", ".parquet"])
def test_signal_during_embed_removes_the_temporary_file(tmp_path, model_dir, suffix, number):
    source = write_texts(tmp_path / "in.txt")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    process = start_child(
        SIGNALLED_EMBED,
        "embed",
        model_dir,
        source,
        "-o",
        out_dir / f"out{suffix}",
        "--batch-size",
        "64",
        "--quiet",
    )
    assert process.stdout.readline() == "writing\n", process.stderr.read()
    assert len(entries(out_dir)) == 1  # the temporary file

    finish(process, number)

    assert entries(out_dir) == []


@pytest.mark.parametrize(
    ("number", "group"),
    [
        (signal.SIGTERM, False),
        (signal.SIGTERM, True),
        (signal.SIGHUP, True),
        (signal.SIGINT, True),
    ],
    ids=["SIGTERM", "SIGTERM to the group", "SIGHUP to the group", "SIGINT to the group"],
)
def test_signal_during_a_dask_embed_removes_the_temporary_files(tmp_path, model_dir, number, group):
    helpers = tmp_path / "helpers"
    helpers.mkdir()
    (helpers / "waiting_model.py").write_text(textwrap.dedent(WAITING_MODEL))
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    write_texts(corpus / "part.parquet", TEXTS[:10])
    target = tmp_path / "embeddings"
    process = start_child(
        SIGNALLED_DASK_EMBED, "embed", model_dir, corpus, "-o", target, "--quiet", path=helpers
    )
    deadline = time.monotonic() + 120
    while not (target.is_dir() and any(name.endswith(".tmp") for name in entries(target))):
        assert process.poll() is None, process.communicate()[1]
        assert time.monotonic() < deadline
        time.sleep(0.05)

    finish(process, number, group)

    assert entries(target) == []


# ---------------------------------------------------------------------------------------------
# Output that is the input


def other_name(path, how, suffix):
    """Another name, ending in `suffix`, of the file `path`."""
    if how == "same path":
        return path
    if how == "spelled otherwise":
        return path.parent / "." / ".." / path.parent.name / path.name
    alias = path.with_name(f"alias{suffix}")
    if how == "hard link":
        os.link(path, alias)
    else:
        alias.symlink_to(path)
    return alias


@pytest.mark.parametrize(
    ("suffixes", "how"),
    [
        ((".parquet", ".parquet"), "same path"),
        ((".parquet", ".parquet"), "spelled otherwise"),
        ((".parquet", ".parquet"), "hard link"),
        ((".parquet", ".parquet"), "symbolic link"),
        ((".txt", ".npy"), "hard link"),
        ((".txt", ".npy"), "symbolic link"),
    ],
)
def test_embed_refuses_to_write_over_its_input(tmp_path, model_dir, capsys, suffixes, how):
    source = write_texts(tmp_path / f"data{suffixes[0]}", TEXTS[:5])
    output = other_name(source, how, suffixes[1])
    before = source.read_bytes()

    assert main(["embed", str(model_dir), str(source), "-o", str(output)]) == 1

    error = capsys.readouterr().err.splitlines()[-1]
    assert error == (
        f"korvane embed: error: the output {output} is the input {source}: "
        "write the embeddings to another file"
    )
    assert source.read_bytes() == before


@pytest.mark.parametrize(
    "case",
    [
        "directory into itself",
        "file into its directory",
        "file into a directory above it",
        "directory by a link",
    ],
)
def test_convert_refuses_to_write_over_its_source(tmp_path, capsys, case):
    checkpoint, _ = write_checkpoint(tmp_path / "checkpoint", 4, 3, 4)
    (checkpoint / "sub").mkdir()
    np.save(checkpoint / "sub" / "table.npy", np.ones((4, 3), np.float32))
    source, out_dir = {
        "directory into itself": (checkpoint, checkpoint),
        "file into its directory": (checkpoint / "model.safetensors", checkpoint),
        "file into a directory above it": (checkpoint / "sub" / "table.npy", checkpoint),
        "directory by a link": (checkpoint, tmp_path / "link"),
    }[case]
    (tmp_path / "link").symlink_to(checkpoint)
    before = snapshot(checkpoint)

    assert main(["convert", str(source), str(out_dir)]) == 1

    assert capsys.readouterr().err == (
        f"korvane convert: error: the output directory {out_dir} is or holds the source "
        f"{source}: write the model to another directory\n"
    )
    assert snapshot(checkpoint) == before


def test_dask_embed_refuses_a_target_inside_its_source(tmp_path, model_dir, capsys):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    write_texts(corpus / "part.parquet", TEXTS[:5])
    target = corpus / "embeddings"

    assert main(["embed", str(model_dir), str(corpus), "-o", str(target), "--quiet"]) == 1

    assert capsys.readouterr().err == (
        f"korvane embed: error: the target {target} is or lies within the source "
        f"{corpus}: embed into a directory outside it\n"
    )
    assert entries(corpus) == ["part.parquet"]
