// The key-press poll over the controlling terminal.
//
// While the tool runs, the terminal hands over each key at once and does not echo it; the
// poll only counts what is waiting, so the key that ends the tool stays in the terminal's input
// for the shell. Whatever this file changes it puts back on every way out: a normal exit, the
// signals that end the process (through the exit path's handlers) and the ones that stop it,
// after which the signal still takes its default action.
#include "linux_platform.h"

#include <conio.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int NoConsole = -1;

int ConsoleFd = NoConsole;
bool ConsoleTried;
termios Saved;
volatile sig_atomic_t Changed;

bool in_foreground() {
    return tcgetpgrp(ConsoleFd) == getpgrp();
}

void key_mode_on() {
    if (Changed) {
        return;
    }
    termios keys = Saved;
    keys.c_lflag &= ~(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    // Marked before the change, so a signal that lands during it still restores: restoring
    // settings that never changed does no harm.
    Changed = 1;
    if (tcsetattr(ConsoleFd, TCSANOW, &keys) != 0) {
        Changed = 0;
    }
}

void install(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void on_stop_signal(int signal) {
    linux_restore_console();
    raise(signal);
    // Continued: the shell may have moved us to the background, so the next poll decides.
    install(SIGTSTP, on_stop_signal);
}

void open_console() {
    ConsoleTried = true;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (tcgetattr(fd, &Saved) != 0) {
        close(fd);
        return;
    }
    ConsoleFd = fd;
    std::atexit(linux_restore_console);
    linux_watch_ending_signals();
    struct sigaction current {};
    // A stop ignored by whoever started us stays ignored.
    if (sigaction(SIGTSTP, nullptr, &current) != 0 || current.sa_handler != SIG_IGN) {
        install(SIGTSTP, on_stop_signal);
    }
}

} // namespace

// Called from signal handlers too: only async-signal-safe calls here.
void linux_restore_console() {
    if (!Changed) {
        return;
    }
    // Restoring from the background must not stop the process on SIGTTOU.
    sigset_t ttou;
    sigset_t previous;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &previous);
    // TCSANOW rather than TCSAFLUSH: the key that ended the tool belongs to the shell.
    tcsetattr(ConsoleFd, TCSANOW, &Saved);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    Changed = 0;
}

int _kbhit(void) {
    if (!ConsoleTried) {
        open_console();
    }
    // In the background the terminal's input belongs to the foreground job: what is typed there
    // is for the shell, not a key for us. The tool takes over key handling once it is brought
    // to the foreground.
    if (ConsoleFd == NoConsole || !in_foreground()) {
        return 0;
    }
    key_mode_on();
    int waiting = 0;
    if (ioctl(ConsoleFd, FIONREAD, &waiting) != 0) {
        return 0;
    }
    return waiting > 0;
}
