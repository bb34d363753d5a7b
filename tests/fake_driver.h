// A scripted serial driver, console and process, linked into the unit tests in place of the
// real platform. A test states what the line does and when (bytes arrive, a break, a key
// press) and which calls fail or stay pending; the driver answers the tool's Win32 calls as
// Windows would, on a fake clock that only the tool's own pauses move forward.
#ifndef DREMLIX_FAKE_DRIVER_H
#define DREMLIX_FAKE_DRIVER_H

#include <windows.h>

#include <string>
#include <vector>

namespace fake {

enum class Call {
    CreateFileA,
    GetCommState,
    SetupComm,
    SetCommState,
    SetCommMask,
    CreateEventA,
    ResetEvent,
    WaitCommEvent,
    GetOverlappedResult,
    ClearCommError,
    ReadFile,
    EscapeCommFunction,
    CloseHandle,
    Sleep,
    KeyPoll,
    GetCommandLineA,
    GetActiveWindow,
    MessageBoxA,
};

// One call as the tool made it. Which fields mean something depends on the call.
struct Record {
    Call call;
    long at;       // fake time in ms
    HANDLE handle; // the handle the call was given
    // CreateFileA
    DWORD access;
    DWORD share_mode;
    DWORD disposition;
    DWORD flags;
    // SetupComm
    DWORD input_queue;
    DWORD output_queue;
    // SetCommMask
    DWORD mask;
    // CreateEventA
    BOOL manual_reset;
    BOOL initially_signalled;
    // GetOverlappedResult
    BOOL wait;
    // ClearCommError: the count it reported; ReadFile: the bytes queued when it was called
    DWORD queued;
    // ReadFile
    DWORD asked;
    DWORD got;
    // EscapeCommFunction
    DWORD function;
    // Sleep
    DWORD ms;
    // MessageBoxA
    UINT style;
    std::string text; // file name, message text
    std::string caption;
    const void *pointer; // security attributes, template, event name, owner window
    DCB dcb;             // what SetCommState was given
    BOOL result;
};

// What the next call of a kind does instead of its normal work.
enum class Twist {
    Fail,         // returns FALSE with a hard error; writes nothing
    Pending,      // returns FALSE with ERROR_IO_PENDING; completes `delay_ms` later
    Events,       // WaitCommEvent only: returns TRUE with `events`, whatever the line holds
    PendingFails, // ReadFile only: returns pending, then ends `delay_ms` later with a hard
                  // error, having taken nothing off the queue
};

// What a Windows driver reports for a port nobody has configured: 9600 8N1, binary, DTR and
// RTS raised, no flow control, the usual XON and XOFF.
DCB usual_settings();

struct Driver {
    // The line and the console, in fake time.
    void arrive(long at_ms, const std::string &bytes);
    void line_break(long at_ms);
    void key(long at_ms);

    // The next call of this kind is twisted; twists of one kind queue up in order.
    void twist(Call call, Twist twist, long delay_ms = 0, DWORD events = 0);

    // Calls of this kind fail from the `first`-th one made (counting from 1), `times` of them
    // in a row, or every one from then on with Always. A failing call returns FALSE (NULL for
    // CreateEventA) with a hard error and does none of its work, except GetCommState, which
    // scribbles over the caller's record as a failing driver may.
    static const int Always = -1;
    void fail(Call call, int first = 1, int times = 1);

    // Windows under Wine: waits with nothing to report end ERROR_OPERATION_ABORTED soon
    // after, and every read returns pending even with bytes waiting, completing soon after.
    bool wine = false;

    bool open_fails = false;
    bool comm_state_fails = false;
    DCB reported = usual_settings(); // what GetCommState reports
    std::string command_line = "dremlix";

    // Observations.
    long now = 0;
    std::vector<Record> calls;
    // Operations started on an OVERLAPPED that another operation was still using: Windows
    // would then report one's completion as the other's.
    int overlapped_misuse = 0;
    // Operations still outstanding when the port closed, and those whose wait control no
    // longer held the loop's open event then: the tool had let go of state the driver still
    // writes.
    int aborted_at_close = 0;
    int aborted_into_stale_state = 0;
    // Set when the tool made so many calls without ending that the driver pressed a key.
    bool runaway = false;

    int count(Call call) const;
    std::vector<DWORD> sleeps() const;
    std::vector<Call> sequence() const; // the calls in order, for order checks
    const Record *first(Call call) const;
};

// The driver the platform calls reach; reset() gives each test a fresh one.
Driver &driver();
void reset();

} // namespace fake

#endif
