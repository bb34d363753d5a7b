#include "fake_driver.h"

#include <conio.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace fake {

namespace {

const ULONG_PTR StatusPending = 0x103;
const long RunawayCalls = 200000;
const long WineDelayMs = 5;

HANDLE const PortHandleValue = reinterpret_cast<HANDLE>(0x100);
HANDLE const EventHandleValue = reinterpret_cast<HANDLE>(0x200);
HWND const ActiveWindow = reinterpret_cast<HWND>(0x300);

struct Happening {
    long at;
    enum { Bytes, Break, Key } kind;
    std::string bytes;
};

struct TwistEntry {
    Twist twist;
    long delay_ms;
    DWORD events;
};

struct FailurePlan {
    int first;
    int times;
};

struct Pending {
    LPOVERLAPPED control = nullptr;
    long complete_at = -1; // when a read or Wine's aborted wait ends; -1: when the line says
    LPDWORD events = nullptr;
    char *buffer = nullptr;
    DWORD wanted = 0;
    bool fails = false; // a read that ends in a hard error
};

struct State {
    Driver driver;
    std::vector<Happening> timeline; // sorted by time, stable
    std::map<Call, std::deque<TwistEntry>> twists;
    std::map<Call, std::vector<FailurePlan>> failures;
    std::map<Call, int> made; // calls of each kind so far
    std::string queue;
    DWORD history = 0;
    DWORD mask = 0;
    int keys = 0;
    bool port_open = false;
    bool event_open = false;
    Pending wait;
    Pending read;
    DWORD last_error = 0;
    std::string command_line;
    long calls_made = 0;
    bool started = false;
    std::size_t applied = 0; // happenings already on the line
};

State *Current = new State;

void advance(long until);

Record &log(Call call, HANDLE handle = nullptr) {
    if (!Current->started) {
        // Happenings stamped at time 0 are on the line before the tool's first call.
        Current->started = true;
        advance(0);
    }
    Current->calls_made++;
    Record record{};
    record.call = call;
    record.at = Current->driver.now;
    record.handle = handle;
    Current->driver.calls.push_back(record);
    return Current->driver.calls.back();
}

bool take_twist(Call call, TwistEntry *entry) {
    auto found = Current->twists.find(call);
    if (found == Current->twists.end() || found->second.empty()) {
        return false;
    }
    *entry = found->second.front();
    found->second.pop_front();
    return true;
}

void complete(LPOVERLAPPED control, DWORD error, DWORD transferred) {
    control->Internal = error;
    control->InternalHigh = transferred;
}

void finish_wait(DWORD events, DWORD error) {
    *Current->wait.events = events;
    complete(Current->wait.control, error, sizeof(DWORD));
    Current->wait = Pending{};
}

void finish_read() {
    Pending &read = Current->read;
    if (read.fails) {
        complete(read.control, ERROR_GEN_FAILURE, 0);
        Current->read = Pending{};
        return;
    }
    DWORD got = static_cast<DWORD>(std::min<std::size_t>(read.wanted, Current->queue.size()));
    std::memcpy(read.buffer, Current->queue.data(), got);
    Current->queue.erase(0, got);
    complete(read.control, 0, got);
    Current->read = Pending{};
}

void service_wait() {
    if (Current->wait.control != nullptr && (Current->history & Current->mask) != 0) {
        DWORD events = Current->history & Current->mask;
        Current->history = 0;
        finish_wait(events, 0);
    }
}

void apply(const Happening &happening) {
    switch (happening.kind) {
    case Happening::Bytes:
        Current->queue += happening.bytes;
        Current->history |= EV_RXCHAR;
        break;
    case Happening::Break:
        Current->history |= EV_BREAK;
        break;
    case Happening::Key:
        Current->keys++;
        break;
    }
    service_wait();
}

// Moves the line forward to `until`, completing outstanding operations at the moments they
// would complete, as the real driver does while the tool sleeps.
void advance(long until) {
    for (;;) {
        long next = until + 1;
        const Happening *happening = nullptr;
        if (Current->applied < Current->timeline.size() &&
            Current->timeline[Current->applied].at <= until) {
            happening = &Current->timeline[Current->applied];
            next = happening->at;
        }
        Pending *timed = nullptr;
        for (Pending *pending : {&Current->read, &Current->wait}) {
            if (pending->control != nullptr && pending->complete_at >= 0 &&
                pending->complete_at <= until && pending->complete_at < next) {
                timed = pending;
                next = pending->complete_at;
            }
        }
        if (happening == nullptr && timed == nullptr) {
            Current->driver.now = until;
            return;
        }
        Current->driver.now = std::max(Current->driver.now, next);
        if (timed == &Current->read) {
            finish_read();
        } else if (timed != nullptr) {
            finish_wait(0, ERROR_OPERATION_ABORTED);
        } else {
            Current->applied++;
            apply(*happening);
        }
    }
}

bool runaway() {
    if (Current->calls_made > RunawayCalls) {
        Current->driver.runaway = true;
        return true;
    }
    return false;
}

void uses_control(LPOVERLAPPED control) {
    if ((Current->wait.control == control && control != nullptr) ||
        (Current->read.control == control && control != nullptr)) {
        Current->driver.overlapped_misuse++;
    }
}

BOOL fail_with(DWORD error) {
    Current->last_error = error;
    return FALSE;
}

// Counts this call of its kind and tells whether a failure plan covers it.
bool planned_failure(Call call) {
    int number = ++Current->made[call];
    for (const FailurePlan &plan : Current->failures[call]) {
        if (number >= plan.first &&
            (plan.times == Driver::Always || number < plan.first + plan.times)) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace {

// Happenings are kept in time order; those at the same moment keep the order they were given.
void schedule(const Happening &happening) {
    auto later = [](const Happening &a, const Happening &b) { return a.at < b.at; };
    auto &timeline = Current->timeline;
    timeline.insert(std::upper_bound(timeline.begin(), timeline.end(), happening, later),
                    happening);
}

} // namespace

void Driver::arrive(long at_ms, const std::string &bytes) {
    schedule({at_ms, Happening::Bytes, bytes});
}

void Driver::line_break(long at_ms) {
    schedule({at_ms, Happening::Break, ""});
}

void Driver::key(long at_ms) {
    schedule({at_ms, Happening::Key, ""});
}

void Driver::twist(Call call, Twist twist, long delay_ms, DWORD events) {
    Current->twists[call].push_back({twist, delay_ms, events});
}

void Driver::fail(Call call, int first, int times) {
    Current->failures[call].push_back({first, times});
}

int Driver::count(Call call) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [call](const Record &r) { return r.call == call; }));
}

