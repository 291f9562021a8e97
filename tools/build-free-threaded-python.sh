#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (built with --disable-gil), building it first
# when this machine has none yet. The source is Debian's python3.13 source package from trixie,
# the Debian release that carries 3.13; it is built as upstream ships it (Debian's patches are
# not applied: they adapt the install layout to Debian's own packaging). The interpreter is
# installed under $KORVANE_CACHE (default ~/.cache/korvane) in python-<version>-freethreaded/,
# whose .complete file is written last, so an interrupted build is redone on the next run.
# Progress goes to standard error, the path alone to standard output.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${KORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
mkdir -p "$cache"

find_complete() {
    local prefix
    for prefix in $(ls -d "$cache"/python-3.13.*-freethreaded 2>/dev/null | sort -rV); do
        if [ -f "$prefix/.complete" ]; then
            echo "$prefix/bin/python3.13t"
            return 0
        fi
    done
    return 1
}

find_complete && exit 0

# One build at a time per cache; whoever waited finds the finished one.
exec 9> "$cache/.build.lock"
flock 9
find_complete && exit 0

# Needed: dpkg-source to unpack, a compiler, and the headers of the modules venv, pip and the
# tests use (ssl, zlib, ctypes, bz2, lzma, sqlite3, readline, uuid).
"$here/install-system-packages.sh" "$("$here/find-python.sh")" \
    dpkg-dev build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev >&2

# apt reads only this private configuration: the system's sources, lists and cache stay as
# they are. Downloads run as the calling user, as the _apt user may not enter a home folder.
apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian trixie main" \
    > "$apt_dir/sources.list"
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "APT::Sandbox::User=$(id -un)"
)
apt-get "${apt_options[@]}" update -qq >&2

work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${apt_options[@]}" source --download-only -qq python3.13) >&2
dsc=$(ls "$work"/python3.13_*.dsc)
dpkg-source --skip-patches -x "$dsc" "$work/src" >&2

# Upstream version: 3.13.5 from a Debian version like 3.13.5-2.
version=$(basename "$dsc" .dsc)
version=${version#python3.13_}
version=${version%%-*}
prefix=$cache/python-$version-freethreaded
rm -rf "$prefix"

# The compiler's output goes to a log, shown in part when the build fails. Left out, as nothing
# here uses them: CPython's own test suite and test modules, and pip in the interpreter itself
# (`python -m venv` installs pip into each environment from the standard library's ensurepip).
# altinstall puts in python3.13t and no unversioned links or manual pages.
log=$cache/python-$version-freethreaded.log
echo "building free-threaded CPython $version into $prefix (log: $log)" >&2
cd "$work/src"
if ! { ./configure --disable-gil --prefix="$prefix" --disable-test-modules --with-ensurepip=no &&
        make -j"$(nproc)" && make altinstall; } > "$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "error: the build of CPython $version failed; see $log" >&2
    exit 1
fi
"$prefix/bin/python3.13t" -c \
    'import sys, ssl, zlib, ctypes, sqlite3; sys.exit(sys._is_gil_enabled())'
touch "$prefix/.complete"
echo "$prefix/bin/python3.13t"
