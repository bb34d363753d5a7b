#!/usr/bin/env bash
# Sets a Debian bookworm machine up for the Wine and desktop suites, from fresh:
#
#   - the MinGW cross compilers for both Windows programs, and Wine (wine64 for the 64-bit one);
#   - the shipped 32-bit program's route: i386 packages (wine32:i386), a QEMU user-mode
#     emulator recent enough to start 32-bit Wine, and the kernel's binfmt_misc told to hand
#     i386 executables to it (these kernels cannot run 32-bit x86 code themselves);
#   - for the desktop suite, a virtual display and the tools that type into its windows
#     (tests/desktop/setup.sh).
#
# It does only what is missing, so a second run takes about a second. Each part that fails
# says why and leaves the machine as it was; the suites that need that part then show in
# ctest's summary as not run, with the reason. It exits non-zero only when asked to with
# --strict and a part failed.
#
#   bash tests/wine/setup.sh [--strict]
#
# DREMLIX_QEMU_DIR (default /opt/dremlix/qemu-user) is where the emulator is unpacked.
# The set-up steps are reached through run_part, which shellcheck does not follow.
# shellcheck disable=SC2317
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../tools/prerequisites.sh
source "$here/../../tools/prerequisites.sh"

strict=0
[ "${1:-}" = "--strict" ] && strict=1

qemu_dir=${DREMLIX_QEMU_DIR:-/opt/dremlix/qemu-user}
qemu=$qemu_dir/usr/bin/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
# Bookworm's own qemu-user-static (7.2) treats MAP_FIXED_NOREPLACE as a hint; 32-bit Wine then
# probes the whole address space in 64 KiB steps and never finishes starting.
qemu_least_major=8

failed=()

say() {
    echo "wine setup: $*" >&2
}

