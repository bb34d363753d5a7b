#!/bin/sh
# under_valgrind.sh SUITE LOG_DIR: runs SUITE with the tool under memcheck, then fails on
# anything memcheck logged. Valgrind's notes go to the logs so the tool's stderr stays its own.
suite=$1
logs=$2
rm -rf "$logs" && mkdir -p "$logs" || exit 1
DREMLIX_TOOL_WRAPPER="valgrind --error-exitcode=99 -q --leak-check=full \
--errors-for-leak-kinds=definite --log-file=$logs/%p.log" "$suite" || exit 1
if ! ls "$logs"/*.log >/dev/null 2>&1; then
    echo "the tool never ran under valgrind"
    exit 1
fi
# Valgrind's notes about terminal ioctls it has no description of are not errors.
if grep -v -e 'unhandled ioctl' -e 'spurious value errors' -e 'README_MISSING_SYSCALL' \
        "$logs"/*.log; then
    echo "memcheck reported the above; logs in $logs"
    exit 1
fi
echo "memcheck: no errors in $(ls "$logs"/*.log | wc -l) runs of the tool"
