#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the point where the project can be built
# for one interpreter: tools/bootstrap.sh [VERSION], VERSION 3.9 (the default
# and the reference), 3.11 or 3.12.
#   3.9   Debian bullseye's CPython 3.9 (next to the machine's own Python, which
#         stays untouched), the native test and debug tools, and .venv with
#         every pin of requirements.txt.
#   3.11  Debian 12's own python3.11, and .venv-3.11 with requirements-3.11.txt.
#   3.12  a python3.12 the machine already has (PATH or pyenv; Debian 12 has
#         none), and .venv-3.12 with requirements-3.12.txt.
# Each step checks first, so a second run only costs the checks. Exits 3 when
# the interpreter cannot be had on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

VERSION=${1:-3.9}
APT_PACKAGES_BOOKWORM="libgtest-dev valgrind"

need_apt=0
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || need_apt=1
command -v valgrind >/dev/null || need_apt=1
[ "$need_apt" = 1 ] && apt_install $APT_PACKAGES_BOOKWORM

case "$VERSION" in
3.9)
    VENV=.venv
    PY39=/usr/bin/python3.9
    if [ ! -x "$PY39" ] || [ ! -f /usr/include/python3.9/Python.h ] ||
       [ ! -f /usr/lib/x86_64-linux-gnu/libpython3.9.so ]; then
        ensure_bullseye_source
        # No -t: bullseye is the only suite with these, and every dependency
        # that bookworm also has keeps coming from bookworm.
        apt_install python3.9 python3.9-dev
    fi
    make_venv "$PY39" "$VENV"
    install_requirements "$VENV" requirements.txt
    ;;
3.11|3.12|3.13)
    VENV=.venv-$VERSION
    if [ "$VERSION" = 3.11 ] && { [ ! -f /usr/include/python3.11/Python.h ] ||
                                   ! /usr/bin/python3.11 -c 'import ensurepip' 2>/dev/null; }; then
        apt_install python3.11 python3.11-dev python3.11-venv
    fi
    python=$(find_python "$VERSION") || {
        echo "bootstrap: no CPython $VERSION on this machine (looked on PATH and in pyenv)" >&2
        exit 3
    }
    make_modern_venv "$python" "$VENV" "$VERSION"
    install_requirements "$VENV" "requirements-$VERSION.txt"
    ;;
*)
    echo "bootstrap: unsupported interpreter version '$VERSION' (3.9, 3.11, 3.12 or 3.13)" >&2
    exit 2
    ;;
esac
