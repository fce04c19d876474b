#!/usr/bin/env bash
# Fuzzes the write-back: builds the libFuzzer target with clang and assertions (build-fuzz),
# replays the seed corpus in fuzz/corpus, then fuzzes for SECONDS (default 60). New inputs go to
# build-fuzz/corpus; crashes to build-fuzz/artifacts.
#   scripts/fuzz.sh [SECONDS] [--build-dir DIR] [--seeds]   (--seeds: remake fuzz/corpus first)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
dir=build-fuzz
seeds=0
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) dir=$2; shift 2 ;;
    --seeds) seeds=1; shift ;;
    *) seconds=$1; shift ;;
    esac
done
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
    echo "fuzz.sh: clang++ with libFuzzer is needed (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 1
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_FUZZ=ON -DTESSEL_TESTS=OFF -DTESSEL_ASSERTIONS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzz_writeback make_seeds >/dev/null
if [ $seeds = 1 ]; then
    rm -f fuzz/corpus/*
    "$dir/fuzz/make_seeds" fuzz/corpus
fi
mkdir -p "$dir/corpus" "$dir/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
target="$(pwd)/$dir/fuzz/fuzz_writeback"
echo "=== fuzz: replaying fuzz/corpus"
"$target" -runs=0 fuzz/corpus
echo "=== fuzz: fuzzing for $seconds s"
"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
    -artifact_prefix="$dir/artifacts/" -print_final_stats=1 "$dir/corpus" fuzz/corpus