std::vector<DWORD> Driver::sleeps() const {
    std::vector<DWORD> result;
    for (const Record &record : calls) {
        if (record.call == Call::Sleep) {
            result.push_back(record.ms);
        }
    }
    return result;
}

std::vector<Call> Driver::sequence() const {
    std::vector<Call> result;
    for (const Record &record : calls) {
        result.push_back(record.call);
    }
    return result;
}

const Record *Driver::first(Call call) const {
    for (const Record &record : calls) {
        if (record.call == call) {
            return &record;
        }
    }
    return nullptr;
}

DCB usual_settings() {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    settings.BaudRate = 9600;
    settings.fBinary = TRUE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.XonChar = 0x11;
    settings.XoffChar = 0x13;
    return settings;
}

Driver &driver() {
    return Current->driver;
}

void reset() {
    delete Current;
    Current = new State;
}

} // namespace fake

using namespace fake;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    Record &record = log(Call::CreateFileA);
    record.text = lpFileName;
    record.access = dwDesiredAccess;
    record.share_mode = dwShareMode;
    record.disposition = dwCreationDisposition;
    record.pointer = lpSecurityAttributes != nullptr
                         ? static_cast<const void *>(lpSecurityAttributes)
                         : hTemplateFile;
    record.flags = dwFlagsAndAttributes;
    if (Current->driver.open_fails) {
        Current->last_error = ERROR_FILE_NOT_FOUND;
        record.result = FALSE;
        return INVALID_HANDLE_VALUE;
    }
    Current->port_open = true;
    record.result = TRUE;
    return PortHandleValue;
}

