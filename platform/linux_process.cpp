// The process-level Win32 calls: command line, message box, pauses.
#include "linux_platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The longest command line Windows hands a program, and the terminator.
char CommandLine[32768];

} // namespace

// The command line as typed: the arguments joined by single blanks.
char *GetCommandLineA(void) {
    if (CommandLine[0] != '\0') {
        return CommandLine;
    }
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    ssize_t length = 0;
    if (fd >= 0) {
        ssize_t got;
        while (length < static_cast<ssize_t>(sizeof CommandLine) - 1 &&
               (got = read(fd, CommandLine + length, sizeof CommandLine - 1 - length)) > 0) {
            length += got;
        }
        close(fd);
    }
    // The kernel ends every argument with a zero; drop the last and join the rest with blanks.
    if (length > 0 && CommandLine[length - 1] == '\0') {
        length--;
    }
    for (ssize_t i = 0; i < length; i++) {
        if (CommandLine[i] == '\0') {
            CommandLine[i] = ' ';
        }
    }
    CommandLine[length] = '\0';
    return CommandLine;
}

HWND GetActiveWindow(void) {
    return nullptr;
}

// A console program has no desktop here: the box becomes one line on standard error, followed
// by the device and the system's reason when an open has just failed.
int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
    std::fprintf(stderr, "%s: %s\n", lpCaption, lpText);
    if (linux_open_failure()[0] != '\0') {
        std::fprintf(stderr, "%s\n", linux_open_failure());
    }
    std::fflush(stderr);
    return 1;
}

void Sleep(DWORD dwMilliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += dwMilliseconds / 1000;
    until.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    // A signal that interrupts the pause does not shorten it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
