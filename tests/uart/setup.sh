#!/usr/bin/env bash
# Sets a machine up for the UART suite (tests/uart): QEMU to emulate a PC, busybox-static and
# cpio for the PC's initramfs, and apt's package lists, from which the build's configure step
# downloads Debian's kernel into the build tree. Installs only what is missing; safe to run
# again.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../tools/prerequisites.sh
source "$root/tools/prerequisites.sh"

dremlix_need "to test the Linux program against a real serial driver in an emulated PC" \
    qemu-system-x86 busybox-static cpio

# The kernel package is only downloaded, never installed; its name has to be known to apt.
if ! apt-cache depends linux-image-amd64 2>/dev/null | grep -q 'Depends: linux-image-'; then
    echo "dremlix: updating apt's package lists (to find Debian's kernel package)" >&2
    dremlix_refresh_lists
fi
