#include "sim_command.h"

#include "sim_clock.h"
#include "sim_options.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Short enough that the command's end is noticed at once, long enough to cost nothing.
const int WatchStepMs = 50;
const long long WatchStepNs = WatchStepMs * NanosPerMilli;

// How long a command gets to end after SIGTERM before it is killed.
const long long TerminationGraceNs = 3 * NanosPerSecond;
const long long TerminationCheckNs = 5 * NanosPerMilli;

// What the child does between fork and exec; it never returns.
[[noreturn]] void become_command(const Command &command, const std::string &variable,
                                 const Port &port, pid_t parent) {
    // An ignored signal stays ignored across exec: hand the command SIGPIPE as we
    // were given it, not as we set it for ourselves.
    std::signal(SIGPIPE, command.inherited_sigpipe);
    setenv(variable.c_str(), port.slave_path.c_str(), 1);
    // A reader left behind by a crashed simulator would run for ever on a dead
    // port; let the kernel end it with us.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        _exit(CannotRunStatus);
    }
    execvp(command.argv[0], command.argv);
    std::fprintf(stderr, "dremlix-sim: cannot run %s: %s\n", command.argv[0], std::strerror(errno));
    _exit(CannotRunStatus);
}

// Sends SIGTERM and waits a while for the command to go; killing it when it will not.
void terminate_command(Command &command) {
    command.terminated_by_us = true;
    kill(command.pid, SIGTERM);
    const long long deadline = monotonic_ns() + TerminationGraceNs;
    while (command_running(command) && monotonic_ns() < deadline) {
        sleep_until_ns(monotonic_ns() + TerminationCheckNs);
    }
    if (command_running(command)) {
        std::fprintf(stderr, "dremlix-sim: command ignored SIGTERM, killing it\n");
        command.terminated_by_us = false;
        kill(command.pid, SIGKILL);
    }
}

// The exit status a shell would give for the command's end; ending it ourselves is success.
int status_of(const Command &command) {
    if (WIFEXITED(command.wait_status)) {
        return WEXITSTATUS(command.wait_status);
    }
    if (WIFSIGNALED(command.wait_status)) {
        if (command.terminated_by_us && WTERMSIG(command.wait_status) == SIGTERM) {
            return SuccessStatus;
        }
        return SignalStatusBase + WTERMSIG(command.wait_status);
    }
    return FailureStatus;
}

// Collects the command's end when it has come, without waiting; true once it has ended.
bool collect_end(Command &command) {
    int status = 0;
    if (!command.ended && waitpid(command.pid, &status, WNOHANG) == command.pid) {
        command.ended = true;
        command.wait_status = status;
    }
    return command.ended;
}

} // namespace

void start_command(Command &command, int port_number, const Port &port) {
    const std::string variable = "DREMLIX_COM" + std::to_string(port_number);
    const pid_t parent = getpid();
    // Until the exec the child holds our descriptors, the slave among them, and would
    // pass for the reader opening the port. The pipe closes on exec, so a read that
    // ends tells us the child is the command now.
    int exec_done[2];
    if (pipe2(exec_done, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "dremlix-sim: pipe: %s\n", std::strerror(errno));
        std::exit(FailureStatus);
    }
    command.pid = fork();
    if (command.pid < 0) {
        std::fprintf(stderr, "dremlix-sim: fork: %s\n", std::strerror(errno));
        std::exit(FailureStatus);
    }
    if (command.pid == 0) {
        close(exec_done[0]);
        become_command(command, variable, port, parent);
    }
    close(exec_done[1]);
    char ignored = 0;
    while (read(exec_done[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(exec_done[0]);
}

bool command_running(Command &command) {
    if (command.pid <= 0) {
        return !StopRequested;
    }
    return !collect_end(command);
}

bool wait_until(Command &command, Port &port, long long deadline) {
    for (;;) {
        if (!command_running(command) || StopRequested) {
            return false;
        }
        discard_reader_output(port);
        const long long now = monotonic_ns();
        if (now >= deadline) {
            return true;
        }
        sleep_until_ns(deadline - now < WatchStepNs ? deadline : now + WatchStepNs);
    }
}

int finish_command(Command &command, Port &port, long term_after_ms) {
    if (term_after_ms >= 0 && command_running(command)) {
        wait_until(command, port, monotonic_ns() + ns_from_ms(term_after_ms));
        if (command_running(command)) {
            terminate_command(command);
        }
    }
    while (!command.ended) {
        if (StopRequested) {
            // Passed on once; after that we just wait for the command to go.
            StopRequested = 0;
            kill(command.pid, SIGTERM);
        }
        discard_reader_output(port);
        if (collect_end(command)) {
            break;
        }
        pollfd output{port.master, POLLIN, 0};
        poll(&output, 1, WatchStepMs);
    }
    return status_of(command);
}
