#include "sim_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What one read of the reader's output takes; the rest waits for the next read.
const std::size_t ReaderOutputChunk = 512;

// Room for "/proc/<pid>/fd" and "/proc/<pid>/comm" with any pid.
const std::size_t ProcPathSize = 64;

// Longer than any pty's path; a longer link cannot name our port.
const std::size_t LinkTargetSize = 256;

// The kernel's process names are at most 15 characters.
const std::size_t ProcessNameSize = 64;

// A pty has no real speed; it is given the rate the line is paced at, where termios has one,
// so that whoever reads the line's settings (stty, the reader) sees the line being played.
// Any other rate shows as 9600, the card reader's own.
struct NominalSpeed {
    long baud;
    speed_t speed;
};

const NominalSpeed NominalSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

speed_t nominal_speed(long baud) {
    for (const NominalSpeed &nominal : NominalSpeeds) {
        if (nominal.baud == baud) {
            return nominal.speed;
        }
    }
    return B9600;
}

// Whether the descriptor entry of a process's fd directory is our slave.
bool names_our_slave(const Port &port, DIR *fds, const char *entry) {
    char target[LinkTargetSize];
    const ssize_t length = readlinkat(dirfd(fds), entry, target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    // The same path can name another pty: a process in another devpts instance (a container
    // on this machine) sees its own /dev/pts/N. Only the inode tells them apart; the path
    // check keeps out deleted ptys whose inode number ours has taken over.
    struct stat opened {};
    return port.slave_path == target && fstatat(dirfd(fds), entry, &opened, 0) == 0 &&
           opened.st_dev == port.slave_id.st_dev && opened.st_ino == port.slave_id.st_ino;
}

bool process_has_slave_open(const Port &port, long pid) {
    char fd_dir_path[ProcPathSize];
    std::snprintf(fd_dir_path, sizeof fd_dir_path, "/proc/%ld/fd", pid);
    DIR *fds = opendir(fd_dir_path);
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent *entry = readdir(fds)) {
        if (entry->d_name[0] != '.' && names_our_slave(port, fds, entry->d_name)) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

} // namespace

bool open_port(Port &port, long baud) {
    port.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.master < 0 || grantpt(port.master) != 0 || unlockpt(port.master) != 0) {
        std::fprintf(stderr, "dremlix-sim: cannot create a pty: %s\n", std::strerror(errno));
        return false;
    }
    const char *name = ptsname(port.master);
    if (name == nullptr) {
        std::fprintf(stderr, "dremlix-sim: ptsname: %s\n", std::strerror(errno));
        return false;
    }
    port.slave_path = name;
    // Holding the slave open keeps its settings: the kernel resets a pty slave's
    // termios when its last opener closes it, and the reader must not find a cooked,
    // echoing line that it did not ask for. O_NOCTTY so a session leader (setsid)
    // never gets the port as its terminal through us.
    port.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.slave < 0) {
        std::fprintf(stderr, "dremlix-sim: cannot open %s: %s\n", name, std::strerror(errno));
        return false;
    }
    fstat(port.slave, &port.slave_id);
    termios line{};
    if (tcgetattr(port.slave, &line) == 0) {
        cfmakeraw(&line);
        cfsetspeed(&line, nominal_speed(baud));
        tcsetattr(port.slave, TCSANOW, &line);
    }
    // Writes wait for room by polling, so that a reader that stops reading never stops us
    // from watching the command.
    const int flags = fcntl(port.master, F_GETFL);
    fcntl(port.master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

// A card reader line carries nothing the other way, and output left unread could block the
// program on the port; so it is thrown away, but counted for the summary.
void discard_reader_output(Port &port) {
    char sink[ReaderOutputChunk];
    for (;;) {
        const ssize_t got = read(port.master, sink, sizeof sink);
        if (got <= 0) {
            return;
        }
        port.reader_output += got;
    }
}

long port_opener(const Port &port) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    const pid_t self = getpid();
    long found = 0;
    while (found == 0) {
        const dirent *entry = readdir(proc);
        if (entry == nullptr) {
            break;
        }
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        if (process_has_slave_open(port, pid)) {
            found = pid;
        }
    }
    closedir(proc);
    return found;
}

std::string process_name(long pid) {
    char comm_path[ProcPathSize];
    char comm[ProcessNameSize] = "?";
    std::snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", pid);
    if (FILE *file = std::fopen(comm_path, "r")) {
        if (std::fgets(comm, sizeof comm, file) != nullptr) {
            comm[std::strcspn(comm, "\n")] = '\0';
        }
        std::fclose(file);
    }
    return comm;
}

bool bytes_waiting(const Port &port, int &count) {
    return ioctl(port.slave, FIONREAD, &count) == 0;
}
