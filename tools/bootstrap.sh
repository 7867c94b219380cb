#!/usr/bin/env bash
# Brings a fresh Debian 12 or 13 machine to the point where the project can be
# built for one interpreter: tools/bootstrap.sh [VERSION], VERSION 3.9 (the
# default and the reference) or any version with a requirements-VERSION.txt.
#   3.9   Debian bullseye's CPython 3.9 from a pinned extra apt source (next
#         to the machine's own Python, which stays untouched), and .venv with
#         every pin of requirements.txt.
#   3.X   the release's own python3.X, python3.X-dev and python3.X-venv where
#         its packages have them (3.11 on Debian 12, 3.13 on Debian 13), else
#         a python3.X the machine already has (PATH or pyenv); .venv-3.X with
#         requirements-3.X.txt.
# Every version also gets GoogleTest and valgrind from the release.
# Each step checks first, so a second run only costs the checks. Exits 3 when
# the interpreter cannot be had on this machine, 2 for a version the project
# does not support.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

VERSION=${1:-3.9}

if [ "$VERSION" != 3.9 ] && [ ! -f "requirements-$VERSION.txt" ]; then
    supported=$(printf '%s\n' 3.9 requirements-*.txt | sed 's/^requirements-\(.*\)\.txt$/\1/' |
                sort -V | paste -sd, | sed 's/,\([^,]*\)$/ or \1/; s/,/, /g')
    echo "bootstrap: unsupported interpreter version '$VERSION' ($supported)" >&2
    exit 2
fi

apt_ensure libgtest-dev valgrind

case "$VERSION" in
3.9)
    VENV=.venv
    if [ -n "$(apt_missing python3.9 python3.9-dev)" ]; then
        ensure_bullseye_source
        # No -t: bullseye is the only suite with these, and every dependency
        # that the release also has keeps coming from the release.
        apt_install python3.9 python3.9-dev
    fi
    make_venv /usr/bin/python3.9 "$VENV"
    install_requirements "$VENV" requirements.txt
    ;;
*)
    VENV=.venv-$VERSION
    debian=$(apt_missing "python$VERSION" "python$VERSION-dev" "python$VERSION-venv")
    if [ -n "$debian" ]; then
        offered=1
        for p in $debian; do apt_candidate "$p" || offered=0; done
        [ "$offered" = 0 ] || apt_install $debian
    fi
    python=$(find_python "$VERSION") || {
        echo "bootstrap: no CPython $VERSION on this machine (not in its Debian release," \
             "not on PATH, not in pyenv)" >&2
        exit 3
    }
    if [ ! -x "$VENV/bin/python" ]; then
        echo "bootstrap: CPython $VERSION is $python"
    fi
    make_modern_venv "$python" "$VENV" "$VERSION"
    install_requirements "$VENV" "requirements-$VERSION.txt"
    ;;
esac
