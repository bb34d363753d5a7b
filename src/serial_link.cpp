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

// Everything the loop's waits and reads hand to the driver, and what the loop remembers of
// them between passes.
//
// The wait control serves every wait and every read, so at most one operation may be running
// on it: while a wait is outstanding the loop does not read, and while a read is outstanding
// it does not wait. Otherwise a completed wait could pass for a completed read.
//
// This lives outside the loop because an operation still outstanding when the loop returns
// refers to it, and the driver may write into it until close_port has closed the port.
struct ReceiveState {
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

static ReceiveState Receiver;

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

enum OperationState { StillRunning, Completed, CompletedWithError };

// How the operation outstanding on the wait control stands. Once it has ended, *count is what
// it transferred, or 0 when it failed.
static OperationState operation_state(DWORD *count) {
    if (GetOverlappedResult(PortHandle, &Receiver.control, count, FALSE)) {
        return Completed;
    }
    *count = 0;
    return GetLastError() == ERROR_IO_INCOMPLETE ? StillRunning : CompletedWithError;
}

// Hands the framer what the last read brought, and never more than was asked for: the rest of
// the buffer holds an older chunk.
static void deliver(DWORD count) {
    if (count > Receiver.requested) {
        count = Receiver.requested;
    }
    feed_chunk(Receiver.buffer, static_cast<int>(count));
}

// Waits for the driver to report events in Receiver.events. Returns true when a key press ends
// the loop.
static bool wait_for_events() {
    if (Receiver.outstanding == NoOperation) {
        ResetEvent(Receiver.control.hEvent);
        if (WaitCommEvent(PortHandle, &Receiver.events, &Receiver.control)) {
            return false;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            Receiver.outstanding = WaitOutstanding;
        } else {
            // The driver will not wait for us (no mask took, or it is failing): after the
            // pause, look at the queue as if characters had been reported, so records are still
            // read, and no report left from an earlier wait decides instead.
            Receiver.events = EV_RXCHAR;
        }
    }
    // Nothing to report yet, or the driver refused: this pause is what keeps an idle or broken
    // line from spinning the CPU.
    if (key_pressed()) {
        return true;
    }
    Sleep(WaitPauseMs);
    if (Receiver.outstanding == WaitOutstanding) {
        DWORD unused = 0;
        if (operation_state(&unused) != StillRunning) {
            Receiver.outstanding = NoOperation;
        }
    }
    return false;
}

// The pause after a read step that returned FALSE, pending or failed. Returns true when a key
// press ends the loop.
static bool pause_after_read() {
    Sleep(ReadPauseMs);
    return key_pressed();
}

// Hands the framer what a pending read brought, once it has ended. A read that failed took
// nothing off the queue, and the driver will not announce those bytes again.
static void collect_pending_read() {
    DWORD count = 0;
    OperationState state = operation_state(&count);
    if (state == StillRunning) {
        return;
    }
    Receiver.outstanding = NoOperation;
    if (state == CompletedWithError) {
        Receiver.read_again = true;
        return;
    }
    deliver(count);
}

// Reads what the driver holds and frames it. Returns true when a key press ends the loop.
static bool read_received() {
    Receiver.requested = 0;
    if (!ClearCommError(PortHandle, &Receiver.errors, &Receiver.status)) {
        // The last count may be for bytes already read, and a read of it could wait for bytes
        // that never come: pause as for a failed read, and ask again next pass.
        Receiver.read_again = true;
        return pause_after_read();
    }
    Receiver.requested =
        Receiver.status.cbInQue < ReadBufferSize ? Receiver.status.cbInQue : ReadBufferSize;
    // A driver may hold more than the queue size we asked for (USB adapters, Wine), and it will
    // not announce what is already queued: the next pass reads the rest instead of waiting.
    Receiver.read_again = Receiver.status.cbInQue > Receiver.requested;
    ResetEvent(Receiver.control.hEvent);
    DWORD count = 0;
    if (!ReadFile(PortHandle, Receiver.buffer, Receiver.requested, &count, &Receiver.control)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            Receiver.outstanding = ReadOutstanding;
        } else {
            Receiver.read_again = true;
        }
        if (pause_after_read()) {
            return true;
        }
        if (Receiver.outstanding == ReadOutstanding) {
            collect_pending_read();
        }
        return false;
    }
    deliver(count);
    return false;
}

void receive_loop() {
    Receiver.events = 0;
    Receiver.control = OVERLAPPED{};
    Receiver.control.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Receiver.errors = 0;
    Receiver.status = COMSTAT{};
    Receiver.requested = 0;
    Receiver.outstanding = NoOperation;
    Receiver.read_again = false;
    reset_record();

    for (;;) {
        // Nobody can read our output any more (a closed pipe while SIGPIPE is ignored, a full
        // disk): holding the port would only keep it from other programs.
        if (std::ferror(stdout)) {
            return;
        }
        if (Receiver.outstanding == ReadOutstanding) {
            if (pause_after_read()) {
                return;
            }
            collect_pending_read();
            continue;
        }
        if (Receiver.read_again) {
            Receiver.read_again = false;
        } else {
            if (wait_for_events()) {
                return;
            }
            if (Receiver.outstanding == WaitOutstanding) {
                continue;
            }
            // A break wins over characters reported with it.
            if (Receiver.events & EV_BREAK) {
                return;
            }
            if (!(Receiver.events & EV_RXCHAR)) {
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
    if (Receiver.control.hEvent != nullptr) {
        CloseHandle(Receiver.control.hEvent);
        Receiver.control.hEvent = nullptr;
    }
}
