// Processes and ptys for the end-to-end tests: the tool runs as a real program, with a pty
// as its serial port and, when a test needs one, another pty as its controlling terminal.
#ifndef DREMLIX_TEST_HARNESS_H
#define DREMLIX_TEST_HARNESS_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace harness {

using Millis = std::chrono::milliseconds;

// A generous deadline: tests wait on output, and only fail on this when something hangs.
const Millis Patience{15000};

// A pty pair. The slave is raw, as a serial line is; the master plays the device.
struct Pty {
    int master = -1;
    int slave = -1; // held open so the slave's settings last while no one else has it
    std::string path;

    // A serial line is raw; a console pty keeps the usual cooked settings.
    explicit Pty(bool raw = true);
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    void close_master();
    void send(const std::string &bytes) const;
};

struct Options {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env; // added to this process's own
    // When set, the child gets this pty as its controlling terminal and standard input;
    // otherwise it runs in a session of its own with no terminal at all.
    Pty *console = nullptr;
};

// A running program with its standard output and standard error on pipes.
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string out_text;
    std::string err_text;
    int status = -1; // from waitpid, once it has ended

    explicit Child(const Options &options);
    ~Child(); // kills the child if it still runs
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Reads standard output until it holds `text` (counted from the start), or the deadline.
    bool wait_for_output(const std::string &text, Millis deadline = Patience);
    // Reads standard output until it holds `count` occurrences of `text`.
    bool wait_for_count(const std::string &text, int count, Millis deadline = Patience);
    // Waits for the child to end, draining its output; false at the deadline.
    bool wait_for_exit(Millis deadline = Patience);
    bool running();
    void signal(int number);
    // Closes our end of the standard output pipe, as a reader that has gone away does.
    void close_output();
    // User plus system CPU time so far, from /proc.
    double cpu_seconds() const;
    // CPU seconds the child uses while this waits `span`: near zero when idle, near the whole
    // span in a busy loop.
    double cpu_used_over(Millis span) const;
    int exit_code() const;   // -1 unless it exited normally
    int term_signal() const; // 0 unless a signal ended it

  private:
    void drain(Millis wait);
};

// True once the program using `terminal` has turned its line mode off, that is, taken over
// key handling; a key or a signal after that tests the way out rather than the way in.
bool key_mode_on(const Pty &terminal, Millis deadline = Patience);

// What `terminal` holds for the next program to read, read without waiting for a line.
std::string pending_input(const Pty &terminal);

// User plus system CPU seconds a process has used, from /proc; 0 when it is gone.
double cpu_seconds_of(pid_t pid);

// The scheduler's state letter of a process, from /proc: 'T' when stopped, '?' when gone.
char process_state(pid_t pid);

// The first child of a process, or -1 when it has none.
pid_t first_child(pid_t pid);

// When DREMLIX_TOOL_WRAPPER is set (e.g. "valgrind --error-exitcode=99 -q"), children that
// run the built tool run it under that command instead; its words are split at blanks.
const char *const ToolWrapperVariable = "DREMLIX_TOOL_WRAPPER";

// The absolute path of a program built beside the tests.
std::string built(const std::string &name);

// Counts the non-overlapping occurrences of `needle` in `text`.
int count_of(const std::string &text, const std::string &needle);

} // namespace harness

#endif
