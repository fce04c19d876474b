#!/usr/bin/env bash
# Runs the differential write-back test on random seeds for SECONDS and prints every failing
# seed (the first few shrunk to a case for the regression table).
#   scripts/diff-writeback.sh SECONDS [--writer own|own83|mtools] [--start SEED] [--build-dir DIR]
#                             [--checkpoints]
# Without --writer all writers run (mtools on a quarter of the seeds, being slower, and our writer
# in its 8.3 mode on another quarter). --checkpoints: our writer's sessions run checkpoints
# between and inside operations.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: $0 SECONDS [--writer own|own83|mtools] [--start SEED] [--build-dir DIR]}
shift
writer=both
start=0
checkpoints=0
dir=build-tests
while [ $# -gt 0 ]; do
    case "$1" in
    --writer) writer=${2:?}; shift 2 ;;
    --start) start=${2:?}; shift 2 ;;
    --build-dir) dir=${2:?}; shift 2 ;;
    --checkpoints) checkpoints=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
case "$writer" in own | own83 | mtools | both) ;; *) echo "--writer is own, own83 or mtools" >&2; exit 2 ;; esac
if [ ! -x "$dir/tests/writeback_diff_test" ]; then
    ./scripts/build.sh "$dir" -DTESSEL_TESTS=ON -DTESSEL_ASSERTIONS=ON
fi
TESSEL_DIFF_SECONDS=$seconds TESSEL_DIFF_WRITER=$writer TESSEL_DIFF_START=$start \
    TESSEL_DIFF_CHECKPOINTS=$checkpoints \
    "$dir/tests/writeback_diff_test" --gtest_filter=WritebackDiffTool.Long --gtest_brief=1
