// What the process owes others on every way out, signals included: the terminal's settings
// and the serial devices' exclusive flags.
//
// A normal exit restores the terminal through atexit and releases each port in CloseHandle; a
// signal that ends the process does neither on its own, so the handlers here do both and then
// let the signal end the process exactly as it would have (exit status, core dump).
#include "linux_platform.h"

#include <csignal>

namespace {

// Every signal whose default action ends the process and that a user, a shell, a supervisor or
// a fault can deliver. SIGKILL cannot be caught; the kernel clears the flags once the last
// descriptor of a device closes.
const int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT, SIGSEGV,
                             SIGBUS, SIGFPE,  SIGILL, SIGALRM, SIGUSR1, SIGUSR2};

bool Watching;

void on_ending_signal(int signal) {
    linux_restore_console();
    linux_release_ports();
    // The handler was installed to reset itself, so this ends the process the default way; a
    // fault that returns here re-runs its instruction and ends it the same way.
    raise(signal);
}

} // namespace

void linux_watch_ending_signals() {
    if (Watching) {
        return;
    }
    Watching = true;
    for (int signal : EndingSignals) {
        struct sigaction current {};
        // A signal ignored by whoever started us (nohup, a background job) stays ignored.
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = on_ending_signal;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}
