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
# The two-thread test under ThreadSanitizer (any report fails it).
echo "=== build-tsan: building and running the two-thread test"
if cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_TSAN=ON >/dev/null &&
    cmake --build build-tsan -j"$(nproc)" --target robust_threads_test >/dev/null; then
    TSAN_OPTIONS=halt_on_error=1:exitcode=66 ./build-tsan/tests/robust_threads_test || status=1
else
    status=1
fi
# The write-back fuzzer: the seed corpus replayed, then a minute of fuzzing.
echo "=== fuzz"
./scripts/fuzz.sh 60 --build-dir build-fuzz || status=1
exit $status
