// Sending on the line: bytes paced as a serial line carries them (or unpaced), the record log
// written as each record's last byte goes out, and the summary of what was sent.
#ifndef DREMLIX_SIM_LINE_H
#define DREMLIX_SIM_LINE_H

#include "sim_command.h"
#include "sim_options.h"
#include "sim_port.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct SentRecord {
    std::string body;
    bool overlong;
};

// A record whose '?' stands at offset end of a stretch of bytes: it is logged when the write
// holding that byte returns.
struct RecordEnding {
    std::size_t end;
    SentRecord record;
};

// A stretch of bytes that goes onto the line without a pause.
struct Segment {
    std::string bytes;
    long long pause_before_ns = 0;
    bool one_write = false; // all in one write, as a reader sending two records back to back
    std::vector<RecordEnding> records_ending;
};

// Where a paced line stands on its schedule.
struct Pacing {
    long long byte_ns = 0;  // one byte's time on the line; 0 sends unpaced
    long long clock_ns = 0; // when the bytes scheduled so far are over on the line
    long long next_command_check_ns = 0;
};

// What went on the line, for the summary.
struct LineTally {
    long records = 0;
    long overlong = 0;
    long long noise_bytes = 0;
    long long bytes = 0;
    long long first_write_ns = 0;
    long long drained_ns = 0; // when the reader had taken every byte; 0 if it never did
    long stalls = 0;
};

struct Line {
    Line(Port &port, Command &command) : port(port), command(command) {}

    Port &port;
    Command &command;
    Pacing pacing;
    // Unpaced records that follow each other at once are held back to go out in large writes.
    bool back_to_back = false;
    Segment held;
    FILE *log = nullptr; // the record log, or nullptr without --log
    LineTally tally;
};

// Opens the record log named by --log when there is one; false after telling the user why it
// cannot be written.
bool open_log(Line &line, const char *log_path);

// One byte's time at baud, 8N1; 0 for baud 0, which sends unpaced.
long long byte_time_ns(long baud);

// Holds the line back until the reader has opened the port (when options ask to wait for it)
// and settled; false when it did not come in time, the command ended or a stop was asked for.
bool wait_for_reader(Line &line, const SimOptions &options);

// Sends a segment after its pause; false when the command ended, a stop was asked for, or
// the port failed.
bool send_segment(Line &line, const Segment &part);

// Writes whatever unpaced bytes are held back.
bool flush_held(Line &line);

// Waits until the reader has taken every byte from the port, and notes when.
void wait_for_drain(Line &line, bool quiet);

void print_summary(const Line &line);

#endif
