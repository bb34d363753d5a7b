#include "serial_link.h"

#include "record_framer.h"

#include <conio.h>
#include <cstdio>

HANDLE PortHandle = INVALID_HANDLE_VALUE;

const DWORD LineBaudRate = 9600;
const DWORD DriverQueueSize = 256;
const DWORD WatchedEvents = EV_RXCHAR | EV_BREAK;
// The usual DC1 and DC3.
const char XonCharacter = 0x11;
const char XoffCharacter = 0x13;

// Idle, the loop wakes ten times a second: quick enough for an operator, cheap for the CPU.
const DWORD WaitPauseMs = 100;
const DWORD ReadPauseMs = 50;

// One read never takes more than the driver's queue holds.
const DWORD ReadBufferSize = DriverQueueSize;

enum Outstanding { NoOperation, WaitOutstanding, ReadOutstanding };

// The wait control serves every wait and every read, so at most one operation may be running
// on it: while a wait is outstanding the loop does not read, and while a read is outstanding
// it does not wait. Otherwise a completed wait could pass for a completed read.
//
// This lives outside the loop because an operation still outstanding when the loop returns
// refers to it, and the driver may write into it until close_port has closed the port.
struct WaitState {
    DWORD events;
    OVERLAPPED control;
    DWORD errors;
    COMSTAT status;
    char buffer[ReadBufferSize];
    DWORD requested;
    Outstanding outstanding;
    // Bytes that a read step left queued (it failed, or the queue held more than one read
    // takes) are not announced again by the driver, so the next pass reads instead of waiting.
    bool read_again;
};

static WaitState Link;

// Nothing was reported to keep, so the line gets what Windows gives a port it opens: a binary
// line without flow control, DTR and RTS raised for the reader, and distinct XON and XOFF
// characters, without which SetCommState refuses the whole record and 9600 8N1 never reaches
// the line.
static void use_fallback_settings(DCB *settings) {
    *settings = DCB{};
    settings->DCBlength = sizeof *settings;
    settings->fBinary = TRUE;
    settings->fDtrControl = DTR_CONTROL_ENABLE;
    settings->fRtsControl = RTS_CONTROL_ENABLE;
    settings->XonChar = XonCharacter;
    settings->XoffChar = XoffCharacter;
}

int open_port() {
    PortHandle = CreateFileA(PortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (PortHandle == INVALID_HANDLE_VALUE) {
        MessageBoxA(GetActiveWindow(), "Unable to open COM port!", "Error!", MB_OK);
        return 0;
    }

    DCB settings = {};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(PortHandle, &settings)) {
        use_fallback_settings(&settings);
    }
    SetupComm(PortHandle, DriverQueueSize, DriverQueueSize);
    settings.BaudRate = LineBaudRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    SetCommState(PortHandle, &settings);
    SetCommMask(PortHandle, WatchedEvents);
    return 1;
}

static bool key_pressed() {
    return _kbhit() != 0;
}

enum OperationEnd { StillRunning, Succeeded, Failed };

// How the operation outstanding on the wait control stands. Once it has ended, *count is what
// it transferred, or 0 when it failed.
static OperationEnd operation_end(DWORD *count) {
    if (GetOverlappedResult(PortHandle, &Link.control, count, FALSE)) {
        return Succeeded;
    }
    *count = 0;
    return GetLastError() == ERROR_IO_INCOMPLETE ? StillRunning : Failed;
}

// Hands the framer what the last read brought, and never more than was asked for: the rest of
// the buffer holds an older chunk.
static void deliver(DWORD count) {
    if (count > Link.requested) {
        count = Link.requested;
    }
    feed_chunk(Link.buffer, static_cast<int>(count));
}

