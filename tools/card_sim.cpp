// dremlix-sim: plays a magnetic card reader on a pseudo-terminal, so dremlix can be run,
// demonstrated, tested and measured without the hardware.

#include "sim_clock.h"
#include "sim_command.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_port.h"
#include "sim_records.h"

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>
#include <sys/types.h>

namespace {

// The default timer slack (50 us) is a twentieth of a byte time at 9600 baud; this asks for
// the tightest wakeups the kernel will give.
const unsigned long TightestTimerSlackNs = 1;

// Runs the command, or announces the port to whoever is to open it, and takes the signals
// that end the simulator.
void start_reader(Command &command, const Port &port, const SimOptions &options) {
    if (command.argv != nullptr) {
        if (!options.quiet) {
            std::fprintf(stderr, "dremlix-sim: COM%d is %s\n", options.port,
                         port.slave_path.c_str());
        }
        start_command(command, options.port, port);
        // Like a shell running a job: a Ctrl-C on the shared terminal is for the
        // command, and we follow it out when it ends.
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGQUIT, SIG_IGN);
        std::signal(SIGTERM, on_stop_signal);
    } else {
        std::printf("%s\n", port.slave_path.c_str());
        std::fflush(stdout);
        std::signal(SIGINT, on_stop_signal);
        std::signal(SIGTERM, on_stop_signal);
    }
}

// The exit status once sending is over: the command's, unless the line never started while
// the command still ran.
int finish(Line &line, const SimOptions &options, bool sending_failed) {
    Command &command = line.command;
    if (command.pid <= 0) {
        return sending_failed ? FailureStatus : SuccessStatus;
    }
    if (sending_failed) {
        kill(command.pid, SIGTERM);
        command.terminated_by_us = true;
    }
    const int status = finish_command(command, line.port, options.term_after_ms);
    return sending_failed ? FailureStatus : status;
}

} // namespace

int main(int argc, char **argv) {
    SimOptions options;
    int exit_status = SuccessStatus;
    if (!parse_options(argc, argv, options, exit_status)) {
        return exit_status;
    }
    RecordSource source;
    seed_rng(source.rng, options.seed);
    Port port;
    Command command;
    command.argv = options.command;
    Line line(port, command);
    line.pacing.byte_ns = byte_time_ns(options.baud);
    line.back_to_back = options.interval_max_ms == 0;
    prctl(PR_SET_TIMERSLACK, TightestTimerSlackNs);
    // The port is a pty master: a reader gone away must not kill us with SIGPIPE.
    command.inherited_sigpipe = std::signal(SIGPIPE, SIG_IGN);

    if (!open_input(source, options.input_path) || !open_log(line, options.log_path) ||
        !open_port(port, options.baud)) {
        return FailureStatus;
    }
    start_reader(command, port, options);

    bool sending_failed = false;
    if (wait_for_reader(line, options)) {
        send_records(line, source, options);
        if (command_running(command) && !StopRequested) {
            wait_for_drain(line, options.quiet);
        }
    } else if (command_running(command)) {
        sending_failed = true;
    }
    if (line.log != nullptr) {
        std::fflush(line.log);
    }

    const int status = finish(line, options, sending_failed);
    if (!options.quiet) {
        print_summary(line);
    }
    if (line.log != nullptr) {
        std::fclose(line.log);
    }
    return status;
}
