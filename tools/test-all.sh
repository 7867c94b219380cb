#!/usr/bin/env bash
# tools/test-all.sh [--strict] VERSION...: `make test-one` for each interpreter
# in turn, then one summary line each, naming the interpreter it ran on. An
# interpreter the machine cannot have (tools/bootstrap.sh exits 3) is reported
# as missing; with --strict that fails the run.
set -uo pipefail
# Read whole before it runs: a checkout during the long run must not change
# what bash reads next.
{
cd "$(dirname "$0")/.."

strict=0
if [ "${1:-}" = --strict ]; then strict=1; shift; fi
declare -a summary
status=0
for v in "$@"; do
    echo "=== CPython $v ==="
    start=$SECONDS
    tools/bootstrap.sh "$v"
    setup=$?
    if [ "$setup" = 3 ]; then
        summary+=("CPython $v: MISSING on this machine, not tested")
        [ "$strict" = 1 ] && status=1
        continue
    elif [ "$setup" != 0 ]; then
        summary+=("CPython $v: FAILED in set-up (tools/bootstrap.sh exit status $setup)")
        status=1
        continue
    fi
    venv=$([ "$v" = 3.9 ] && echo .venv || echo ".venv-$v")
    where=$(sed -n 's/^home *= *//p' "$venv/pyvenv.cfg")/python$v
    if make --no-print-directory test-one PY_VERSION="$v"; then
        summary+=("CPython $v ($where): passed ($((SECONDS - start)) s)")
    else
        summary+=("CPython $v ($where): FAILED ($((SECONDS - start)) s)")
        status=1
    fi
done
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $status
}
