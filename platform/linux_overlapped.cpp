// Overlapped waits on one thread.
//
// A wait that cannot complete at once is remembered, and completed by whichever later call
// into this layer finds its event on the line. Nothing here blocks, so the tool's own pauses
// are its only waiting.
#include "linux_port.h"

namespace {

// Marks an overlapped operation that has not completed, as the real driver does.
const ULONG_PTR StatusPending = 0x103;

} // namespace

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
        set_last_error(ERROR_INVALID_PARAMETER);
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
    set_last_error(ERROR_IO_PENDING);
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
        set_last_error(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (lpOverlapped->Internal != 0) {
        set_last_error(static_cast<DWORD>(lpOverlapped->Internal));
        return FALSE;
    }
    return TRUE;
}
