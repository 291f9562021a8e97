#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when they are missing.
# Usage: install-system-packages.sh PYTHON [PACKAGE ...]
# A package of another architecture (libonig5:arm64) has that architecture added to dpkg first.
set -eu
python=$1
shift
wanted=(libgtest-dev libicu-dev libonig-dev pkg-config "$@")
# Debian's own interpreter keeps its headers and venv module in separate packages.
case "$python" in
    /usr/bin/python3*)
        version=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
        wanted+=("python${version}-dev" "python${version}-venv")
        ;;
esac
missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for package in "${missing[@]}"; do
    case "$package" in
        *:*)
            architecture=${package#*:}
            dpkg --print-foreign-architectures | grep -qx "$architecture" ||
                $sudo dpkg --add-architecture "$architecture"
            ;;
    esac
done
echo "installing Debian packages: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