BOOL CloseHandle(HANDLE hObject) {
    Record &record = log(Call::CloseHandle, hObject);
    if (planned_failure(Call::CloseHandle)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    if (hObject == PortHandleValue && Current->port_open) {
        // Closing the port ends what is still outstanding on it, writing into the tool's
        // records one last time and signalling their event.
        for (const Pending *pending : {&Current->wait, &Current->read}) {
            if (pending->control == nullptr) {
                continue;
            }
            Current->driver.aborted_at_close++;
            if (pending->control->hEvent != EventHandleValue || !Current->event_open) {
                Current->driver.aborted_into_stale_state++;
            }
        }
        if (Current->wait.control != nullptr) {
            finish_wait(0, ERROR_OPERATION_ABORTED);
        }
        if (Current->read.control != nullptr) {
            complete(Current->read.control, ERROR_OPERATION_ABORTED, 0);
            Current->read = Pending{};
        }
        Current->port_open = false;
    } else if (hObject == EventHandleValue && Current->event_open) {
        Current->event_open = false;
    } else {
        return record.result = fail_with(ERROR_INVALID_HANDLE);
    }
    return record.result = TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    Record &record = log(Call::GetCommState, hFile);
    if (planned_failure(Call::GetCommState) || Current->driver.comm_state_fails) {
        // A failing driver may still have scribbled over the caller's record.
        std::memset(static_cast<void *>(lpDCB), 0xA5, sizeof *lpDCB);
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    *lpDCB = Current->driver.reported;
    return record.result = TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    Record &record = log(Call::SetCommState, hFile);
    record.dcb = *lpDCB;
    // Windows refuses a record whose XON and XOFF are the same character, and applies none of it.
    if (planned_failure(Call::SetCommState) || lpDCB->XonChar == lpDCB->XoffChar) {
        return record.result = fail_with(ERROR_INVALID_PARAMETER);
    }
    return record.result = TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    Record &record = log(Call::SetupComm, hFile);
    record.input_queue = dwInQueue;
    record.output_queue = dwOutQueue;
    if (planned_failure(Call::SetupComm)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    return record.result = TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    Record &record = log(Call::SetCommMask, hFile);
    record.mask = dwEvtMask;
    if (planned_failure(Call::SetCommMask)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    Current->mask = dwEvtMask;
    return record.result = TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    Record &record = log(Call::CreateEventA);
    record.manual_reset = bManualReset;
    record.initially_signalled = bInitialState;
    record.pointer =
        lpEventAttributes != nullptr ? static_cast<const void *>(lpEventAttributes) : lpName;
    if (planned_failure(Call::CreateEventA)) {
        fail_with(ERROR_GEN_FAILURE);
        record.result = FALSE;
        return nullptr;
    }
    Current->event_open = true;
    record.result = TRUE;
    return EventHandleValue;
}

BOOL ResetEvent(HANDLE hEvent) {
    Record &record = log(Call::ResetEvent, hEvent);
    if (planned_failure(Call::ResetEvent)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    return record.result = hEvent == EventHandleValue ? TRUE : fail_with(ERROR_INVALID_HANDLE);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    Record &record = log(Call::WaitCommEvent, hFile);
    if (runaway() || planned_failure(Call::WaitCommEvent)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    if (Current->mask == 0) {
        // The serial driver refuses to wait when no event is asked for.
        return record.result = fail_with(ERROR_INVALID_PARAMETER);
    }
    if (Current->wait.control != nullptr) {
        return record.result = fail_with(ERROR_INVALID_PARAMETER);
    }
    uses_control(lpOverlapped);
    TwistEntry twist{};
    if (take_twist(Call::WaitCommEvent, &twist)) {
        if (twist.twist == Twist::Fail) {
            return record.result = fail_with(ERROR_GEN_FAILURE);
        }
        if (twist.twist == Twist::Events) {
            Current->history = 0;
            *lpEvtMask = twist.events;
            complete(lpOverlapped, 0, sizeof(DWORD));
            return record.result = TRUE;
        }
    }
    DWORD events = Current->history & Current->mask;
    if (events != 0 && twist.twist != Twist::Pending) {
        Current->history = 0;
        *lpEvtMask = events;
        complete(lpOverlapped, 0, sizeof(DWORD));
        return record.result = TRUE;
    }
    Current->wait.control = lpOverlapped;
    Current->wait.events = lpEvtMask;
    if (Current->driver.wine) {
        Current->wait.complete_at = Current->driver.now + WineDelayMs;
    }
    lpOverlapped->Internal = StatusPending;
    return record.result = fail_with(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    Record &record = log(Call::GetOverlappedResult, hFile);
    record.wait = bWait;
    if (lpOverlapped->Internal == StatusPending) {
        // The tool's single thread must never block on the line.
        return record.result = fail_with(ERROR_IO_INCOMPLETE);
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (lpOverlapped->Internal != 0) {
        return record.result = fail_with(static_cast<DWORD>(lpOverlapped->Internal));
    }
    return record.result = TRUE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    Record &record = log(Call::ClearCommError, hFile);
    TwistEntry twist{};
    if (planned_failure(Call::ClearCommError) || take_twist(Call::ClearCommError, &twist)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    *lpErrors = 0;
    *lpStat = COMSTAT{};
    lpStat->cbInQue = static_cast<DWORD>(Current->queue.size());
    record.queued = lpStat->cbInQue;
    return record.result = TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    Record &record = log(Call::ReadFile, hFile);
    record.asked = nNumberOfBytesToRead;
    record.queued = static_cast<DWORD>(Current->queue.size());
    uses_control(lpOverlapped);
    if (planned_failure(Call::ReadFile)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    TwistEntry twist{};
    bool twisted = take_twist(Call::ReadFile, &twist);
    if (twisted && twist.twist == Twist::Fail) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    bool pends = twisted && (twist.twist == Twist::Pending || twist.twist == Twist::PendingFails);
    if (pends || Current->driver.wine) {
        Current->read.control = lpOverlapped;
        Current->read.fails = twisted && twist.twist == Twist::PendingFails;
        Current->read.buffer = static_cast<char *>(lpBuffer);
        Current->read.wanted = nNumberOfBytesToRead;
        Current->read.complete_at = Current->driver.now + (twisted ? twist.delay_ms : WineDelayMs);
        lpOverlapped->Internal = StatusPending;
        return record.result = fail_with(ERROR_IO_PENDING);
    }
    DWORD got =
        static_cast<DWORD>(std::min<std::size_t>(nNumberOfBytesToRead, Current->queue.size()));
    std::memcpy(lpBuffer, Current->queue.data(), got);
    Current->queue.erase(0, got);
    *lpNumberOfBytesRead = got;
    record.got = got;
    complete(lpOverlapped, 0, got);
    return record.result = TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    Record &record = log(Call::EscapeCommFunction, hFile);
    record.function = dwFunc;
    if (planned_failure(Call::EscapeCommFunction)) {
        return record.result = fail_with(ERROR_GEN_FAILURE);
    }
    return record.result = TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    Record &record = log(Call::Sleep);
    record.ms = dwMilliseconds;
    advance(Current->driver.now + static_cast<long>(dwMilliseconds));
}

DWORD GetLastError(void) {
    return Current->last_error;
}

char *GetCommandLineA(void) {
    log(Call::GetCommandLineA);
    Current->command_line = Current->driver.command_line;
    return &Current->command_line[0];
}

HWND GetActiveWindow(void) {
    log(Call::GetActiveWindow);
    return ActiveWindow;
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    Record &record = log(Call::MessageBoxA);
    record.pointer = hWnd;
    record.text = lpText;
    record.caption = lpCaption;
    record.style = uType;
    return 1;
}

int _kbhit(void) {
    log(Call::KeyPoll);
    return Current->keys > 0 || runaway();
}
