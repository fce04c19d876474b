#!/usr/bin/env bash
# Fuzzes the write-back: builds the libFuzzer target with clang and assertions (build-fuzz),
# replays the seed corpus in fuzz/corpus on the in-memory file system and on the real one, then
# fuzzes for SECONDS (default 60) or RUNS inputs. The trees live in the in-memory file system
# behind the layer's table of system calls (thousands of inputs a second); --real-fs puts them
# in a temporary directory instead (tens a second), for what only a real file system does.
# --no-asan builds without AddressSanitizer (UndefinedBehaviorSanitizer and assertions stay;
# about twice as fast, for the long runs; build-fuzz-fast). New inputs go to DIR/corpus; crashes
# to DIR/artifacts. Then the journal's record of the disk is fuzzed for a quarter of that time
# (at least 10 s; RUNS inputs with --runs), each input bounded to 5 s, from fuzz/corpus-record.
#   scripts/fuzz.sh [SECONDS] [--runs N] [--real-fs] [--no-asan] [--build-dir DIR] [--seeds]
#   (--seeds: remake fuzz/corpus first)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
runs=
dir=
asan=ON
real=0
seeds=0
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --real-fs) real=1; shift ;;
    --no-asan) asan=OFF; shift ;;
    --seeds) seeds=1; shift ;;
    *) seconds=$1; shift ;;
    esac
done
[ -n "$dir" ] || { [ $asan = ON ] && dir=build-fuzz || dir=build-fuzz-fast; }
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
    echo "fuzz.sh: clang++ with libFuzzer is needed (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 1
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSEL_FUZZ=ON -DTESSEL_FUZZ_ASAN=$asan -DTESSEL_TESTS=OFF \
    -DTESSEL_ASSERTIONS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzz_writeback fuzz_record make_seeds >/dev/null
if [ $seeds = 1 ]; then
    rm -f fuzz/corpus/fat*-*
    "$dir/fuzz/make_seeds" fuzz/corpus
fi
mkdir -p "$dir/corpus" "$dir/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
target="$(pwd)/$dir/fuzz/fuzz_writeback"
echo "=== fuzz: replaying fuzz/corpus in memory"
"$target" -runs=0 fuzz/corpus
echo "=== fuzz: replaying fuzz/corpus on the real file system"
TESSEL_FUZZ_REAL_FS=1 "$target" -runs=0 fuzz/corpus
if [ $real = 1 ]; then
    export TESSEL_FUZZ_REAL_FS=1
    where="on the real file system"
else
    where="in memory"
fi
if [ -n "$runs" ]; then
    limit=(-runs="$runs")
    echo "=== fuzz: fuzzing $where for $runs inputs"
else
    limit=(-max_total_time="$seconds")
    echo "=== fuzz: fuzzing $where for $seconds s"
fi
"$target" "${limit[@]}" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
    -artifact_prefix="$dir/artifacts/" -print_final_stats=1 "$dir/corpus" fuzz/corpus

# A record must be refused or used in time proportional to the disk it describes: one slow input
# is a failure.
mkdir -p "$dir/corpus-record"
if [ -n "$runs" ]; then
    limit=(-runs="$runs")
else
    limit=(-max_total_time=$((seconds / 4 > 10 ? seconds / 4 : 10)))
fi
echo "=== fuzz: the journal's record (${limit[0]})"
"$(pwd)/$dir/fuzz/fuzz_record" "${limit[@]}" -timeout=5 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$dir/artifacts/record-" -print_final_stats=1 "$dir/corpus-record" \
    fuzz/corpus-record
