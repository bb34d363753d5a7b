# shellcheck shell=bash
# Sourced by the scripts that set a machine up for Dremlix (the demo, the test run, the
# suites that need Wine or an emulated PC). It installs only what is missing, with apt-get,
# and says what it installs and why before it does.
#
#   dremlix_need "why they are needed" package...
#
# Returns non-zero, having said what to install by hand, when the packages cannot be installed
# here (neither root nor a sudo that may be used, or apt-get failed). On a machine without
# dpkg it cannot tell what is missing: it names the packages and lets the caller go on.

dremlix_missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

# Runs a command as root: directly when we are root, else through sudo. Without a terminal
# (CI, a service) nobody can type a password, so sudo must fail at once rather than wait.
dremlix_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif ! command -v sudo >/dev/null 2>&1; then
        echo "dremlix: needs root, and there is no sudo, for: $*" >&2
        return 1
    elif { : </dev/tty; } 2>/dev/null; then
        sudo "$@"
    else
        sudo -n "$@"
    fi
}

# Refreshes apt's package lists, once per run however many scripts ask.
dremlix_refresh_lists() {
    [ -n "${DREMLIX_APT_UPDATED:-}" ] && return 0
    # Other installs may be under way (another script, unattended upgrades): wait for dpkg's
    # lock instead of failing on it.
    dremlix_as_root apt-get -o DPkg::Lock::Timeout=900 update -qq || return 1
    export DREMLIX_APT_UPDATED=1
}

dremlix_need() {
    local why=$1
    shift
    if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
        echo "dremlix: not a Debian-like machine; make sure these, or what stands for them," \
            "are installed ($why): $*" >&2
        return 0
    fi
    local missing
    mapfile -t missing < <(dremlix_missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null 2>&1; then
        echo "dremlix: needs ${missing[*]} ($why); install them as root:" \
            "apt-get install ${missing[*]}" >&2
        return 1
    fi
    echo "dremlix: installing ${missing[*]} ($why)" >&2
    if ! dremlix_refresh_lists; then
        echo "dremlix: apt-get update failed; install by hand:" \
            "apt-get install ${missing[*]}" >&2
        return 1
    fi
    # Through env, as sudo would drop the variable; no package may stop to ask a question.
    if ! dremlix_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}" >/dev/null; then
        echo "dremlix: could not install ${missing[*]} ($why); install them by hand:" \
            "apt-get install ${missing[*]}" >&2
        return 1
    fi
}
