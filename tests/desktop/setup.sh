#!/usr/bin/env bash
# Sets a Debian machine up for the desktop suite's own needs: a virtual display and the tools
# that find, look at and type into its windows. The Wine it runs the tool under is set up by
# tests/wine/setup.sh, which runs this too.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../tools/prerequisites.sh
source "$here/../../tools/prerequisites.sh"

# xdotool finds windows and sends them keys; x11-utils (xwininfo, xprop) looks at them by hand
# when a desktop test fails.
dremlix_need "to show Wine's windows on a virtual display and type into them" \
    xvfb xdotool x11-utils
