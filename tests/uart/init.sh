#!/bin/busybox sh
# PID 1 of the emulated PC that the UART suite boots.
#
# It takes one command a line from its console (ttyS0, which is QEMU's standard input and
# output on the host) and answers with lines that start with "@@", so that the host can tell
# them from anything the kernel prints. ttyS1 is the serial line under test: COM2 for the tool,
# whose far end the host drives through QEMU.
#
#   hold | release          keep the line open, ignoring breaks, while the host sends some;
#                           answers with the driver's break count
#   start MODE [STTY...]    set the line with stty (sane, then STTY), start `dremlix 2` in the
#                           background and answer "started" once it holds the line; MODE
#                           "line" gives it no terminal, "console" gives it this console, and
#                           then waits for it to end as "finish" does, since a read of the
#                           next command here would take the key meant for the tool
#   finish TENTHS           wait that long for the tool to end; answer "ended STATUS" and its
#                           output, or "running"; after a console run, also "left" and what
#                           the tool left in the console's input
#   settings                the line's settings as stty shows them
#   counters                the driver's counters for the line (rx, brk, oe, ...)
#   off                     power off
# Anything else is answered "unknown" and the line's first word.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc

console=/dev/ttyS0
line=/dev/ttyS1
tool=
status=

say() {
    echo "@@$*"
}

# The driver's own count of breaks on the line; its status table shows it once it is not 0.
breaks() {
    count=$(sed -n 's/^1:.* brk:\([0-9]*\).*/\1/p' /proc/tty/driver/serial)
    echo "${count:-0}"
}

# A child that has exited stays a zombie until the shell collects it.
tool_alive() {
    [ -n "$tool" ] && [ -e "/proc/$tool" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$tool/status"
}

# The tool has taken the line once it has made it raw, and the console once it takes keys.
wait_until_raw() {
    tries=0
    until stty -F "$1" -a 2>/dev/null | grep -q ' -icanon'; do
        tries=$((tries + 1))
        if [ $tries -gt 300 ] || ! tool_alive; then
            return 1
        fi
        usleep 20000
    done
    # It sets the mask and enters its loop right after.
    usleep 200000
}

start() {
    mode=$1
    shift
    stty -F "$line" sane "$@"
    : >/tmp/out
    rm -f /tmp/status /tmp/left
    if [ "$mode" = console ]; then
        # As from a login shell: the shell leads the session and the tool runs in its
        # foreground. The shell then reads what the tool left in the console's input, before
        # its own exit hangs the console up and flushes it.
        # shellcheck disable=SC2016 # expanded by that shell
        setsid -c sh -c 'dremlix 2 >/tmp/out 2>&1
            echo $? >/tmp/status
            read -r -t 2 -n 1 left
            echo "$left" >/tmp/left' <"$console" &
        tool=$!
        ready=$console
    else
        setsid dremlix 2 </dev/null >/tmp/out 2>&1 &
        tool=$!
        ready=$line
    fi
    if wait_until_raw "$ready"; then
        say started
    else
        say failed the tool did not take the port
        cat /tmp/out
    fi
}

finish() {
    tenths=0
    while tool_alive && [ $tenths -lt "$1" ]; do
        usleep 100000
        tenths=$((tenths + 1))
    done
    if tool_alive; then
        say running
        return
    fi
    wait "$tool"
    status=$?
    tool=
    [ -f /tmp/status ] && status=$(cat /tmp/status)
    say ended "$status"
    sed 's/^/@@out /' /tmp/out
    # The tool's last line has no line feed of its own.
    echo
    say end of output
    if [ -f /tmp/left ]; then
        say left "$(cat /tmp/left)"
    fi
}

# Commands are typed by a program, so no echo. Two stop bits on the console (QEMU's console
# does not care) tell its register writes apart from the line's in QEMU's trace, which does
# not say which UART it is about.
stty -F "$console" -echo cstopb
say ready "$(cut -d' ' -f1 /proc/uptime)"
while read -r command arguments; do
    case "$command" in
    hold)
        exec 3<"$line"
        stty -F "$line" ignbrk
        say held "$(breaks)"
        ;;
    release)
        exec 3<&-
        say released "$(breaks)"
        ;;
    start)
        # shellcheck disable=SC2086 # the mode and stty's words, split on purpose
        set -- $arguments
        if [ "$1" = console ]; then
            start "$@"
            finish 100
        else
            start "$@"
        fi
        ;;
    finish)
        finish "$arguments"
        ;;
    counters)
        say counters "$(sed -n 's/^1: //p' /proc/tty/driver/serial)"
        ;;
    settings)
        stty -F "$line" -a 2>/dev/null | tr '\n' ' ' | sed 's/^/@@settings /'
        echo
        ;;
    off)
        say off
        reboot -f
        ;;
    '') ;;
    *)
        say unknown "$command"
        ;;
    esac
done
say console closed
reboot -f