// Waits for the driver to report events in Link.events. Returns true when a key press ends
// the loop.
static bool wait_for_events() {
    if (Link.outstanding == NoOperation) {
        ResetEvent(Link.control.hEvent);
        if (WaitCommEvent(PortHandle, &Link.events, &Link.control)) {
            return false;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            Link.outstanding = WaitOutstanding;
        } else {
            // The driver will not wait for us (no mask took, or it is failing): after the
            // pause, look at the queue as if characters had been reported, so records are still
            // read, and no report left from an earlier wait decides instead.
            Link.events = EV_RXCHAR;
        }
    }
    // Nothing to report yet, or the driver refused: this pause is what keeps an idle or broken
    // line from spinning the CPU.
    if (key_pressed()) {
        return true;
    }
    Sleep(WaitPauseMs);
    if (Link.outstanding == WaitOutstanding) {
        DWORD unused = 0;
        if (operation_end(&unused) != StillRunning) {
            Link.outstanding = NoOperation;
        }
    }
    return false;
}

// Pauses after a read that did not complete at once, then hands over only what has arrived.
// Returns true when a key press ends the loop.
static bool finish_read() {
    Sleep(ReadPauseMs);
    if (key_pressed()) {
        return true;
    }
    DWORD count = 0;
    if (Link.outstanding == ReadOutstanding) {
        OperationEnd end = operation_end(&count);
        if (end == StillRunning) {
            return false;
        }
        Link.outstanding = NoOperation;
        // A read that ended in failure took nothing off the queue, and the driver will not
        // announce those bytes again.
        if (end == Failed) {
            Link.read_again = true;
        }
    }
    deliver(count);
    return false;
}

// Reads what the driver holds and frames it. Returns true when a key press ends the loop.
static bool read_received() {
    Link.requested = 0;
    if (!ClearCommError(PortHandle, &Link.errors, &Link.status)) {
        // The last count may be for bytes already read, and a read of it could wait for bytes
        // that never come: pause as for a failed read, and ask again next pass.
        Link.read_again = true;
        return finish_read();
    }
    Link.requested = Link.status.cbInQue < ReadBufferSize ? Link.status.cbInQue : ReadBufferSize;
    // A driver may hold more than the queue size we asked for (USB adapters, Wine), and it will
    // not announce what is already queued: the next pass reads the rest instead of waiting.
    Link.read_again = Link.status.cbInQue > Link.requested;
    ResetEvent(Link.control.hEvent);
    DWORD count = 0;
    if (!ReadFile(PortHandle, Link.buffer, Link.requested, &count, &Link.control)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            Link.outstanding = ReadOutstanding;
        } else {
            Link.read_again = true;
        }
        return finish_read();
    }
    deliver(count);
    return false;
}

void receive_loop() {
    Link.events = 0;
    Link.control = OVERLAPPED{};
    Link.control.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Link.errors = 0;
    Link.status = COMSTAT{};
    Link.requested = 0;
    Link.outstanding = NoOperation;
    Link.read_again = false;
    reset_record();

    for (;;) {
        // Nobody can read our output any more (a closed pipe while SIGPIPE is ignored, a full
        // disk): holding the port would only keep it from other programs.
        if (std::ferror(stdout)) {
            return;
        }
        if (Link.outstanding == ReadOutstanding) {
            if (finish_read()) {
                return;
            }
            continue;
        }
        if (Link.read_again) {
            Link.read_again = false;
        } else {
            if (wait_for_events()) {
                return;
            }
            if (Link.outstanding == WaitOutstanding) {
                continue;
            }
            // A break wins over characters reported with it.
            if (Link.events & EV_BREAK) {
                return;
            }
            if (!(Link.events & EV_RXCHAR)) {
                continue;
            }
        }
        if (read_received()) {
            return;
        }
    }
}

void close_port() {
    EscapeCommFunction(PortHandle, SETBREAK);
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
    // Closing the port ended any wait or read still outstanding, so nothing uses the event now.
    if (Link.control.hEvent != nullptr) {
        CloseHandle(Link.control.hEvent);
        Link.control.hEvent = nullptr;
    }
}
