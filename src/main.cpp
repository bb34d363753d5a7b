#include "serial_link.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

// The maker's notice names the version, which the build takes from the CMake project: one
// place to change it, and no build that forgets it.
#ifndef DREMLIX_VERSION
#error "DREMLIX_VERSION must be defined to the tool's version, as CMakeLists.txt does"
#endif

char PortName[5];

// The character after the first blank of the raw command line picks the port; anything but
// '2' to '8', or no blank at all, means COM1. The line is only read, never copied, so no length
// of command line can overrun a buffer, and a long line still follows the same rule.
void select_port() {
    const char *line = GetCommandLineA();
    char selector = '\0';
    const char *blank = line != nullptr ? std::strchr(line, ' ') : nullptr;
    if (blank != nullptr) {
        selector = blank[1];
    }

    std::strcpy(PortName, "COM1");
    if (selector >= '2' && selector <= '8') {
        PortName[3] = selector;
    }
}

static void print_banner() {
    std::printf("\nReading Data From CipherLab 1023 Card Reader");
    std::printf("\nUse: Dremlix X,where X is Com port number(1-8), default = 1");
    std::printf("\nPress any key to terminate the programm.");
    std::printf("\nDremlix card reader console " DREMLIX_VERSION ", made by the Dremlix team.");
    std::printf("\nPort:%s\n", PortName);
    // The operator, or a program reading our output, learns the port before any wait begins.
    std::fflush(stdout);
}

int main(int argc, char **, char **) {
    if (argc <= 1) {
        std::strcpy(PortName, "COM1");
    } else {
        select_port();
    }
    print_banner();
    if (!open_port()) {
        return -1;
    }
    receive_loop();
    if (PortHandle != INVALID_HANDLE_VALUE) {
        close_port();
    }
    // Records were lost when the output could not be written.
    return std::ferror(stdout) ? 1 : 0;
}
