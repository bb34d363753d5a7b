// The key-press poll over the controlling terminal.
//
// While the tool runs, the terminal hands over each key at once and does not echo it; the
// poll only counts what is waiting, so the key that ends the tool stays in the terminal's input
// for the shell. Whatever this file changes it puts back on every way out: a normal exit, and
// the signals that end or stop the process, after which the signal still takes its default
// action.
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

const int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

bool in_foreground() {
    return tcgetpgrp(ConsoleFd) == getpgrp();
}

// Called from signal handlers too: only async-signal-safe calls here.
void restore_console() {
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

void key_mode_on() {
    // A tool started in the background leaves the terminal to the foreground job; it takes
    // over key handling once it is brought to the foreground.
    if (Changed || !in_foreground()) {
        return;
    }
    termios keys = Saved;
    keys.c_lflag &= ~(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(ConsoleFd, TCSANOW, &keys) == 0) {
        Changed = 1;
    }
}

void on_ending_signal(int signal) {
    restore_console();
    // The handler was installed to reset itself, so this ends the process the default way.
    raise(signal);
}

void install(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void on_stop_signal(int signal) {
    restore_console();
    raise(signal);
    // Continued: the shell may have moved us to the background, so the next poll decides.
    install(SIGTSTP, on_stop_signal);
}

void install_unless_ignored(int signal, void (*handler)(int)) {
    struct sigaction current {};
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
        return;
    }
    install(signal, handler);
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
    std::atexit(restore_console);
    for (int signal : EndingSignals) {
        install_unless_ignored(signal, on_ending_signal);
    }
    install_unless_ignored(SIGTSTP, on_stop_signal);
}

} // namespace

int _kbhit(void) {
    if (!ConsoleTried) {
        open_console();
    }
    if (ConsoleFd == NoConsole) {
        return 0;
    }
    key_mode_on();
    int waiting = 0;
    if (ioctl(ConsoleFd, FIONREAD, &waiting) != 0) {
        return 0;
    }
    return waiting > 0;
}
