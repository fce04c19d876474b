#!/usr/bin/env bash
# CI: sets up, then builds and runs every test twice (a normal build, and one under
# AddressSanitizer and UndefinedBehaviorSanitizer), both with assertions; the two-thread test
# and the journal's flushing thread under ThreadSanitizer; a minute of fuzzing the write-back;
# and the benchmark command on tiny trees. Prints each stage's time at the end.
#
#   scripts/test.sh [--quick]
#
# --quick: the set-up, the normal build and its tests (unit and end-to-end) alone.
# The tests build in build-tests and build-tests-asan, never in build/, which the README's
# install commands use: an install never picks up a build with assertions on.
set -uo pipefail
cd "$(dirname "$0")/.."
quick=0
case ${1:-} in
--quick) quick=1 ;;
"") ;;
*) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
status=0
stages=()
# Runs a stage, recording its time and whether it failed.
stage() {
    local name=$1 start=$SECONDS result=ok
    shift
    echo "=== $name"
    "$@" || { result=FAILED; status=1; }
    stages+=("$(printf '%-28s %4d s  %s' "$name" $((SECONDS - start)) "$result")")
}
build_suite() {
    local dir=$1
    shift
    ./scripts/build.sh "$dir" -DTESSEL_TESTS=ON -DTESSEL_ASSERTIONS=ON "$@"
}
test_suite() {
    local result=0
    (cd "$1" && ctest --output-on-failure -j"$(nproc)" --timeout 900 | tee ctest-output.txt) ||
        result=1
    report_skips "$1" || result=1
    return $result
}
# Says how many tests skipped and why (the reasons their GTEST_SKIP gave, from ctest's log).
# Run as root, as CI is, nothing may skip but the entries that are run by hand (tools that
# wait for their settings): a test that needs privileges must get them here.
report_skips() {
    local skipped disabled reasons byHand
    # The check against the Haiku headers skips where they are not beside the checkout: said,
    # not counted among the tests.
    if grep -q 'haiku_syntax (Skipped)$' "$1/ctest-output.txt"; then
        echo "=== haiku_syntax skipped: no Haiku headers (-DTESSEL_HAIKU_HEADERS, default ../shared/haiku-headers/headers)"
    fi
    skipped=$(grep '(Skipped)$' "$1/ctest-output.txt" | grep -vc 'haiku_syntax (Skipped)$')
    disabled=$(grep -c '(Disabled)$' "$1/ctest-output.txt")
    reasons=$(grep -A1 ': Skipped$' "$1/Testing/Temporary/LastTest.log" |
        grep -v -e ': Skipped$' -e '^--$')
    byHand=$(grep -c '^run by hand:' <<<"$reasons")
    echo "=== $skipped tests skipped ($byHand run by hand), $disabled disabled"
    [ "$skipped" -gt 0 ] && sort <<<"$reasons" | uniq -c | sed 's/^ */    skipped: /'
    if [ "$(id -u)" -eq 0 ] && [ "$skipped" -gt "$byHand" ]; then
        echo "tests skipped although running as root" >&2
        return 1
    fi
    return 0
}
# The two-thread test, the journal's thread and its compaction, and the drive's checkpoint
# thread under ThreadSanitizer.
tsan() {
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_TSAN=ON >/dev/null &&
        cmake --build build-tsan -j"$(nproc)" --target two_threads_test journal_test \
            journal_durability_test live_checkpoints_test >/dev/null &&
        TSAN_OPTIONS=halt_on_error=1:exitcode=66 ./build-tsan/tests/live_checkpoints_test &&
        TSAN_OPTIONS=halt_on_error=1:exitcode=66 ./build-tsan/tests/two_threads_test &&
        TSAN_OPTIONS=halt_on_error=1:exitcode=66 ./build-tsan/tests/journal_test \
            --gtest_filter='Journal.WritesGoOnWhileItsThreadFlushes:Journal.TornOrDamaged*' &&
        TSAN_OPTIONS=halt_on_error=1:exitcode=66 ./build-tsan/tests/journal_durability_test \
            --gtest_filter='JournalDurability.CompactionKeepsEveryAcknowledgedWriteThroughKills'
}

finish() {
    echo
    echo "=== Stage times"
    printf '%s\n' "${stages[@]}"
    printf '%-28s %4d s  (%s)\n' "total" $((SECONDS - total)) \
        "$([ $status -eq 0 ] && echo passed || echo FAILED)"
    exit $status
}

total=$SECONDS
stage "setup" ./scripts/setup.sh test
if [ $status -ne 0 ]; then
    exit 1
fi
stage "build" build_suite build-tests
stage "test" test_suite build-tests
if [ $quick -eq 1 ]; then
    finish
fi
# -O1, as the sanitizers advise: it builds in half the time of -O3 and the checks are the same.
stage "build (sanitizers)" build_suite build-tests-asan -DTESSEL_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DCMAKE_C_FLAGS_RELEASE=-O1
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
stage "test (sanitizers)" test_suite build-tests-asan
unset ASAN_OPTIONS UBSAN_OPTIONS
# The two-thread test and the journal's thread under ThreadSanitizer (any report fails it).
stage "two-thread test (tsan)" tsan
# The write-back fuzzer: the seed corpus replayed, then a minute of fuzzing.
stage "fuzz" ./scripts/fuzz.sh 60 --build-dir build-fuzz
# The benchmark command on tiny trees, so that it keeps working; its figures are not checked.
stage "benchmark smoke run" ./scripts/bench.sh --smoke --build-dir build-bench-smoke

finish

