# Shell helpers shared by tools/bootstrap.sh and the check targets' scripts.
# Source it; it defines functions only.

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Prefix of apt's own files: empty on a machine, a scratch folder in tests.
APT_ROOT=${VORLANE_APT_ROOT:-}

# Packages come without their recommendations: the commands install what the
# project uses and nothing else system-wide.

# apt_refresh: reads the package lists once per run (and again after a source
# was added, see ensure_bullseye_source).
apt_refresh() {
    if [ -z "${VORLANE_APT_UPDATED:-}" ]; then
        as_root apt-get update -q
        VORLANE_APT_UPDATED=1
    fi
}

# apt_install PACKAGE...
apt_install() {
    apt_refresh
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

# apt_missing PACKAGE...: prints those of PACKAGE... that are not installed.
apt_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' || echo "$p"
    done
}

# apt_ensure PACKAGE...: installs those of PACKAGE... that are missing.
apt_ensure() {
    local missing
    missing=$(apt_missing "$@")
    [ -z "$missing" ] || apt_install $missing
}

# apt_candidate PACKAGE: true when the machine's apt sources offer PACKAGE.
# Answered from the lists already on the machine (which packages a release
# has does not change), read first where there are none yet.
apt_candidate() {
    compgen -G "$APT_ROOT/var/lib/apt/lists/*_Packages*" >/dev/null || apt_refresh
    local c
    c=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [ -n "$c" ] && [ "$c" != "(none)" ]
}

# Makes Debian bullseye an extra apt source, pinned low so that nothing of the
# release is ever replaced by it: only what is asked for by name comes from it.
ensure_bullseye_source() {
    local src=$APT_ROOT/etc/apt/sources.list.d/vorlane-bullseye.sources
    [ -f "$src" ] && return 0
    # The pin first: a run cut short in between must not leave the source unpinned.
    as_root tee "$APT_ROOT/etc/apt/preferences.d/vorlane-bullseye" >/dev/null <<'PIN'
Package: *
Pin: release n=bullseye
Pin-Priority: 100
PIN
    as_root tee "$src" >/dev/null <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    # The lists read before this source existed know none of its packages.
    unset VORLANE_APT_UPDATED
}

# make_venv PYTHON DIR: a venv of Debian's CPython 3.9 (release or debug) with
# pip, unless DIR already is one. Debian ships ensurepip and distutils for 3.9
# in packages that conflict with the release's, so the venv starts without
# pip; the release's own pip wheel (python3-pip-whl, the one its venvs get)
# runs from its file and installs the pinned pip from PyPI.
make_venv() {
    local python=$1 venv=$2
    if "$venv/bin/python" -c 'import sys, pip; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
        return 0
    fi
    apt_ensure python3-pip-whl
    rm -rf "$venv"
    "$python" -m venv --without-pip "$venv"
    local site="$venv/lib/python3.9/site-packages"
    # pip reads this switch (meant for distributors) and then takes its
    # install locations from sysconfig instead of the missing distutils.
    echo 'import sysconfig; sysconfig._PIP_USE_SYSCONFIG = True' > "$site/00-vorlane-sysconfig.pth"
    local pipver whl
    pipver=$(sed -n 's/^pip==//p' requirements.txt)
    whl=$(ls /usr/share/python-wheels/pip-*.whl | tail -n 1)
    # A pip wheel can run itself.
    "$venv/bin/python" "$whl/pip" install -q --disable-pip-version-check "pip==$pipver"
}

# find_python VERSION: prints the path of a CPython VERSION interpreter with
# its headers and ensurepip (for its venv), or fails. Debian's own comes
# first, then PATH, then pyenv.
find_python() {
    local v=$1 c
    for c in "/usr/bin/python$v" "$(command -v "python$v" 2>/dev/null || true)" \
             "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v"; do
        [ -n "$c" ] && [ -x "$c" ] || continue
        # A pyenv shim may exist for a version it cannot run: ask for real.
        if "$c" -c "import sys, sysconfig, os; assert sys.version_info[:2] == tuple(map(int, '$v'.split('.'))); \
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')); import ensurepip" 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

# make_modern_venv PYTHON DIR VERSION: a venv with pip from the interpreter's
# own ensurepip, unless DIR already is one for VERSION.
make_modern_venv() {
    local python=$1 venv=$2 v=$3
    if "$venv/bin/python" -c "import sys, pip; assert sys.version_info[:2] == tuple(map(int, '$v'.split('.')))" 2>/dev/null; then
        return 0
    fi
    rm -rf "$venv"
    "$python" -m venv "$venv"
}

# install_requirements VENV FILE: installs FILE's pins, then the ones its
# "# no-deps: " lines name with --no-deps; redone only when FILE changed.
install_requirements() {
    local venv=$1 file=$2 stamp="$1/.requirements.stamp" nodeps
    if [ -f "$stamp" ] && cmp -s "$file" "$stamp"; then
        return 0
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$file"
    nodeps=$(sed -n 's/^# no-deps: //p' "$file")
    if [ -n "$nodeps" ]; then
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps $nodeps
    fi
    cp "$file" "$stamp"
}
