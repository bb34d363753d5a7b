// The handle table: ports and events are slots in one fixed table, and a handle is a slot's
// number plus one, so no handle is ever NULL or INVALID_HANDLE_VALUE. Also the calls that are
// about handles rather than the line: events, closing, the last error.
#include "linux_port.h"

#include <cerrno>
#include <cstdint>

namespace {

Object Objects[ObjectCount];
DWORD LastError;

void signal_event(HANDLE event) {
    if (Object *object = find_object(event, EventObject)) {
        object->signalled = true;
    }
}

} // namespace

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
        set_last_error(ERROR_INVALID_HANDLE);
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

Object &object_at(int slot) {
    return Objects[slot];
}

int slot_of(const Object *object) {
    return static_cast<int>(object - Objects);
}

void set_last_error(DWORD error) {
    LastError = error;
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

void complete(LPOVERLAPPED control, DWORD error, DWORD transferred) {
    control->Internal = error;
    control->InternalHigh = transferred;
    signal_event(control->hEvent);
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
    close_port_object(port);
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL bInitialState, LPCSTR) {
    int slot = new_object(EventObject);
    if (slot < 0) {
        set_last_error(ERROR_GEN_FAILURE);
        return nullptr;
    }
    object_at(slot).signalled = bInitialState != FALSE;
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
