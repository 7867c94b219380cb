#!/usr/bin/env bash
# `make check-leaks`: two leak hunts.
#
# 1. The pytest suite under Debian bullseye's debug interpreter (python3.9-dbg),
#    every test run several times in one process by tools/leakhunt.py, which
#    requires sys.gettotalrefcount(), sys.getallocatedblocks() and the number
#    of open descriptors to stay flat, as CPython's `regrtest -R` does. The
#    hunt first proves on tests/leaks/cases.py that it tells leaks from noise.
# 2. The C++ store tests under valgrind memcheck.
#
# What runs under the debug interpreter, and why it is honest: .venv-dbg holds
# the same pinned packages as .venv. numpy and cffi, whose C code runs inside
# the tests, are built from their sources with Py_DEBUG so that their
# reference counting is counted. numba, llvmlite, scipy and the compiled parts
# of suitesparse-graphblas are the release wheels: a debug build of CPython
# 3.8+ loads release-mode extensions (pip accepts cp39 wheels for cp39d), and
# they only run while `pygraphblas.types` is imported, before any counting.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
ROOT=$PWD

VENV=.venv-dbg
PY=$VENV/bin/python
PYDBG=/usr/bin/python3.9-dbg

# --- the debug interpreter and what its source builds need ------------------
if [ -n "$(apt_missing python3.9-dbg libpython3.9-dbg)" ]; then
    ensure_bullseye_source
    apt_install python3.9-dbg libpython3.9-dbg
fi
apt_ensure libffi-dev

# --- .venv-dbg ----------------------------------------------------------------
make_venv "$PYDBG" "$VENV"
pin() { grep -E "^$1==" requirements.txt; }
stamp="$VENV/.requirements.stamp"
if [ ! -f "$stamp" ] || ! cat requirements.txt tools/leaks-requirements.txt | cmp -s - "$stamp"; then
    # The debug interpreter shows ResourceWarnings, and pip leaves files to the collector.
    pipi() { PYTHONWARNINGS=ignore "$PY" -m pip install -q --disable-pip-version-check "$@"; }
    pipi "$(pin setuptools)" "$(pin wheel)" -r tools/leaks-requirements.txt
    # -DPy_DEBUG: see the top CMakeLists.txt; without it these would be release
    # builds. No wheel cache, which may hold such a build from an earlier try.
    CFLAGS="-DPy_DEBUG" NPY_NUM_BUILD_JOBS=2 pipi --no-cache-dir --no-build-isolation \
        --no-binary numpy,cffi "$(pin numpy)" "$(pin cffi)" "$(pin pycparser)"
    pipi -r requirements.txt
    cat requirements.txt tools/leaks-requirements.txt > "$stamp"
fi
PYTHONWARNINGS=ignore "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir=build/leaks/cmake .

# A module that does not count its references would make the hunt meaningless.
"$PY" - <<'CHECK'
import glob, os, subprocess, sysconfig
site = sysconfig.get_paths()["purelib"]
for pattern in ("numpy/core/_multiarray_umath.*.so", "_cffi_backend.*.so", "vorlane/_*.so"):
    for so in glob.glob(os.path.join(site, pattern)):
        syms = subprocess.run(["nm", "-D", "--undefined-only", so], check=True,
                              capture_output=True, text=True).stdout
        assert "_Py_RefTotal" in syms, so + " is not a Py_DEBUG build"
CHECK

# --- the leak hunt --------------------------------------------------------------
# ResourceWarning: the debug interpreter shows those that importing
# pygraphblas raises; descriptors our code leaves open are counted anyway.
hunt() {
    PYTHONPATH="$ROOT/tools" "$PY" -m pytest -q -p no:cacheprovider -p leakhunt \
        -W ignore::ResourceWarning "$@"
}

echo "check-leaks: the hunt against its known answers (tests/leaks/cases.py)"
xml=build/leaks/cases.xml
# Without hypothesis's pytest plugin, which adds every run's statistics to the
# XML report as a new property: growth the hunt would see in a clean test.
hunt -p no:hypothesispytest --junitxml="$xml" tests/leaks/cases.py >/dev/null || true
"$PY" - "$xml" <<'VERIFY'
import sys
import xml.etree.ElementTree as ET
kinds = {"references": "references grew", "memory_blocks": "memory blocks grew",
         "file_descriptors": "file descriptors changed"}
found = {}
for case in ET.parse(sys.argv[1]).iter("testcase"):
    text = "".join((f.text or "") for f in case if f.tag in ("failure", "error"))
    found[case.get("name")] = found.get(case.get("name"), "") + text
wrong = []
for name, text in found.items():
    if name.startswith("test_clean_"):
        if text:
            wrong.append(f"{name}: reported, but leaks nothing:\n{text}")
    else:
        kind = next(k for k in kinds if name.startswith(f"test_leak_{k}_"))
        if kinds[kind] not in text:
            wrong.append(f"{name}: its {kind} leak went unreported")
if wrong or len(found) < 7:
    sys.exit("leak hunt self-check failed:\n" + "\n".join(wrong or ["cases missing"]))
print(f"  {len(found)} cases answered as expected")
VERIFY

echo "check-leaks: the pytest suite under $PYDBG"
# Left out: the packaging and demo tests, whose work happens in subprocesses
# (nothing in this process to count), and the thread stress test, whose
# 10^6-cell rounds repeated six times under the debug interpreter would take
# most of an hour; it checks its own reference counts, and runs in `make
# test` and `make check-asan`. The model test runs its short profile.
VORLANE_FUZZ=leaks hunt --ignore=tests/test_packaging.py --ignore=tests/test_demo.py \
    --ignore=tests/test_stress.py tests "$@"

# --- valgrind over the C++ store tests ----------------------------------------
echo "check-leaks: C++ store tests under valgrind"
CPPTEST_DIR=build/cpptests
.venv/bin/cmake -S tests/cpp -B "$CPPTEST_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$ROOT/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$CPPTEST_DIR"
# PYTHONMALLOC=malloc: pymalloc's arenas hide objects from memcheck and read
#   memory it never initialised by design.
# nouserintercepts: the test binary replaces operator new and calloc to inject
#   allocation failures; memcheck must intercept only the C library's.
# Only definite losses count: the embedded interpreter keeps static objects
#   until exit, which memcheck calls possibly lost or still reachable.
(cd "$CPPTEST_DIR" && PYTHONMALLOC=malloc valgrind --tool=memcheck --quiet \
    --soname-synonyms=somalloc=nouserintercepts \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --error-exitcode=99 --num-callers=40 ./store_tests --gtest_brief=1)