qemu_major() {
    local version
    version=$("$1" --version 2>/dev/null |
        sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p') || true
    echo "${version:-0}"
}

setup_compilers_and_wine() {
    dremlix_need "to build the Windows programs and run the 64-bit one under Wine" \
        g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
}

setup_display() {
    bash "$here/../desktop/setup.sh"
}

# 32-bit Wine. Adding the architecture brings the machine's amd64 libraries (libc6 among them)
# up to the versions that match their i386 twins.
setup_wine32() {
    local added=0
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "adding the i386 architecture (for wine32:i386, which runs the 32-bit program)"
        dremlix_as_root dpkg --add-architecture i386 || return 1
        added=1
        unset DREMLIX_APT_UPDATED
    fi
    if dremlix_need "to run the shipped 32-bit program under 32-bit Wine" wine32:i386; then
        return 0
    fi
    # Leave no half-added architecture behind: apt would fetch i386 lists for nothing on every
    # update. The removal is refused, harmlessly, once an i386 package is installed.
    if [ "$added" = 1 ]; then
        dremlix_as_root dpkg --remove-architecture i386 2>/dev/null || true
    fi
    return 1
}

# The archive the machine's own sources name for bookworm, so that the emulator comes from
# the same mirror (and through the same proxy settings) as everything else.
debian_archive() {
    local uri
    # shellcheck disable=SC2016 # apt's own $(FIELD) syntax, not the shell's
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' \
        2>/dev/null | awk '$2 == "bookworm" { print $1; exit }')
    echo "${uri:-http://deb.debian.org/debian/}"
}

# qemu-user from bookworm-backports, fetched and unpacked beside the machine's packages rather
# than installed: a private apt configuration (its own sources, lists and cache) keeps the
# machine's sources and its installed QEMU as they are. From version 9 on Debian links the
# emulators statically, so the unpacked binary needs nothing else.
setup_qemu() {
    if [ -x "$qemu" ] && [ "$(qemu_major "$qemu")" -ge "$qemu_least_major" ]; then
        return 0
    fi
    local work status=0
    work=$(mktemp -d)
    fetch_qemu "$work" || status=$?
    rm -rf "$work"
    return "$status"
}

fetch_qemu() {
    local work=$1
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    echo "deb [signed-by=$keyring] $(debian_archive) bookworm-backports main" >"$work/sources.list"
    local apt_private=(-o "Dir::Etc::SourceList=$work/sources.list"
        -o "Dir::Etc::SourceParts=$work/parts" -o "Dir::State::Lists=$work/lists"
        -o "Dir::Cache=$work/cache" -o "APT::Architectures=amd64" -o "Acquire::Languages=none")
    # Its private directories are not the sandbox user's to write.
    [ "$(id -u)" -eq 0 ] && apt_private+=(-o "APT::Sandbox::User=root")
    say "fetching qemu-user from bookworm-backports into $qemu_dir" \
        "(QEMU $qemu_least_major or later starts 32-bit Wine)"
    apt-get "${apt_private[@]}" update -qq || return 1
    (cd "$work" && apt-get "${apt_private[@]}" download -qq qemu-user/bookworm-backports) ||
        return 1
    local deb
    deb=$(ls "$work"/qemu-user_*.deb) || return 1
    dpkg -x "$deb" "$work/unpacked" || return 1
    if [ "$(qemu_major "$work/unpacked/usr/bin/qemu-i386")" -lt "$qemu_least_major" ]; then
        say "the unpacked qemu-i386 is older than $qemu_least_major or does not start"
        return 1
    fi
    # Only the one emulator (and its licence) is kept: the package holds some 360 MB of others.
    local keep
    dremlix_as_root rm -rf "$qemu_dir.new" || return 1
    for keep in usr/bin/qemu-i386 usr/share/doc/qemu-user/copyright; do
        dremlix_as_root mkdir -p "$(dirname "$qemu_dir.new/$keep")" || return 1
        dremlix_as_root cp -p "$work/unpacked/$keep" "$qemu_dir.new/$keep" || return 1
    done
    dremlix_as_root rm -rf "$qemu_dir" && dremlix_as_root mv "$qemu_dir.new" "$qemu_dir"
}

# i386 ELF executables (and shared objects run as programs) to qemu-i386. The F flag opens
# the emulator now, so it is found from any directory and any mount namespace later.
setup_binfmt() {
    if [ ! -e "$binfmt/register" ]; then
        dremlix_as_root mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
    fi
    local entry=$binfmt/qemu-i386
    if [ -e "$entry" ]; then
        local interpreter
        interpreter=$(sed -n 's/^interpreter //p' "$entry")
        if grep -qx enabled "$entry" && grep -q '^flags:.*F' "$entry" &&
            [ "$(qemu_major "$interpreter")" -ge "$qemu_least_major" ]; then
            return 0
        fi
        say "replacing the binfmt_misc entry qemu-i386" \
            "($interpreter: too old, disabled or without F)"
        echo -1 | dremlix_as_root tee "$entry" >/dev/null || return 1
    fi
    # ELF, 32-bit, little-endian, version 1; an executable or a shared object; machine 386.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    say "registering $qemu for i386 executables with binfmt_misc"
    echo ":qemu-i386:M::$magic:$mask:$qemu:F" | dremlix_as_root tee "$binfmt/register" >/dev/null
}

run_part() {
    local name=$1
    shift
    if ! "$@"; then
        say "could not set up $name; the suites that need it will show as not run"
        failed+=("$name")
    fi
}

run_part "the cross compilers and Wine" setup_compilers_and_wine
run_part "the virtual display" setup_display
run_part "32-bit Wine" setup_wine32
run_part "the QEMU user-mode emulator" setup_qemu
if [ -x "$qemu" ]; then
    run_part "binfmt_misc for i386 programs" setup_binfmt
fi

if [ "${#failed[@]}" -gt 0 ]; then
    say "not set up: ${failed[*]}"
    [ "$strict" = 1 ] && exit 1
fi
exit 0
