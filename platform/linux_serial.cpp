// Serial ports and events over termios, with Win32 semantics where the tool relies on them.
//
// Everything runs on the caller's thread: an overlapped wait that cannot complete at once is
// remembered, and completed by whichever later call into this layer finds its event on the
// line. Nothing here blocks, so the tool's own pauses are its only waiting.
//
// What the line brought is reported in the order it came. The line discipline marks a break
// in the byte stream (PARMRK), and the port decodes that stream into a small buffer of its
// own: bytes that came before a break are counted, read and announced first, and the break is
// announced once they have been read. A break that came first is announced before anything
// after it.
#include "linux_platform.h"

#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Marks an overlapped operation that has not completed, as the real driver does.
const ULONG_PTR StatusPending = 0x103;

// With PARMRK (and neither IGNBRK nor BRKINT) the line discipline hands over a break as
// \377 \0 \0, a byte with a parity or framing error as \377 \0 and the byte, and a data
// byte \377 as \377 \377.
const unsigned char MarkByte = 0xff;
const unsigned char MarkedFault = 0x00;
const unsigned char BreakMarkEnd = 0x00;

// Room for what one look at the line takes from the device; more stays with the driver.
const int ReceiveSize = 512;

enum ObjectKind { FreeSlot, PortObject, EventObject };

struct Object {
    ObjectKind kind;
    // Port
    int fd;
    DWORD mask;
    DWORD input_queue;
    DWORD output_queue;
    // The line discipline marks breaks: the bytes read must be decoded.
    bool marks_breaks;
    // Read from the device, not yet decoded: at most the start of a mark cut short by the
    // end of a read, or what came after a break that has not been announced yet.
    unsigned char raw[ReceiveSize];
    int raw_start;
    int raw_end;
    // Decoded bytes for ReadFile, every one of them from before the next break.
    unsigned char received[ReceiveSize];
    int received_start;
    int received_end;
    // A break came after the received bytes, and has not been announced yet.
    bool break_next;
    LPDWORD wait_events;
    LPOVERLAPPED wait_control;
    // Event
    bool signalled;
};

const int ObjectCount = 16;
Object Objects[ObjectCount];

// The descriptors that hold a device's exclusive flag, by slot, or -1: kept apart from the
// objects so that a signal handler can clear the flags without reading a half-written object.
volatile sig_atomic_t ExclusiveFds[ObjectCount] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   -1, -1, -1, -1, -1, -1, -1, -1};
DWORD LastError;
char OpenFailure[600];

HANDLE handle_of(int slot) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(slot + 1));
}

Object *find_object(HANDLE handle, ObjectKind kind) {
    std::intptr_t slot = reinterpret_cast<std::intptr_t>(handle) - 1;
    if (slot < 0 || slot >= ObjectCount || Objects[slot].kind != kind) {
        return nullptr;
    }
    return &Objects[slot];
}

Object *object_of(HANDLE handle, ObjectKind kind) {
    Object *object = find_object(handle, kind);
    if (object == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
    }
    return object;
}

int new_object(ObjectKind kind) {
    for (int slot = 0; slot < ObjectCount; slot++) {
        if (Objects[slot].kind == FreeSlot) {
            Objects[slot] = Object{};
            Objects[slot].kind = kind;
            Objects[slot].fd = -1;
            return slot;
        }
    }
    return -1;
}

DWORD error_from_errno(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_GEN_FAILURE;
    }
}

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

void signal_event(HANDLE event) {
    if (Object *object = find_object(event, EventObject)) {
        object->signalled = true;
    }
}

void complete(LPOVERLAPPED control, DWORD error, DWORD transferred) {
    control->Internal = error;
    control->InternalHigh = transferred;
    signal_event(control->hEvent);
}

void finish_wait(Object *port, DWORD events, DWORD error) {
    *port->wait_events = events;
    complete(port->wait_control, error, sizeof(DWORD));
    port->wait_events = nullptr;
    port->wait_control = nullptr;
}

