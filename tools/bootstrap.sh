#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the point where the project can be built:
# Debian bullseye's CPython 3.9 (next to the machine's own Python, which stays
# untouched), the native test and debug tools, and the .venv with every pinned
# dependency. Each step checks first, so a second run only costs the checks.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
PY39=/usr/bin/python3.9
APT_PACKAGES_BOOKWORM="libgtest-dev valgrind"
APT_PACKAGES_BULLSEYE="python3.9 python3.9-dev"

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

need_apt=0
[ -x "$PY39" ] || need_apt=1
[ -f /usr/include/python3.9/Python.h ] || need_apt=1
[ -f /usr/lib/x86_64-linux-gnu/libpython3.9.so ] || need_apt=1
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || need_apt=1
command -v valgrind >/dev/null || need_apt=1

if [ "$need_apt" = 1 ]; then
    src=/etc/apt/sources.list.d/vorlane-bullseye.sources
    if [ ! -f "$src" ]; then
        # bullseye is an extra suite: pinned low so that nothing from bookworm
        # is ever replaced by it; only what is asked for by name comes from it.
        as_root tee "$src" >/dev/null <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        as_root tee /etc/apt/preferences.d/vorlane-bullseye >/dev/null <<'PIN'
Package: *
Pin: release n=bullseye
Pin-Priority: 100
PIN
    fi
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        $APT_PACKAGES_BOOKWORM
    # No -t: bullseye is the only suite with these, and every dependency
    # that bookworm also has keeps coming from bookworm.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        $APT_PACKAGES_BULLSEYE
fi

if ! "$VENV/bin/python" -c 'import sys, pip; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
    rm -rf "$VENV"
    # Debian ships ensurepip and distutils for 3.9 in packages that conflict
    # with bookworm's, so the venv starts without pip and pip is bootstrapped
    # from its wheel on PyPI, fetched by the host's pip (download only).
    "$PY39" -m venv --without-pip "$VENV"
    site="$VENV/lib/python3.9/site-packages"
    # pip reads this switch (meant for distributors) and then takes its
    # install locations from sysconfig instead of the missing distutils.
    echo 'import sysconfig; sysconfig._PIP_USE_SYSCONFIG = True' > "$site/00-vorlane-sysconfig.pth"
    wheels=$(mktemp -d)
    pipver=$(sed -n 's/^pip==//p' requirements.txt)
    python3 -m pip download -q --no-deps --only-binary=:all: --python-version 3.9 \
        -d "$wheels" "pip==$pipver"
    whl=$(echo "$wheels"/pip-*.whl)
    # A pip wheel can run itself: it installs its own file into the venv.
    "$VENV/bin/python" "$whl/pip" install -q --no-index "$whl"
    rm -rf "$wheels"
fi

stamp="$VENV/.requirements.stamp"
if [ ! -f "$stamp" ] || ! cmp -s requirements.txt "$stamp"; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements.txt
    cp requirements.txt "$stamp"
fi
