#!/usr/bin/env bash
# Installs what Tessel needs on Debian 12, when it is missing.
#   scripts/setup.sh [example|test]
# example: building tessel-host and the plug-in, and the FAT tools the example runs;
# test (the default): everything the tests (fusefat: a host volume that folds case), the
# sanitizer builds, the fuzzer and the benchmarks need.
set -euo pipefail
packages=(cmake g++ make mtools dosfstools)
case ${1:-test} in
example) ;;
test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev time findutils faketime fusefat) ;;
*) echo "usage: scripts/setup.sh [example|test]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get update -q
    $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
