// Naming a COM port's device and opening it for the tool's exclusive use.
#include "linux_platform.h"
#include "linux_port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The descriptors that hold a device's exclusive flag, by slot, or -1: kept apart from the
// objects so that a signal handler can clear the flags without reading a half-written object.
volatile sig_atomic_t ExclusiveFds[ObjectCount] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   -1, -1, -1, -1, -1, -1, -1, -1};

char OpenFailure[600];

} // namespace

void linux_release_ports() {
    for (volatile sig_atomic_t &fd : ExclusiveFds) {
        if (fd >= 0) {
            ioctl(fd, TIOCNXCL);
            fd = -1;
        }
    }
}

const char *linux_open_failure() {
    return OpenFailure;
}

bool linux_device_path(const char *port_name, char *path, unsigned size) {
    if (std::strncmp(port_name, "COM", 3) != 0) {
        return false;
    }
    char *end = nullptr;
    long number = std::strtol(port_name + 3, &end, 10);
    if (port_name[3] < '1' || port_name[3] > '9' || *end != '\0' || number > 255) {
        return false;
    }
    char variable[32];
    std::snprintf(variable, sizeof variable, "DREMLIX_%s", port_name);
    const char *mapped = std::getenv(variable);
    int written = mapped != nullptr && mapped[0] != '\0'
                      ? std::snprintf(path, size, "%s", mapped)
                      : std::snprintf(path, size, "/dev/ttyS%ld", number - 1);
    return written > 0 && static_cast<unsigned>(written) < size;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD dwShareMode, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                   HANDLE) {
    char path[512];
    OpenFailure[0] = '\0';
    if (!linux_device_path(lpFileName, path, sizeof path)) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s: not a serial port name", lpFileName);
        return INVALID_HANDLE_VALUE;
    }
    int slot = new_object(PortObject);
    if (slot < 0) {
        set_last_error(ERROR_GEN_FAILURE);
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s (%s): too many open ports", lpFileName,
                      path);
        return INVALID_HANDLE_VALUE;
    }

    const char *reason = nullptr;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        set_last_error(error_from_errno(errno));
        reason = std::strerror(errno);
    } else if (!isatty(fd)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        reason = "not a serial device";
    } else if (dwShareMode == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The lock comes before any settings change, so a second program cannot disturb the
        // line of the one that holds it; unlike TIOCEXCL it holds against root too.
        set_last_error(ERROR_SHARING_VIOLATION);
        reason = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
    }
    if (reason != nullptr) {
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s (%s): %s", lpFileName, path, reason);
        if (fd >= 0) {
            close(fd);
        }
        object_at(slot).kind = FreeSlot;
        return INVALID_HANDLE_VALUE;
    }
    if (dwShareMode == 0) {
        // A signal that ends us must not leave the device closed to everyone else.
        linux_watch_ending_signals();
        ExclusiveFds[slot] = fd;
        ioctl(fd, TIOCEXCL);
    }
    Object &port = object_at(slot);
    port.fd = fd;
    port.marks_breaks = make_raw(fd);
    return handle_of(slot);
}

void close_port_object(Object *port) {
    if (port->wait_control != nullptr) {
        finish_wait(port, 0, ERROR_OPERATION_ABORTED);
    }
    // The exclusive flag outlives our descriptor while someone else holds the device open.
    ioctl(port->fd, TIOCNXCL);
    ExclusiveFds[slot_of(port)] = -1;
    close(port->fd);
    port->kind = FreeSlot;
}
