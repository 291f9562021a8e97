#!/usr/bin/env bash
# Prints the path of a Python interpreter of version 3.13 or newer, or fails with a message.
# Looks on PATH first (python3.13, python3.14, ..., python3), then among pyenv's installed
# versions, whose shims fail unless that version is selected.
set -u

is_usable() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1
}

for name in python3.13 python3.14 python3.15 python3.16 python3; do
    if command -v "$name" >/dev/null 2>&1 && is_usable "$name"; then
        "$name" -c 'import sys; print(sys.executable)'
        exit 0
    fi
done

pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for candidate in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -rV); do
    if [ -x "$candidate/bin/python3" ] && is_usable "$candidate/bin/python3"; then
        echo "$candidate/bin/python3"
        exit 0
    fi
done

echo "error: korvane needs Python 3.13 or newer; none found on PATH or under $pyenv_root/versions" >&2
exit 1
