// The objects the Linux serial files share, and what each file offers the others; the tool
// never sees this.
#ifndef DREMLIX_LINUX_PORT_H
#define DREMLIX_LINUX_PORT_H

#include <windows.h>

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

// The handle table (linux_handles.cpp). A new object's slot, or -1 when the table is full.
int new_object(ObjectKind kind);
Object &object_at(int slot);
int slot_of(const Object *object);
HANDLE handle_of(int slot);
// The object a handle names, if it is of that kind; object_of also sets the last error when
// it is not.
Object *find_object(HANDLE handle, ObjectKind kind);
Object *object_of(HANDLE handle, ObjectKind kind);
void set_last_error(DWORD error);
DWORD error_from_errno(int err);
// Ends an overlapped operation: its status, its count, and its event signalled.
void complete(LPOVERLAPPED control, DWORD error, DWORD transferred);

// Opening and closing (linux_open.cpp).
void close_port_object(Object *port);

// What the line brought (linux_receive.cpp). make_raw returns whether the line discipline now
// marks breaks in the byte stream.
bool make_raw(int fd);
DWORD events_now(Object *port);

// Overlapped waits (linux_overlapped.cpp).
void finish_wait(Object *port, DWORD events, DWORD error);
void service_wait(Object *port);

#endif
