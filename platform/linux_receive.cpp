// What the line brought, in the order it came: received bytes, and breaks among them.
//
// The line discipline marks a break in the byte stream (PARMRK), and the port decodes that
// stream into a small buffer of its own: bytes that came before a break are counted, read and
// announced first, and the break is announced once they have been read. A break that came
// first is announced before anything after it.
#include "linux_port.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// With PARMRK (and neither IGNBRK nor BRKINT) the line discipline hands over a break as
// \377 \0 \0, a byte with a parity or framing error as \377 \0 and the byte, and a data
// byte \377 as \377 \377.
const unsigned char MarkByte = 0xff;

const unsigned char MarkedFault = 0x00;

const unsigned char BreakMarkEnd = 0x00;

int received_count(const Object *port) {
    return port->received_end - port->received_start;
}

void keep_received(Object *port, unsigned char byte) {
    port->received[port->received_end++] = byte;
}

// Decodes what has been read into received bytes, up to the first break not yet announced.
void decode(Object *port) {
    while (!port->break_next && port->raw_start < port->raw_end &&
           port->received_end < ReceiveSize) {
        const unsigned char *at = port->raw + port->raw_start;
        int left = port->raw_end - port->raw_start;
        if (!port->marks_breaks || at[0] != MarkByte) {
            keep_received(port, at[0]);
            port->raw_start++;
        } else if (left < 2 || (at[1] == MarkedFault && left < 3)) {
            // The rest of the mark comes with the next read.
            return;
        } else if (at[1] == MarkByte) {
            keep_received(port, MarkByte);
            port->raw_start += 2;
        } else if (at[1] != MarkedFault) {
            // No mark the line discipline makes (a byte read before the line was set up):
            // the byte is data.
            keep_received(port, MarkByte);
            port->raw_start++;
        } else if (at[2] != BreakMarkEnd) {
            // A byte with a parity or framing error is passed on as it came.
            keep_received(port, at[2]);
            port->raw_start += 3;
        } else {
            // A break (a zero byte with a parity error reads the same, and ends the tool
            // the same way). Nobody watching for breaks: the break is not data either.
            port->break_next = (port->mask & EV_BREAK) != 0;
            port->raw_start += 3;
        }
    }
}

// Moves what is still unread to the front of each buffer, making room behind it.
void compact(Object *port) {
    int raw_left = port->raw_end - port->raw_start;
    std::memmove(port->raw, port->raw + port->raw_start, static_cast<size_t>(raw_left));
    port->raw_start = 0;
    port->raw_end = raw_left;
    int received_left = received_count(port);
    std::memmove(port->received, port->received + port->received_start,
                 static_cast<size_t>(received_left));
    port->received_start = 0;
    port->received_end = received_left;
}

// Takes what the device holds, as far as there is room, and decodes it. Returns false, with
// errno set, when the device fails the read; nothing waiting is no failure.
bool take_from_line(Object *port) {
    if (port->break_next && !(port->mask & EV_BREAK)) {
        port->break_next = false;
    }
    decode(port);
    if (port->break_next) {
        // The bytes after a break wait until the break has been announced.
        return true;
    }
    compact(port);
    // Each byte read decodes to at most one received byte; what does not fit yet stays raw.
    int room = ReceiveSize - port->received_end;
    if (ReceiveSize - port->raw_end < room) {
        room = ReceiveSize - port->raw_end;
    }
    if (room == 0) {
        return true;
    }
    ssize_t got = read(port->fd, port->raw + port->raw_end, static_cast<size_t>(room));
    if (got < 0) {
        return errno == EAGAIN;
    }
    port->raw_end += static_cast<int>(got);
    decode(port);
    return true;
}

} // namespace

// The events that have happened on the line since the last wait reported them, in the order
// they happened. Received characters count for as long as they wait unread, so none can be
// forgotten; a break counts once the characters before it have been read.
DWORD events_now(Object *port) {
    take_from_line(port);
    if (received_count(port) > 0 && (port->mask & EV_RXCHAR)) {
        return EV_RXCHAR;
    }
    if (port->break_next) {
        port->break_next = false;
        return EV_BREAK;
    }
    return 0;
}

// Returns whether the line discipline now marks breaks.
bool make_raw(int fd) {
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        return false;
    }
    cfmakeraw(&line);
    // A break is marked in the byte stream, where it stands in order among the data; the
    // driver's break counter cannot say which bytes came before it.
    line.c_iflag |= PARMRK;
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &line);
    // tcsetattr succeeds when any part of the change took: ask what the line now does.
    return tcgetattr(fd, &line) == 0 && (line.c_iflag & PARMRK) &&
           !(line.c_iflag & (IGNBRK | BRKINT));
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    service_wait(port);
    // A line that fails to read has nothing more to count; what was taken before still counts.
    take_from_line(port);
    int unsent = 0;
    if (ioctl(port->fd, TIOCOUTQ, &unsent) != 0) {
        set_last_error(error_from_errno(errno));
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = 0;
    }
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        // Only what came before the next break: a read of this many never reaches past it.
        lpStat->cbInQue = static_cast<DWORD>(received_count(port));
        lpStat->cbOutQue = static_cast<DWORD>(unsent);
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    service_wait(port);
    *lpNumberOfBytesRead = 0;
    auto *buffer = static_cast<unsigned char *>(lpBuffer);
    DWORD count = 0;
    // Stops at a break: it is announced before anything after it is read. Nothing waiting is
    // an empty read, not an error: the line is non-blocking.
    while (count < nNumberOfBytesToRead) {
        if (received_count(port) == 0 && !port->break_next && !take_from_line(port) && count == 0) {
            DWORD error = error_from_errno(errno);
            set_last_error(error);
            if (lpOverlapped != nullptr) {
                complete(lpOverlapped, error, 0);
            }
            return FALSE;
        }
        DWORD part = static_cast<DWORD>(received_count(port));
        if (part == 0) {
            break;
        }
        if (part > nNumberOfBytesToRead - count) {
            part = nNumberOfBytesToRead - count;
        }
        std::memcpy(buffer + count, port->received + port->received_start, part);
        port->received_start += static_cast<int>(part);
        count += part;
    }
    *lpNumberOfBytesRead = count;
    if (lpOverlapped != nullptr) {
        complete(lpOverlapped, 0, *lpNumberOfBytesRead);
    }
    return TRUE;
}
