#!/usr/bin/env bash
# tools/test-all.sh [--strict] VERSION...: `make test-one` for each interpreter
# in turn, then one summary line each. An interpreter the machine does not
# have is reported as missing; with --strict that fails the run.
set -uo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

strict=0
if [ "${1:-}" = --strict ]; then strict=1; shift; fi
declare -a summary
status=0
for v in "$@"; do
    if [ "$v" != 3.9 ] && [ "$v" != 3.11 ] && ! find_python "$v" >/dev/null; then
        summary+=("CPython $v: MISSING on this machine, not tested")
        [ "$strict" = 1 ] && status=1
        continue
    fi
    echo "=== CPython $v ==="
    start=$SECONDS
    if make --no-print-directory test-one PY_VERSION="$v"; then
        summary+=("CPython $v: passed ($((SECONDS - start)) s)")
    else
        summary+=("CPython $v: FAILED ($((SECONDS - start)) s)")
        status=1
    fi
done
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $status