// Completes the port's outstanding wait if the line now has something to report.
void service_wait(Object *port) {
    if (port->wait_control == nullptr) {
        return;
    }
    DWORD events = events_now(port);
    if (events != 0) {
        finish_wait(port, events, 0);
    }
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

struct BaudRate {
    DWORD rate;
    speed_t speed;
};

const BaudRate BaudRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speed_of(DWORD rate, speed_t *speed) {
    for (const BaudRate &entry : BaudRates) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD rate_of(speed_t speed) {
    for (const BaudRate &entry : BaudRates) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

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
        LastError = ERROR_FILE_NOT_FOUND;
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s: not a serial port name", lpFileName);
        return INVALID_HANDLE_VALUE;
    }
    int slot = new_object(PortObject);
    if (slot < 0) {
        LastError = ERROR_GEN_FAILURE;
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s (%s): too many open ports", lpFileName,
                      path);
        return INVALID_HANDLE_VALUE;
    }

    const char *reason = nullptr;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        LastError = error_from_errno(errno);
        reason = std::strerror(errno);
    } else if (!isatty(fd)) {
        LastError = ERROR_INVALID_PARAMETER;
        reason = "not a serial device";
    } else if (dwShareMode == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The lock comes before any settings change, so a second program cannot disturb the
        // line of the one that holds it; unlike TIOCEXCL it holds against root too.
        LastError = ERROR_SHARING_VIOLATION;
        reason = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
    }
    if (reason != nullptr) {
        std::snprintf(OpenFailure, sizeof OpenFailure, "%s (%s): %s", lpFileName, path, reason);
        if (fd >= 0) {
            close(fd);
        }
        Objects[slot].kind = FreeSlot;
        return INVALID_HANDLE_VALUE;
    }
    if (dwShareMode == 0) {
        // A signal that ends us must not leave the device closed to everyone else.
        linux_watch_ending_signals();
        ExclusiveFds[slot] = fd;
        ioctl(fd, TIOCEXCL);
    }
    Object &port = Objects[slot];
    port.fd = fd;
    port.marks_breaks = make_raw(fd);
    return handle_of(slot);
}

