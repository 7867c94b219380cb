#!/usr/bin/env bash
# `make check-asan`: builds every extension module of the project with
# AddressSanitizer and UndefinedBehaviorSanitizer (tools/sanitize.cmake) into
# build/asan/site, a package overlay that leaves the .venv install alone, and
# runs the whole pytest suite against it with the sanitizer runtimes preloaded
# into the release interpreter. Any report ends the run with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
ROOT=$PWD

VENV=.venv
PY=$VENV/bin/python
SITE=build/asan/site

asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
if [ ! -e "$asan" ] || [ ! -e "$ubsan" ]; then
    # The runtimes come with the release's own gcc (12 on Debian 12, 14 on 13).
    gccver=$(gcc -dumpversion)
    apt_install "libgcc-${gccver%%.*}-dev"
    asan=$(gcc -print-file-name=libasan.so)
    ubsan=$(gcc -print-file-name=libubsan.so)
fi

# The same packaging path as the real install, with its own build tree so the
# normal build stays incremental. Debug keeps the debug-only checks compiled in.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --upgrade --target "$SITE" \
    -C build-dir=build/asan/cmake \
    -C cmake.build-type=Debug \
    -C cmake.define.CMAKE_PROJECT_INCLUDE="$ROOT/tools/sanitize.cmake" \
    .
cp tools/asan_sitecustomize.py "$SITE/sitecustomize.py"

export PYTHONPATH="$ROOT/$SITE"
export PYTHONMALLOC=malloc   # every object allocation goes through ASan's malloc
export LD_PRELOAD="$asan $ubsan"
# detect_leaks=0: the interpreter frees little at exit by design and LeakSanitizer
# would report all of it; leaks are hunted by `make check-leaks` instead.
# allocator_may_return_null=1: the tests ask for absurd sizes on purpose and
# expect MemoryError, which needs a null from malloc rather than an ASan abort.
# Reports go to files: pytest captures file descriptor 2, and a process that
# the sanitizer ends never gets to show what it captured.
REPORTS=$ROOT/build/asan/reports
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:log_path=$REPORTS/asan
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export VORLANE_UBSAN_LOG=$REPORTS/ubsan   # see tools/asan_sitecustomize.py

# A run against anything but the instrumented modules would prove nothing.
# (From build/: the work tree's own vorlane/ has no modules and would shadow.)
(cd build && "$ROOT/$PY" - "$ROOT/$SITE" <<'CHECK'
import importlib, os, subprocess, sys
site = os.path.realpath(sys.argv[1])
built = sorted(f for f in os.listdir(os.path.join(site, "vorlane")) if f.endswith(".so"))
assert built, "no extension module was built"
for f in built:
    mod = importlib.import_module("vorlane." + f.split(".")[0])
    assert os.path.realpath(mod.__file__).startswith(site + os.sep), mod.__file__
    syms = subprocess.run(["nm", "-D", "--undefined-only", mod.__file__],
                          check=True, capture_output=True, text=True).stdout
    assert "__asan_init" in syms and "__ubsan_handle_" in syms, f + " is not instrumented"
    print("instrumented:", mod.__name__, "from", mod.__file__)
CHECK
)

status=0
# The packaging tests build and install a wheel in a fresh venv: they check
# packaging, not memory, and the overlay on PYTHONPATH would shadow the
# fresh install they are about.
"$PY" -m pytest -q -p no:cacheprovider --ignore=tests/test_packaging.py tests "$@" || status=$?
# Subprocesses of the tests report here too, even when their parent passed.
# A warning alone (a refused absurd allocation the tests ask for) is no finding.
if compgen -G "$REPORTS/*" >/dev/null; then
    if grep -qE "ERROR: |SUMMARY: |runtime error: |CHECK failed" "$REPORTS"/*; then
        cat "$REPORTS"/* >&2
        echo "check-asan: sanitizer reports above (also in $REPORTS)" >&2
        exit 1
    fi
    echo "check-asan: no findings; the sanitizers' warnings:"
    cat "$REPORTS"/*
fi
exit "$status"
