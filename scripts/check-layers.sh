#!/usr/bin/env bash
# Checks what each layer of the product includes: the virtual disk's concepts in order format,
# disk, writeback, journal, checkpoint (each sees those before it), and no reaching into another
# folder by a relative path. The build's include directories keep the other layers apart.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
allowed() { # folder -> the vvfat/ folders its files may include
    case $1 in
    vvfat/format) echo "format" ;;
    vvfat/disk) echo "format disk" ;;
    vvfat/writeback) echo "format disk writeback" ;;
    vvfat/journal) echo "format disk writeback journal" ;;
    *) echo "format disk writeback journal checkpoint" ;;
    esac
}
while IFS= read -r file; do
    dir=$(dirname "$file")
    while IFS= read -r inc; do
        case $inc in
        ../*)
            case $file in sdk/include/*) continue ;; esac
            echo "$file: includes \"$inc\" by a relative path out of its folder"
            status=1
            ;;
        */*)
            case $file in vvfat/*) ;; *) continue ;; esac
            top=${inc%%/*}
            if ! [[ " $(allowed "$dir") " == *" $top "* ]]; then
                echo "$file: includes \"$inc\", which its layer may not see"
                status=1
            fi
            ;;
        esac
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'addonix/*' 'ide/*' 'vvfat/*' 'host/*' 'sdk/*' 'generated/*' |
    grep -E '\.(c|cpp|h)$')
[ $status -eq 0 ] && echo "layers: every include is allowed"
exit $status
