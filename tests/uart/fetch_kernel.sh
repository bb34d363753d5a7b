#!/usr/bin/env bash
# Puts Debian's own amd64 kernel, whose 8250/16550 serial driver is built in, at DIR/vmlinuz.
# It comes from the versioned package that linux-image-amd64 depends on, downloaded with
# apt-get and unpacked here: the kernel is never installed on this machine. Does nothing when
# DIR/vmlinuz is already there. On failure, prints one line saying why.
#
#   fetch_kernel.sh DIR
set -euo pipefail
dir=$1
[ -s "$dir/vmlinuz" ] && exit 0

fail() {
    echo "$*"
    exit 1
}

command -v apt-get >/dev/null 2>&1 || fail "no apt-get to download Debian's kernel package"
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1)
[ -n "$package" ] || fail "apt knows no linux-image-amd64 package (run bash tests/uart/setup.sh)"

mkdir -p "$dir"
work=$(mktemp -d "$dir/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && apt-get download -q "$package") >"$work/apt.log" 2>&1; then
    fail "apt-get download $package failed: $(grep -m 1 '^E:' "$work/apt.log" || tail -n 1 "$work/apt.log")"
fi
# Only the kernel: the package's modules are not needed, as the initramfs loads none.
dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work" --wildcards './boot/vmlinuz-*'
kernel=$(find "$work/boot" -name 'vmlinuz-*' | head -n 1)
[ -n "$kernel" ] || fail "$package holds no /boot/vmlinuz"
echo "$package" >"$dir/package"
mv "$kernel" "$dir/vmlinuz"
