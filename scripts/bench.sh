#!/usr/bin/env bash
# Measures mounting, reading, the port window and the write-back against the floors the standard
# tools set on the same trees, and writes the table to docs/benchmarks.md.
#
#   scripts/bench.sh [--smoke] [--large] [--runs N] [--out FILE] [--build-dir DIR]
#
# --smoke uses tiny trees and one run, writes the table to a temporary file (or --out) and fails
# only when a command fails, never on a target. --large adds a tree of 1,000,000 objects to the
# mount cases (it takes minutes to make). Every figure and floor is measured with a warm
# page cache: each tree is walked or read once before it is timed, and nothing drops caches.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0
large_case=0
runs=3
out=docs/benchmarks.md
build=build-bench
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) smoke=1; runs=1; out="" ;;
    --large) large_case=1 ;;
    --runs) runs=$2; shift ;;
    --out) out=$2; shift ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: scripts/bench.sh [--smoke] [--large] [--runs N] [--out FILE] [--build-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done

echo "== Building in $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON -DTESSEL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tessel-bench port_bench Tessel >/dev/null
build=$(realpath "$build")
bench=$build/bench/tessel-bench
port_bench=$build/bench/port_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
[ -n "$out" ] || out=$work/benchmarks.md

if [ $smoke -eq 1 ]; then
    small=500 large=2000 gib_files=16 wb_files=20 port_time=0.05
else
    small=10000 large=100000 gib_files=1024 wb_files=1000 port_time=1
fi

# ---- helpers
# Seconds taken by a command (its output discarded unless redirected by the caller).
seconds() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null || { echo "failed: $*" >&2; return 1; }
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f\n", b - a }'
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/^$1=//p" <<<"$2"; }
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
# Runs tessel-bench; its key=value report on stdout, the plug-in's own lines dropped.
run_bench() {
    local report
    if ! report=$("$bench" "$@"); then
        echo "tessel-bench $* failed:" >&2
        echo "$report" >&2
        exit 1
    fi
    grep -E '^[a-z_]+=' <<<"$report"
}
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 |"); }
met() { if awk "BEGIN { exit !($1) }"; then echo yes; else echo "**no**"; fi; }

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== Making the trees in $work"
"$bench" tree "$work/small" "$small"
"$bench" tree "$work/large" "$large"
trees="small large"
if [ $large_case -eq 1 ]; then
    "$bench" tree "$work/huge" 1000000
    trees="small large huge"
fi
"$bench" files "$work/gib" "$gib_files" 1048576 64
"$bench" files "$work/wb" "$wb_files" 102400 100
"$bench" files "$work/wb-src" "$wb_files" 102400 100
gib_bytes=$((gib_files * 1048576))

# ---- mount, mount memory
declare -A mount_detail
for tree in $trees; do
    dir=$work/$tree
    find "$dir" -printf '%s %T@\n' >/dev/null # warm
    floors=() figures=() rss=() fds=() unmounts=()
    for ((i = 0; i < runs; i++)); do
        floor=$(seconds find "$dir" -printf '%s %T@\n')
        floors+=("$floor")
        report=$(run_bench mount "$dir")
        figures+=("$(field seconds "$report")")
        rss+=("$(field rss_added_bytes "$report")")
        fds+=("$(field fds_added "$report")")
        unmounts+=("$(field unmount_seconds "$report")")
    done
    objects=$(field objects "$report")
    names=$(field name_bytes "$report")
    floor=$(median "${floors[@]}")
    figure=$(median "${figures[@]}")
    ratio=$(calc "$figure / $floor" 2)
    row "mount, $objects objects" "$(calc "$figure * 1000" 1) ms" "$(calc "$floor * 1000" 1) ms (find)" \
        "$ratio×" "≤ 1.5×" "$(met "$ratio <= 1.5")"
    per_object=$(calc "$(median "${rss[@]}") / $objects" 0)
    allowed=$(calc "200 + $names / $objects" 0)
    row "mount memory, $objects objects" "$per_object bytes/object" "—" "—" \
        "≤ $allowed bytes/object (200 + names)" "$(met "$per_object <= $allowed")"
    max_fds=$(printf '%s\n' "${fds[@]}" | sort -g | tail -1)
    row "descriptors while mounted, $objects objects" "$max_fds" "—" "—" "≤ 8" "$(met "$max_fds <= 8")"
    mount_detail[$tree]="$objects objects, $names bytes of names; unmount (nothing written) $(calc "$(median "${unmounts[@]}") * 1000" 1) ms"
done

# ---- read
dir=$work/gib
find "$dir" -type f -exec cat {} + >/dev/null # warm
floors=() figures=()
for ((i = 0; i < runs; i++)); do
    floor=$(seconds find "$dir" -type f -exec cat {} +)
    floors+=("$floor")
    report=$(run_bench read "$dir" 65536)
    figures+=("$(field mb_per_s "$report")")
done
floor_mbs=$(calc "$gib_bytes / $(median "${floors[@]}") / 1000000" 1)
figure_mbs=$(median "${figures[@]}")
ratio=$(calc "$figure_mbs / $floor_mbs" 2)
row "read, $gib_files files of 1 MiB, 64 KiB requests" "$figure_mbs MB/s" "$floor_mbs MB/s (cat)" \
    "$ratio×" "≥ 0.7×" "$(met "$ratio >= 0.7")"

# ---- dump and apply through the port window, as tessel-host does them
dumps=() applies=() dump_bytes=0 apply_bytes=0
for ((i = 0; i < runs; i++)); do
    report=$(run_bench dump "$dir")
    dump_bytes=$(field dump_bytes "$report")
    apply_bytes=$(field apply_bytes "$report")
    dumps+=("$(calc "$dump_bytes / $(field dump_seconds "$report") / 1000000" 1)")
    applies+=("$(calc "$apply_bytes / $(field apply_write_seconds "$report") / 1000000" 1)")
done
dump_mbs=$(median "${dumps[@]}")
apply_mbs=$(median "${applies[@]}")
row "dump of the $gib_files MiB tree through the port window" "$dump_mbs MB/s" \
    "$floor_mbs MB/s (cat)" "$(calc "$dump_mbs / $floor_mbs" 2)×" "≥ 200 MB/s" \
    "$(met "$dump_mbs >= 200")"
row "apply, writing $(calc "$apply_bytes / 1048576" 0) MiB through the port window" \
    "$apply_mbs MB/s" "$floor_mbs MB/s (cat)" "$(calc "$apply_mbs / $floor_mbs" 2)×" \
    "≥ 200 MB/s" "$(met "$apply_mbs >= 200")"

# ---- port window
port_json=$work/port.json
"$port_bench" --dir "$work/gib" --image "$work/port.img" --benchmark_min_time="$port_time" \
    --benchmark_repetitions="$runs" --benchmark_format=json >"$port_json" 2>"$work/port.err" || {
    cat "$work/port.err" >&2
    echo "port_bench failed" >&2
    exit 1
}
# The median (or the single run) of ns_per_access, which the JSON holds in seconds.
port_ns() {
    awk -v want="$1" -v agg="$([ "$runs" -gt 1 ] && echo _median)" '
        /"name":/ { gsub(/[",]/, "", $2); name = $2 }
        /"error_occurred": true/ { if (name == want agg) bad = 1 }
        /"ns_per_access":/ { gsub(/,/, "", $2); if (name == want agg) v = $2 * 1e9 }
        END { if (bad || v == "") exit 1; printf "%.2f\n", v }' "$port_json"
}
for medium in directory image; do
    ns=$(port_ns "port_window/$medium") || { echo "no port figure for $medium" >&2; exit 1; }
    row "port window, $medium medium" "$ns ns/access" "—" "—" "≤ 5 ns" "$(met "$ns <= 5")"
done
# Writing 10 MB through the port window, journal on against journal off (the floor).
port_ms() {
    awk -v want="$1" -v agg="$([ "$runs" -gt 1 ] && echo _median)" '
        /"name":/ { gsub(/[",]/, "", $2); name = $2 }
        /"error_occurred": true/ { if (name == want agg) bad = 1 }
        /"ms_per_10MB":/ { gsub(/,/, "", $2); if (name == want agg) v = $2 }
        END { if (bad || v == "") exit 1; printf "%.1f\n", v }' "$port_json"
}
on=$(port_ms port_write/journal_on) || { echo "no figure for writing with the journal" >&2; exit 1; }
off=$(port_ms port_write/journal_off) || { echo "no figure for writing without it" >&2; exit 1; }
ratio=$(calc "$on / $off" 2)
row "writing 10 MB through the port window, journal on" "$on ms" "$off ms (journal off)" \
    "$ratio×" "≤ 1.2×" "$(met "$ratio <= 1.2")"

# ---- write-back
dir=$work/wb
cp -r "$work/wb-src/." "$dir/" # warm, and the floor's targets exist as they will each run
# The write-back makes each file durable before it replaces the old one; cp does not, so the
# second floor is cp followed by a sync of the file system (cp plus durability).
cp_synced() { cp -r "$work/wb-src/." "$dir/" && sync -f "$dir"; }
sync -f "$dir"
floors=() synced=() figures=()
for ((i = 0; i < runs; i++)); do
    floor=$(seconds cp -r "$work/wb-src/." "$dir/")
    floors+=("$floor")
    sync -f "$dir"
    synced+=("$(seconds cp_synced)")
    report=$(run_bench writeback "$dir" 102400)
    figures+=("$(field seconds "$report")")
    sync -f "$dir"
done
floor=$(median "${floors[@]}")
floor_synced=$(median "${synced[@]}")
figure=$(median "${figures[@]}")
ratio=$(calc "$figure / $floor" 2)
row "write-back, $wb_files files of 100 KiB rewritten" "$(calc "$figure * 1000" 1) ms" \
    "$(calc "$floor * 1000" 1) ms (cp)" "$ratio×" "≤ 1.5×" "$(met "$ratio <= 1.5")"
row "write-back against cp + sync -f (durable)" "$(calc "$figure * 1000" 1) ms" \
    "$(calc "$floor_synced * 1000" 1) ms (cp; sync -f)" "$(calc "$figure / $floor_synced" 2)×" \
    "— (the target is against cp)" "—"

# ---- a checkpoint: the same rewrite written back while mounted, and a 100 MB file rewritten.
# How long VVFAT_Checkpoint takes, and, with the plug-in running it on its own thread while the
# machine goes on, the longest that one port access or Emulate call waited meanwhile (bound:
# 50 ms) and the longest guest read (a read of a sector not just written waits for the end).
checkpoint_row() { # label, tree, file size
    local figures=() held=() cpu=() waits=() report
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/cp" && cp -r "$2" "$work/cp"
        report=$(run_bench checkpoint "$work/cp" "$3")
        figures+=("$(field seconds "$report")")
        rm -rf "$work/cp" && cp -r "$2" "$work/cp"
        report=$(run_bench live "$work/cp" "$3")
        held+=("$(field longest_port_seconds "$report")" "$(field longest_emulate_seconds "$report")")
        cpu+=("$(field longest_port_cpu_seconds "$report")")
        waits+=("$(field longest_read_seconds "$report")")
    done
    local figure worst wait worst_cpu
    figure=$(median "${figures[@]}")
    worst=$(printf '%s\n' "${held[@]}" | sort -g | tail -1)
    worst_cpu=$(printf '%s\n' "${cpu[@]}" | sort -g | tail -1)
    wait=$(median "${waits[@]}")
    row "$1: the checkpoint" "$(calc "$figure * 1000" 1) ms" "—" "—" "—" "—"
    row "$1: longest port access or Emulate call during it (worst of $runs)" \
        "$(calc "$worst * 1000" 1) ms" "$(calc "$worst_cpu * 1000" 1) ms (its processor time)" \
        "—" "≤ 50 ms" "$(met "$worst <= 0.05")"
    row "$1: longest guest read during it" "$(calc "$wait * 1000" 1) ms" "—" "—" \
        "— (waits for the checkpoint)" "—"
}
checkpoint_row "checkpoint, $wb_files files of 100 KiB rewritten" "$work/wb-src" 102400
big_bytes=104857600 # its generated names suit the FAT reader of tessel-bench
"$bench" files "$work/big" 1 "$big_bytes" 1 >/dev/null
checkpoint_row "checkpoint, one file of $((big_bytes / 1048576)) MB rewritten" "$work/big" "$big_bytes"
rm -rf "$work/cp" "$work/big"

# ---- the alternative: a FAT image of the same 1 GiB tree
dir=$work/gib
image=$work/alt.img
image_kib=$((gib_bytes / 1024 * 11 / 10 + 65536))
make_image() {
    rm -f "$image" &&
        mkfs.fat -C -F 32 "$image" "$image_kib" >/dev/null &&
        mcopy -s -i "$image" "$dir"/* ::/
}
floors=() figures=() peaks=()
for ((i = 0; i < runs; i++)); do
    floor=$(seconds make_image)
    floors+=("$floor")
    report=$(run_bench mount "$dir")
    figures+=("$(field seconds "$report")")
done
rm -f "$image"
peak=$(/usr/bin/time -v "$bench" mount "$dir" 2>&1 >/dev/null |
    sed -n 's/.*Maximum resident set size (kbytes): //p')
floor=$(median "${floors[@]}")
figure=$(median "${figures[@]}")
ratio=$(calc "$floor / $figure" 0)
row "the alternative: mounting the $gib_files MiB tree" "$(calc "$figure * 1000" 1) ms" \
    "$(calc "$floor * 1000" 0) ms (mkfs.fat + mcopy -s)" "$ratio× faster" "≥ 20× faster" \
    "$(met "$ratio >= 20")"

# ---- the table
{
    echo "# Benchmarks"
    echo
    echo "Written by \`scripts/bench.sh\`$([ $smoke -eq 1 ] && echo " --smoke") on $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
        "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) of memory;" \
        "trees in \`${TMPDIR:-/tmp}\` ($(df -T "$work" | awk 'NR == 2 { print $2 }'))."
    echo "Release build; each figure and its floor are the median of $runs run(s), taken in the same"
    echo "run of the script. Page caches are warm for figures and floors alike (each tree is walked or"
    echo "read once before it is timed; nothing drops caches). Other work on the machine shows in"
    echo "the absolute times; the ratios compare runs made side by side. Load average (1, 5, 15"
    echo "minutes) at the start: $load_start; at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo "Source: $(git -C "$root" describe --always --dirty 2>/dev/null || echo "not a git checkout")."
    echo
    echo "| case | figure | floor | ratio | target | met? |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    echo "How each figure is taken:"
    echo
    echo "- mount: \`tessel-bench mount\` loads Tessel.addonix as the host does, creates it with the"
    echo "  tree as DIRECTORY and times \`ActivatePlugin(TRUE)\` alone; memory is the resident set"
    echo "  (/proc/self/statm) after it minus before it, descriptors likewise from /proc/self/fd. It"
    echo "  then reads the whole directory tree back through the port window and checks that every"
    echo "  object is there. Floor: \`find DIR -printf '%s %T@\\n' > /dev/null\`."
    echo "  Trees: ${mount_detail[small]}; ${mount_detail[large]}${mount_detail[huge]:+; ${mount_detail[huge]}}. One object in ten is a"
    echo "  directory; files hold 0 to 8 KiB."
    echo "- read: \`tessel-bench read\` creates the virtual disk in-process (\`VVFAT_Create\`), finds"
    echo "  each file through the FAT as a guest would, and times reading every file's clusters with"
    echo "  \`VVFAT_ReadData\` in 64 KiB requests. Floor: \`cat\` of the same files to /dev/null."
    echo "- dump and apply: \`tessel-bench dump\` loads Tessel.addonix, mounts the read tree"
    echo "  (WRITEBACK=OFF, so the tree stays as it is) and times tessel-host's own dump of the extent"
    echo "  in use through the port window (IDE commands of up to 256 sectors, the host's semaphore"
    echo "  held across each sector); then inverts every cluster of the image and times the write"
    echo "  phase of tessel-host's apply (from its first sector written to its end). Figures: bytes in"
    echo "  use in the dump, and bytes written, per second. Floor: \`cat\` of the tree."
    echo "- port window: \`port_bench\` (Google Benchmark) streams sectors with READ SECTORS through"
    echo "  \`ReadIO\` of the loaded plug-in, the host's semaphore held across the slice; the figure is"
    echo "  the time per sector (status polls, command writes and the sector fetch included) divided"
    echo "  by its 512 data-port reads. Directory medium: the files of the read tree; image medium: a"
    echo "  sparse image file."
    echo "- writing with the journal: \`port_bench\` mounts a directory medium through the plug-in"
    echo "  and writes 10 MB with WRITE SECTORS (128 sectors a command) through \`WriteIO\` onto free"
    echo "  clusters, as a guest copying a large file; mounting and unmounting are not timed. The"
    echo "  journal's thread makes the writes durable beside the guest; floor: the same with"
    echo "  JOURNAL=OFF. The port window figures above are taken with the journal on (the default):"
    echo "  a guest that only reads never makes one."
    echo "- write-back: \`tessel-bench writeback\` creates the virtual disk, rewrites every 100 KiB"
    echo "  file's clusters with new bytes and gives its entry a new stamp (\`VVFAT_WriteData\`), then"
    echo "  times \`VVFAT_Destroy\`, and checks the host file afterwards. Floor: \`cp -r\` of as many"
    echo "  files of the same size over the same names; beside it \`cp -r\` then \`sync -f\` of the"
    echo "  directory, since the write-back makes every rewritten file durable (one syncfs for"
    echo "  all the new copies) before they replace the old ones, and cp alone leaves its data in"
    echo "  the page cache."
    echo "- checkpoint: \`tessel-bench checkpoint\` makes the same rewrite, then times"
    echo "  \`VVFAT_Checkpoint\` instead of the unmount. \`tessel-bench live\` makes it through the"
    echo "  plug-in's port window with CHECKPOINT=1, then goes on as a running machine (Emulate"
    echo "  every millisecond; each round writes 8 sectors of free space, reads them back and reads"
    echo "  a sector of a file) until the checkpoint the quiet second started has ended, timing"
    echo "  every port access (a sector block counts as one, as the host holds its semaphore for"
    echo "  it) and every Emulate call, in wall-clock time and in the calling thread's processor"
    echo "  time (the difference is time spent waiting for a processor: on a loaded machine the"
    echo "  scheduler's ticks). The checkpoint runs on the drive's own thread, at a lower"
    echo "  priority than the emulation: no call"
    echo "  waits for it, and the guest's read of a sector it did not just write waits, the drive"
    echo "  busy, until it ends."
    echo "- the alternative: \`mkfs.fat -C -F 32\` of an image 10% larger than the tree plus 64 MiB,"
    echo "  then \`mcopy -s\` of the tree into it, against the mount time of the same tree. Peak"
    echo "  resident set of the whole mount process (\`/usr/bin/time -v\`): ${peak:-?} KiB."
} >"$out"
echo "== Results ($out)"
cat "$out"
