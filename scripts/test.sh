#!/usr/bin/env bash
# Sets up, builds and runs every test twice: a normal build, and one under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh || exit 1
status=0
run_suite() {
    local dir=$1
    shift
    echo "=== $dir: building"
    ./scripts/build.sh "$dir" "$@" || { status=1; return; }
    echo "=== $dir: testing"
    (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 900) || status=1
}
run_suite build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan -DTESSEL_SANITIZE=ON
exit $status
