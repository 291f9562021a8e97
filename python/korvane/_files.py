"""File handling shared by the command line, convert and dask: whether two paths name the same
file, space reserved before a long write, and a file or a directory written beside its target
and put in its place only once complete."""

from __future__ import annotations

import ctypes
import errno
import os
import shutil
import stat
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

# Failures of fallocate(2) that only say the file system cannot reserve space in advance.
_CANNOT_RESERVE = {errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL}
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    """Whether the two paths reach the same file (through hard or symbolic links alike)."""
    try:
        a, b = os.stat(first), os.stat(second)
    except OSError:
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def lies_within(path: str | os.PathLike[str], directory: str | os.PathLike[str]) -> bool:
    """Whether `path` is `directory` or lies somewhere below it (compared as files, so that
    links and different spellings of a path are seen through)."""
    try:
        target = os.stat(directory)
    except OSError:
        return False
    current = Path(os.path.realpath(path))
    for candidate in (current, *current.parents):
        try:
            found = os.stat(candidate)
        except OSError:
            continue
        if (found.st_dev, found.st_ino) == (target.st_dev, target.st_ino):
            return True
    return False


def reserve(file: IO[Any], size: int) -> None:
    """Gives `file` its final `size` at once, so that a full disk fails here, with ENOSPC,
    rather than later. File systems that cannot reserve space are left to fail when written."""
    try:
        os.posix_fallocate(file.fileno(), 0, size)
    except OSError as error:
        if error.errno not in _CANNOT_RESERVE:
            raise


def _exchange(first: Path, second: Path) -> bool:
    """Swaps two directories in one step (renameat2 with RENAME_EXCHANGE); False where the C
    library or the file system cannot."""
    function = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if function is None:
        return False
    function.argtypes = [
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_uint,
    ]
    function.restype = ctypes.c_int
    if (
        function(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE)
        == 0
    ):
        return True
    code = ctypes.get_errno()
    if code in _CANNOT_RESERVE:
        return False
    raise OSError(code, os.strerror(code), str(second))


def _link_or_copy(source: str, destination: str) -> str:
    try:
        os.link(source, destination, follow_symlinks=False)
    except OSError:
        shutil.copy2(source, destination, follow_symlinks=False)
    return destination


def _carry_over(source: Path, destination: Path) -> None:
    """Puts `source` (a file, link or directory) at `destination`: hard links where the file
    system allows, so that no space is needed, else copies."""
    if source.is_symlink():
        os.symlink(os.readlink(source), destination)
    elif source.is_dir():
        shutil.copytree(source, destination, symlinks=True, copy_function=_link_or_copy)
    else:
        _link_or_copy(str(source), str(destination))


def _follow_working_directory(old: Path, new: Path) -> None:
    """Where the working directory lay in the directory now at `old`, about to be removed,
    moves it to the same place in its successor `new` (or to `new` itself)."""
    try:
        working = Path(os.getcwd())
    except FileNotFoundError:
        return
    if lies_within(working, old):
        inside = working.relative_to(os.path.realpath(old))
        os.chdir(new / inside if (new / inside).is_dir() else new)


# What a freshly made file system holds.
_EMPTY_FILE_SYSTEM_ENTRIES = {"lost+found"}


def _fill_mount_point(target: Path, build: Callable[[Path], None]) -> None:
    """A mount point cannot be renamed: an empty one gets the files built in a hidden directory
    inside it, moved up; one with files in it is refused, as it cannot be replaced whole."""
    if any(entry.name not in _EMPTY_FILE_SYSTEM_ENTRIES for entry in target.iterdir()):
        raise ValueError(
            f"{target} is a mount point with files in it, which cannot be "
            "replaced whole: empty it first, or write elsewhere"
        )
    staging = target / f".{os.getpid()}.{uuid.uuid4().hex[:8]}.tmp"
    staging.mkdir()
    moved: list[Path] = []
    try:
        build(staging)
        for entry in sorted(staging.iterdir()):
            moved.append(target / entry.name)
            os.rename(entry, moved[-1])
        moved.clear()
    finally:
        for path in moved:  # a failure part way leaves the mount point empty again
            path.unlink(missing_ok=True)
        shutil.rmtree(staging, ignore_errors=True)


@contextmanager
def replaced_when_done(target: Path) -> Iterator[Path]:
    """A temporary path beside `target` that becomes `target` only when the block completes;
    on any failure (an interruption or a termination included) it is removed, and `target` is
    left as it was."""
    tmp = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        yield tmp
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)


def replace_directory(
    target: Path, build: Callable[[Path], None], keep: Callable[[str], bool]
) -> Path:
    """Makes the directory `target` anew: a hidden directory beside it receives the entries of
    the old `target` for which `keep(name)` holds, then whatever `build` writes into it, and
    takes the place of `target` in one step. On any failure, or an interruption, the hidden
    directory is removed and `target` stays as it was. A symbolic link `target` keeps pointing
    at the new directory. A mount point, which cannot be renamed, must be empty. Returns the
    directory replaced."""
    target = Path(os.path.realpath(target) if target.is_symlink() else os.path.abspath(target))
    old = target.stat() if target.exists() else None
    if old is not None and not stat.S_ISDIR(old.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, "exists and is not a directory", str(target))
    if old is not None and os.path.ismount(target):
        _fill_mount_point(target, build)
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    staging = target.with_name(f".{target.name}.{os.getpid()}.{uuid.uuid4().hex[:8]}.tmp")
    staging.mkdir()
    try:
        if old is not None:
            for entry in sorted(target.iterdir()):
                if keep(entry.name):
                    _carry_over(entry, staging / entry.name)
            os.chmod(staging, stat.S_IMODE(old.st_mode))
        build(staging)
        if old is None:
            os.rename(staging, target)
        elif not _exchange(staging, target):
            aside = staging.with_name(staging.name + ".old")
            os.rename(target, aside)
            try:
                os.rename(staging, target)
            except BaseException:
                os.rename(aside, target)
                raise
            shutil.rmtree(aside, ignore_errors=True)
        # After an exchange, `staging` holds the old directory.
        if old is not None:
            _follow_working_directory(staging, target)
    except OSError as error:
        # A failure inside the hidden directory is told as one in `target`.
        for attribute in ("filename", "filename2"):
            name = getattr(error, attribute)
            if isinstance(name, str) and name.startswith(str(staging)):
                setattr(error, attribute, str(target) + name[len(str(staging)) :])
        raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return target
