#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets of tests/fuzz with clang (ASan and
# UBSan included) and runs each for a bounded time, seeded from tests/fuzz/seeds.
# New inputs collect in build/fuzz/corpus and survive between runs; a crashing
# input is left in build/fuzz/artifacts and ends the run with a failure.
# Usage: tools/fuzz.sh SECONDS_PER_TARGET
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

SECONDS_PER_TARGET=${1:-60}
VENV=.venv
OUT=build/fuzz

# The release's own clang (14 on Debian 12, 19 on 13); libFuzzer and the clang
# sanitizer runtimes live in the libclang-rt-N-dev of the same version.
command -v clang++ >/dev/null || apt_install clang
if [ ! -e "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a" ]; then
    clangver=$(clang++ -dumpversion)
    apt_install "libclang-rt-${clangver%%.*}-dev"
fi

"$VENV/bin/cmake" -S tests/fuzz -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/$VENV/bin/python" >/dev/null
"$VENV/bin/cmake" --build "$OUT"

mkdir -p "$OUT/artifacts"
for src in tests/fuzz/*_fuzz.cpp; do
    target=$(basename "$src" .cpp)
    mkdir -p "$OUT/corpus/$target"
    echo "fuzz: $target for ${SECONDS_PER_TARGET}s"
    # The first corpus directory receives new inputs; the seeds stay untouched.
    "$OUT/$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$OUT/artifacts/$target-" \
        "$OUT/corpus/$target" tests/fuzz/seeds 2>"$OUT/$target.log" || {
        tail -n 60 "$OUT/$target.log" >&2
        echo "fuzz: $target failed; the input is in $OUT/artifacts, replay with $OUT/$target FILE" >&2
        exit 1
    }
    grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$OUT/$target.log"
done
