#!/usr/bin/env bash
# Configures a clang build with the fuzz targets, builds them and runs each one for a fixed time.
# Exits non-zero when the build fails or a target finds a crash, a leak or undefined behaviour.
#
#   tools/run-fuzz.sh [seconds-per-target]
#
# Environment: INFRA_FUZZ_BUILD_DIR (default <repo>/build-fuzz), INFRA_FUZZ_SECONDS (default 20),
# INFRA_FUZZ_JOBS (build parallelism, default 2), CXX (default clang++).
# The targets are those registered with infra_add_fuzz in fuzz/CMakeLists.txt. Corpora grow in
# <build>/fuzz-corpus/<target>; seeds are read from fuzz/corpus/<target> when present; crashing
# inputs are kept in <build>/fuzz-artifacts/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${INFRA_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-${INFRA_FUZZ_SECONDS:-20}}
jobs=${INFRA_FUZZ_JOBS:-2}
cxx=${CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "run-fuzz: $cxx not found; the fuzz targets need clang" >&2
    exit 1
fi

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi

cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" \
    -DINFRA_BUILD_FUZZ=ON \
    -DINFRA_BUILD_TESTS=OFF \
    -DINFRA_BUILD_BENCH=OFF \
    -DINFRA_BUILD_EXAMPLES=OFF

list="$build/fuzz-targets.txt"
if [ ! -s "$list" ]; then
    echo "run-fuzz: no fuzz targets configured (is INFRA_BUILD_FUZZ wired into CMakeLists.txt?)" >&2
    exit 1
fi
cmake --build "$build" -j "$jobs" --target fuzz

# A fuzz source that no target builds is reported, so it is not silently skipped.
for source in "$root"/fuzz/*Fuzz.cpp; do
    [ -e "$source" ] || continue
    name=$(basename "$source" .cpp)
    if ! grep -q "^$name " "$list"; then
        echo "run-fuzz: warning: $name.cpp is not registered in fuzz/CMakeLists.txt" >&2
    fi
done

mkdir -p "$build/fuzz-artifacts"
failed=()
count=0
while read -r target binary; do
    [ -n "$target" ] || continue
    count=$((count + 1))
    corpus="$build/fuzz-corpus/$target"
    mkdir -p "$corpus"
    dirs=("$corpus")
    if [ -d "$root/fuzz/corpus/$target" ]; then
        dirs+=("$root/fuzz/corpus/$target")
    fi
    echo "run-fuzz: $target for ${seconds}s"
    if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" "${dirs[@]}" </dev/null; then
        failed+=("$target")
    fi
done <"$list"

if [ ${#failed[@]} -ne 0 ]; then
    echo "run-fuzz: FAILED: ${failed[*]} (inputs in $build/fuzz-artifacts)" >&2
    exit 1
fi
echo "run-fuzz: all $count targets ran clean"
