#!/usr/bin/env bash
# The main job on the bundled example directory: mount it as the guest's disk, look at it with
# independent FAT tools, let a "guest" (mtools) add and change files, and write the changes back.
# Works on a copy in build-example/example, so the repository stays as it is. Builds only the
# plug-in and tessel-host (no tests) and installs only the packages that takes.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh example
echo "== Building tessel-host and the plug-in in build-example (a few minutes the first time)"
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=Release -DTESSEL_TESTS=OFF >/dev/null
# Progress on one line: the build's percentage and the file it is at.
log=build-example/build.log
if ! cmake --build build-example -j"$(nproc)" --target tessel-host 2>&1 | tee "$log" |
    while IFS= read -r line; do
        case $line in
        \[*%\]*) [ -t 1 ] && printf '\r\033[K   %s' "${line:0:100}" || echo "   $line" ;;
        esac
    done; then
    [ -t 1 ] && echo
    echo "The build failed; its output is in $log" >&2
    exit 1
fi
[ -t 1 ] && printf '\r\033[K'
echo "   built"
host=build-example/tessel-host
work=build-example/example
rm -rf "$work"
mkdir -p "$work"
cp -a examples/share "$work/share"
dir="$work/share"

echo "== The drive"
"$host" -t "DIRECTORY=$dir" identify

echo "== Dumping the disk the guest sees (sparse image of the extent in use)"
"$host" -t "DIRECTORY=$dir" dump "$work/disk.img"
"$host" -t "DIRECTORY=$dir" dump --partition "$work/part.img"
echo "== fsck.fat on the partition"
fsck.fat -n "$work/part.img"
echo "== The guest's view (mdir)"
mdir -/ -i "$work/part.img" ::

echo "== A guest changes the disk: a new file, a new directory, a rename, a deletion"
cp "$work/part.img" "$work/base.img"
echo "Written by the guest" > "$work/NEWS.TXT"
mcopy -i "$work/part.img" "$work/NEWS.TXT" ::/NEWS.TXT
mmd -i "$work/part.img" ::/SAVES
mren -i "$work/part.img" ::/GAMES/HELLO.BAS ::/GAMES/GREET.BAS
mdel -i "$work/part.img" ::/GAMES/LEVELS.DAT
"$host" -t "DIRECTORY=$dir" apply "$work/part.img" --base "$work/base.img" --partition

echo "== The host directory after write-back"
(cd "$dir" && find . | sort)
cat "$dir/NEWS.TXT"
