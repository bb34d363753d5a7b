// The simulator's command line: its options, their defaults and limits, and the help text.
#ifndef DREMLIX_SIM_OPTIONS_H
#define DREMLIX_SIM_OPTIONS_H

#include <cstddef>
#include <cstdint>

// Exit statuses, as the help text promises them.
const int SuccessStatus = 0;
const int FailureStatus = 1;      // the simulator's own: a bad option, a port nobody opened
const int CannotRunStatus = 127;  // the command could not be started, as a shell says it
const int SignalStatusBase = 128; // plus N when signal N ended the command, as a shell says it

// A record body longer than this is logged as overlong: the reader drops records over 64
// characters, so one of these may never be printed.
const std::size_t ReaderRecordLimit = 64;

// Every "K" option means every K-th record; 0 means never.
struct SimOptions {
    int port = 1;
    long baud = 9600; // 0: as fast as the reader takes the bytes
    long count = 0;   // 0: no limit
    long interval_min_ms = 1000;
    long interval_max_ms = 1000;
    std::uint64_t seed = 1;
    const char *input_path = nullptr; // "-" is standard input
    long split_every = 0;
    long split_pause_ms = 250;
    long pair_every = 0;
    long noise_every = 0;
    long overlong_every = 0;
    const char *log_path = nullptr;
    long settle_ms = 200;
    long open_timeout_ms = -1; // -1 until parsed: its default depends on the command
    bool wait_for_open = true;
    long term_after_ms = -1; // -1: never
    bool quiet = false;
    char **command = nullptr; // null-terminated, or nullptr without one
};

// Reads the command line into options. False when the simulator is to end at once, with
// exit_status set: after --help, or after telling the user what was wrong.
bool parse_options(int argc, char **argv, SimOptions &options, int &exit_status);

#endif
