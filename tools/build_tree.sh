# Sourced by the scripts that build Dremlix for the user (the demo, the test run, the Windows
# download). A configure that failed or was interrupted leaves a tree that looks configured
# (CMakeCache.txt is there) but has no build files, and a cache that may still hold what that
# run found missing, such as a compiler installed since; building it fails for good. So each
# configure that finishes leaves a mark, and a tree without one is configured afresh.
#
#   dremlix_configured BUILD                 succeeds when BUILD's last configure finished
#   dremlix_configure SOURCE BUILD option... configures BUILD, afresh if it never finished

dremlix_configured() {
    [ -f "$1/dremlix-configured.stamp" ]
}

dremlix_configure() {
    local source=$1 build=$2
    shift 2
    if ! dremlix_configured "$build"; then
        rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    fi
    rm -f "$build/dremlix-configured.stamp"
    cmake -S "$source" -B "$build" "$@" || return 1
    touch "$build/dremlix-configured.stamp"
}
