// The command the simulator runs with the port (dremlix, or a test's stand-in for it): starting
// it, watching it while the line waits, and ending it.
#ifndef DREMLIX_SIM_COMMAND_H
#define DREMLIX_SIM_COMMAND_H

#include "sim_port.h"

#include <csignal>

#include <sys/types.h>

struct Command {
    char **argv = nullptr; // nullptr: no command, the simulator runs alone
    pid_t pid = -1;
    void (*inherited_sigpipe)(int) = SIG_DFL; // SIGPIPE as we were given it, for the command
    bool ended = false;
    int wait_status = 0; // from waitpid, once ended
    bool terminated_by_us = false;
};

// Runs the command with DREMLIX_COM<port_number> naming the port, and returns once it is the
// command (exec done); ends the simulator when it cannot fork.
void start_command(Command &command, int port_number, const Port &port);

// Whether the simulator should go on: the command still runs, or, without a command, no stop
// was asked for.
bool command_running(Command &command);

// Sleeps until deadline in short steps, watching the command and keeping the port drained;
// false when the command ended or a stop was asked for.
bool wait_until(Command &command, Port &port, long long deadline);

// With term_after_ms 0 or more, gives the command that long once the line is done and then
// ends it; waits for it to end, and returns the exit status it leaves the simulator with.
int finish_command(Command &command, Port &port, long term_after_ms);

#endif
