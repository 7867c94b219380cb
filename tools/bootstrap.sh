#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the point where the project can be built:
# Debian bullseye's CPython 3.9 (next to the machine's own Python, which stays
# untouched), the native test and debug tools, and the .venv with every pinned
# dependency. Each step checks first, so a second run only costs the checks.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

VENV=.venv
PY39=/usr/bin/python3.9
APT_PACKAGES_BOOKWORM="libgtest-dev valgrind"
APT_PACKAGES_BULLSEYE="python3.9 python3.9-dev"

need_apt=0
[ -x "$PY39" ] || need_apt=1
[ -f /usr/include/python3.9/Python.h ] || need_apt=1
[ -f /usr/lib/x86_64-linux-gnu/libpython3.9.so ] || need_apt=1
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || need_apt=1
command -v valgrind >/dev/null || need_apt=1

if [ "$need_apt" = 1 ]; then
    ensure_bullseye_source
    apt_install $APT_PACKAGES_BOOKWORM
    # No -t: bullseye is the only suite with these, and every dependency
    # that bookworm also has keeps coming from bookworm.
    apt_install $APT_PACKAGES_BULLSEYE
fi

make_venv "$PY39" "$VENV"

stamp="$VENV/.requirements.stamp"
if [ ! -f "$stamp" ] || ! cmp -s requirements.txt "$stamp"; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements.txt
    cp requirements.txt "$stamp"
fi
