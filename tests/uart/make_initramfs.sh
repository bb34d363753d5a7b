#!/usr/bin/env bash
# Packs the emulated PC's whole root file system into an initramfs: busybox, the statically
# linked tool and the /init that runs the suite's commands.
#
#   make_initramfs.sh OUTPUT BUSYBOX TOOL INIT
set -euo pipefail
output=$1
busybox=$2
tool=$3
init=$4

# The guest has no C library: a dynamically linked busybox would not even start as /init.
if grep -q '/lib64/ld-linux' "$busybox"; then
    echo "make_initramfs.sh: $busybox is dynamically linked; the static one is in busybox-static" >&2
    exit 1
fi

root=$(mktemp -d "${output}.root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/tmp"
cp "$busybox" "$root/bin/busybox"
cp "$tool" "$root/bin/dremlix"
cp "$init" "$root/init"
chmod 755 "$root/init" "$root/bin/busybox" "$root/bin/dremlix"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet --owner=0:0) >"$output.tmp"
mv "$output.tmp" "$output"
