#!/usr/bin/env bash
# Compiles sources for syntax only against the real Haiku kit headers, with the project's own
# include paths and without the stand-ins under platform/. The build machine's C library stays
# underneath, so a prelude supplies the kit types it lacks; linking is not tried.
#
#   scripts/haiku-syntax-check.sh [--headers DIR] [--compiler CXX] [--include "DIR;DIR..."] FILE...
#
# DIR is the headers/ folder of a Haiku source tree (the CMake option TESSEL_HAIKU_HEADERS);
# it defaults to ../shared/haiku-headers/headers beside the repository. Without it the check is
# skipped, and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
headers=../shared/haiku-headers/headers
cxx=g++
includes="$PWD;$PWD/sdk/include;$PWD/sdk/include/haiku"
while [ $# -gt 0 ]; do
    case $1 in
    --headers) headers=$2; shift 2 ;;
    --compiler) cxx=$2; shift 2 ;;
    --include) includes=$2; shift 2 ;;
    *) break ;;
    esac
done
if [ -z "$headers" ] || [ ! -d "$headers/os" ]; then
    echo "skipped: no Haiku headers"
    echo "(looked for them in '${headers}'; give a Haiku source tree's headers/ with --headers or"
    echo " -DTESSEL_HAIKU_HEADERS)"
    exit 0
fi
[ $# -gt 0 ] || { echo "haiku-syntax-check: no sources given" >&2; exit 2; }

h=$(realpath "$headers")
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-haiku.XXXXXX")
trap 'rm -rf "$work"' EXIT
# What Haiku's own <sys/types.h> would provide.
printf '#include <config/types.h>\ntypedef __haiku_addr_t addr_t;\n' >"$work/prelude.h"

flags=(-fsyntax-only -Wall -Wextra -Werror -Wno-multichar -D__HAIKU__ -include "$work/prelude.h")
IFS=';' read -r -a dirs <<<"$includes"
for d in "${dirs[@]}"; do
    case $d in */platform/*) continue ;; esac # the stand-ins are what this check replaces
    flags+=(-I"$d")
done
# System headers: their own warnings are not ours to fix.
for d in "" /os /os/interface /os/app /os/support /os/storage /os/locale /os/kernel; do
    flags+=(-isystem "$h$d")
done

check() {
    local file=$1 log=$2 std=-std=c++20
    case $file in *.c) std="-x c -std=c11" ;; esac
    # shellcheck disable=SC2086
    "$cxx" $std "${flags[@]}" "$file" >"$log" 2>&1
}

failed=()
n=0
for file in "$@"; do
    n=$((n + 1))
    check "$file" "$work/$n.log" &
    pids[n]=$!
    files[n]=$file
    # Two at a time: the machine is shared.
    if [ $((n % 2)) -eq 0 ]; then
        wait "${pids[n - 1]}" || failed+=("$((n - 1))")
        wait "${pids[n]}" || failed+=("$n")
    fi
done
if [ $((n % 2)) -eq 1 ]; then
    wait "${pids[n]}" || failed+=("$n")
fi

for i in "${failed[@]}"; do
    echo "== ${files[i]} does not compile against the Haiku headers:"
    cat "$work/$i.log"
done
echo "$((n - ${#failed[@]})) of $n sources compile against the Haiku headers in $headers"
[ ${#failed[@]} -eq 0 ]
