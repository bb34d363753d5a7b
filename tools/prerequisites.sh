# Sourced by the scripts that set a machine up for Dremlix (the demo, the test run, the
# suites that need Wine or an emulated PC). It installs only what is missing, with apt-get,
# and says what it installs and why before it does.
#
#   dremlix_need "why they are needed" package...
#
# Returns non-zero, having said what to install by hand, when the packages cannot be installed
# here (no apt-get, or neither root nor sudo).

dremlix_missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

dremlix_need() {
    local why=$1
    shift
    local missing
    mapfile -t missing < <(dremlix_missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "dremlix: needs ${missing[*]} ($why); install them as root: apt-get install ${missing[*]}" >&2
            return 1
        fi
        as_root=(sudo)
    fi
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "dremlix: needs ${missing[*]} ($why), and this machine has no apt-get to install them" >&2
        return 1
    fi
    echo "dremlix: installing ${missing[*]} ($why)" >&2
    # One package list refresh per run is enough, however many scripts need packages.
    if [ -z "${DREMLIX_APT_UPDATED:-}" ]; then
        "${as_root[@]}" apt-get update -qq || return 1
        export DREMLIX_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=900 "${missing[@]}" >/dev/null
}