BOOL CloseHandle(HANDLE hObject) {
    if (Object *event = find_object(hObject, EventObject)) {
        event->kind = FreeSlot;
        return TRUE;
    }
    Object *port = object_of(hObject, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    if (port->wait_control != nullptr) {
        finish_wait(port, 0, ERROR_OPERATION_ABORTED);
    }
    // The exclusive flag outlives our descriptor while someone else holds the device open.
    ioctl(port->fd, TIOCNXCL);
    ExclusiveFds[port - Objects] = -1;
    close(port->fd);
    port->kind = FreeSlot;
    return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    Object *port = object_of(hFile, PortObject);
    termios line{};
    if (port == nullptr || tcgetattr(port->fd, &line) != 0) {
        if (port != nullptr) {
            LastError = error_from_errno(errno);
        }
        return FALSE;
    }
    DWORD length = lpDCB->DCBlength;
    *lpDCB = DCB{};
    lpDCB->DCBlength = length;
    lpDCB->BaudRate = rate_of(cfgetospeed(&line));
    lpDCB->fBinary = TRUE;
    lpDCB->fParity = (line.c_iflag & INPCK) != 0;
    lpDCB->fOutxCtsFlow = (line.c_cflag & CRTSCTS) != 0;
    lpDCB->fRtsControl = (line.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    lpDCB->fDtrControl = DTR_CONTROL_ENABLE;
    lpDCB->fOutX = (line.c_iflag & IXON) != 0;
    lpDCB->fInX = (line.c_iflag & IXOFF) != 0;
    switch (line.c_cflag & CSIZE) {
    case CS5:
        lpDCB->ByteSize = 5;
        break;
    case CS6:
        lpDCB->ByteSize = 6;
        break;
    case CS7:
        lpDCB->ByteSize = 7;
        break;
    default:
        lpDCB->ByteSize = 8;
        break;
    }
    if (!(line.c_cflag & PARENB)) {
        lpDCB->Parity = NOPARITY;
    } else if (line.c_cflag & CMSPAR) {
        lpDCB->Parity = (line.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        lpDCB->Parity = (line.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    lpDCB->StopBits = (line.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    lpDCB->XonChar = static_cast<char>(line.c_cc[VSTART]);
    lpDCB->XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    Object *port = object_of(hFile, PortObject);
    termios line{};
    if (port == nullptr || tcgetattr(port->fd, &line) != 0) {
        return FALSE;
    }
    speed_t speed;
    tcflag_t size;
    switch (lpDCB->ByteSize) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    // As on Windows, XON equal to XOFF makes the whole record invalid, flow control or not.
    if (!speed_of(lpDCB->BaudRate, &speed) || lpDCB->Parity > SPACEPARITY ||
        lpDCB->StopBits > TWOSTOPBITS || lpDCB->XonChar == lpDCB->XoffChar) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    line.c_cflag |= size;
    if (lpDCB->Parity != NOPARITY) {
        line.c_cflag |= PARENB;
    }
    if (lpDCB->Parity == ODDPARITY || lpDCB->Parity == MARKPARITY) {
        line.c_cflag |= PARODD;
    }
    if (lpDCB->Parity == MARKPARITY || lpDCB->Parity == SPACEPARITY) {
        line.c_cflag |= CMSPAR;
    }
    if (lpDCB->StopBits != ONESTOPBIT) {
        line.c_cflag |= CSTOPB;
    }
    if (lpDCB->fOutxCtsFlow || lpDCB->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        line.c_cflag |= CRTSCTS;
    }
    line.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (lpDCB->fOutX) {
        line.c_iflag |= IXON;
    }
    if (lpDCB->fInX) {
        line.c_iflag |= IXOFF;
    }
    if (lpDCB->fParity) {
        line.c_iflag |= INPCK;
    }
    if (tcsetattr(port->fd, TCSANOW, &line) != 0) {
        LastError = error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    // The kernel sizes its own tty buffers; the request is kept only to be reported.
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    port->input_queue = dwInQueue;
    port->output_queue = dwOutQueue;
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    // A new mask ends an outstanding wait with no events.
    if (port->wait_control != nullptr) {
        finish_wait(port, 0, 0);
    }
    port->mask = dwEvtMask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    service_wait(port);
    if (port->wait_control != nullptr || lpOverlapped == nullptr) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD events = events_now(port);
    if (events != 0) {
        *lpEvtMask = events;
        complete(lpOverlapped, 0, sizeof(DWORD));
        return TRUE;
    }
    port->wait_events = lpEvtMask;
    port->wait_control = lpOverlapped;
    lpOverlapped->Internal = StatusPending;
    LastError = ERROR_IO_PENDING;
    return FALSE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    service_wait(port);
    while (bWait && lpOverlapped->Internal == StatusPending) {
        Sleep(10);
        service_wait(port);
    }
    if (lpOverlapped->Internal == StatusPending) {
        LastError = ERROR_IO_INCOMPLETE;
        return FALSE;
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (lpOverlapped->Internal != 0) {
        LastError = static_cast<DWORD>(lpOverlapped->Internal);
        return FALSE;
    }
    return TRUE;
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
        LastError = error_from_errno(errno);
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
            LastError = error_from_errno(errno);
            if (lpOverlapped != nullptr) {
                complete(lpOverlapped, LastError, 0);
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

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    int request;
    if (dwFunc == SETBREAK) {
        request = TIOCSBRK;
    } else if (dwFunc == CLRBREAK) {
        request = TIOCCBRK;
    } else {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (ioctl(port->fd, request) != 0) {
        LastError = error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL bInitialState, LPCSTR) {
    int slot = new_object(EventObject);
    if (slot < 0) {
        LastError = ERROR_GEN_FAILURE;
        return nullptr;
    }
    Objects[slot].signalled = bInitialState != FALSE;
    return handle_of(slot);
}

BOOL ResetEvent(HANDLE hEvent) {
    Object *event = object_of(hEvent, EventObject);
    if (event == nullptr) {
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}

DWORD GetLastError(void) {
    return LastError;
}
