#include "sim_line.h"

#include "sim_clock.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace {

// 8N1: a start bit, eight data bits and a stop bit.
const long long LineBitsPerByte = 10;

// A line further behind its schedule than this has stalled: the help text names the figure.
const long long StallLimitNs = 50 * NanosPerMilli;

// While bytes go out, the command and the port are looked at this often.
const int CommandCheckMs = 20;
const long long CommandCheckNs = CommandCheckMs * NanosPerMilli;

// A wait for a byte's time longer than this watches the command as it sleeps.
const long long LongWaitNs = 50 * NanosPerMilli;

// How often the port is looked at for its reader.
const long long OpenerCheckNs = 10 * NanosPerMilli;

// Unpaced bytes held back go out once there are this many.
const std::size_t HeldWriteSize = 4096;

// Bytes the reader does not take for this long count as never delivered.
const long long DrainPatienceNs = 5 * NanosPerSecond;
const long long DrainCheckNs = NanosPerMilli;
// Bytes pass through the kernel's flip buffer on their way to the queue, and on a busy
// machine they may wait there for milliseconds; closing the port would throw them away. So an
// empty queue is only trusted once it has stayed empty this long.
const long long DrainQuietNs = 100 * NanosPerMilli;

void log_record(Line &line, const SentRecord &record, long long when) {
    if (record.overlong) {
        ++line.tally.overlong;
    } else {
        ++line.tally.records;
    }
    if (line.log != nullptr) {
        std::fprintf(line.log, "%lld\t%s\t%s\n", when, record.overlong ? "overlong" : "record",
                     record.body.c_str());
    }
}

// Writes all of bytes, waiting for room when the reader lags; false when the command
// ended first or the port failed.
bool write_all(Line &line, const char *bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write(line.port.master, bytes + done, length - done);
        if (wrote > 0) {
            if (line.tally.first_write_ns == 0) {
                line.tally.first_write_ns = monotonic_ns();
            }
            done += static_cast<std::size_t>(wrote);
            line.tally.bytes += wrote;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            std::fprintf(stderr, "dremlix-sim: write to port: %s\n", std::strerror(errno));
            return false;
        }
        if (!command_running(line.command) || StopRequested) {
            return false;
        }
        discard_reader_output(line.port);
        pollfd room{line.port.master, POLLOUT, 0};
        poll(&room, 1, CommandCheckMs);
    }
    return true;
}

// Writes bytes [from, to) of the segment and logs the records they complete.
bool write_span(Line &line, const Segment &part, std::size_t from, std::size_t to) {
    if (!write_all(line, part.bytes.data() + from, to - from)) {
        return false;
    }
    const long long now = monotonic_ns();
    for (const RecordEnding &ending : part.records_ending) {
        if (ending.end >= from && ending.end < to) {
            log_record(line, ending.record, now);
        }
    }
    return true;
}

// Unpaced: coalesce into large writes so the reader, not our system calls, sets the pace.
bool send_unpaced(Line &line, const Segment &part) {
    if (part.pause_before_ns > 0 || part.one_write) {
        if (!flush_held(line)) {
            return false;
        }
    }
    if (part.pause_before_ns > 0 &&
        !wait_until(line.command, line.port, monotonic_ns() + part.pause_before_ns)) {
        return false;
    }
    if (part.one_write) {
        return write_span(line, part, 0, part.bytes.size());
    }
    for (const RecordEnding &ending : part.records_ending) {
        line.held.records_ending.push_back({line.held.bytes.size() + ending.end, ending.record});
    }
    line.held.bytes += part.bytes;
    // Coalescing only pays when records follow each other at once; with gaps
    // between them a held-back record would leave late.
    if (line.held.bytes.size() >= HeldWriteSize || !line.back_to_back) {
        return flush_held(line);
    }
    return true;
}

// Waits from now until due_at, when the next byte is due, looking at the command and the port
// on the way; false when the command ended or a stop was asked for.
bool wait_for_byte_time(Line &line, long long now, long long due_at) {
    if (now >= line.pacing.next_command_check_ns) {
        line.pacing.next_command_check_ns = now + CommandCheckNs;
        if (!command_running(line.command) || StopRequested) {
            return false;
        }
        discard_reader_output(line.port);
    }
    if (due_at - now > LongWaitNs) {
        return wait_until(line.command, line.port, due_at);
    }
    sleep_until_ns(due_at);
    return true;
}

// Paced: the schedule is kept on an absolute clock, so time lost to a late wakeup
// is made up by the next bytes instead of piling up over a long run.
bool send_paced(Line &line, const Segment &part) {
    Pacing &pacing = line.pacing;
    const long long now = monotonic_ns();
    if (now - pacing.clock_ns > StallLimitNs) {
        // The reader did not take the bytes (or this is the first one): bursting to
        // catch up would not be what a line does, so start the schedule again.
        if (pacing.clock_ns != 0) {
            ++line.tally.stalls;
        }
        pacing.clock_ns = now;
    }
    pacing.clock_ns += part.pause_before_ns;
    const std::size_t size = part.bytes.size();
    if (part.one_write) {
        if (!wait_until(line.command, line.port, pacing.clock_ns)) {
            return false;
        }
        pacing.clock_ns += static_cast<long long>(size) * pacing.byte_ns;
        return write_span(line, part, 0, size);
    }
    std::size_t done = 0;
    while (done < size) {
        // A byte is there for the reader once its stop bit is over.
        const long long due_at = pacing.clock_ns + pacing.byte_ns;
        long long current = monotonic_ns();
        if (current < due_at) {
            if (!wait_for_byte_time(line, current, due_at)) {
                return false;
            }
            current = monotonic_ns();
        }
        std::size_t due = static_cast<std::size_t>((current - pacing.clock_ns) / pacing.byte_ns);
        if (due == 0) {
            continue;
        }
        if (due > size - done) {
            due = size - done;
        }
        if (!write_span(line, part, done, done + due)) {
            return false;
        }
        done += due;
        pacing.clock_ns += static_cast<long long>(due) * pacing.byte_ns;
    }
    return true;
}

// Waits for a process other than us to open the port; false when none did in time.
bool wait_for_opener(Line &line, const SimOptions &options) {
    const long long start = monotonic_ns();
    for (;;) {
        const long opener = port_opener(line.port);
        if (opener != 0) {
            // With a command the opener is expected; alone, say who it was.
            if (!options.quiet && options.command == nullptr) {
                std::fprintf(stderr, "dremlix-sim: %s opened by process %ld (%s)\n",
                             line.port.slave_path.c_str(), opener, process_name(opener).c_str());
            }
            return true;
        }
        if (options.open_timeout_ms > 0 &&
            monotonic_ns() - start > ns_from_ms(options.open_timeout_ms)) {
            std::fprintf(stderr, "dremlix-sim: nobody opened %s within %ld ms\n",
                         line.port.slave_path.c_str(), options.open_timeout_ms);
            return false;
        }
        if (!wait_until(line.command, line.port, monotonic_ns() + OpenerCheckNs)) {
            return false;
        }
    }
}

} // namespace

bool open_log(Line &line, const char *log_path) {
    if (log_path == nullptr) {
        return true;
    }
    line.log = std::fopen(log_path, "w");
    if (line.log == nullptr) {
        std::fprintf(stderr, "dremlix-sim: cannot write %s: %s\n", log_path, std::strerror(errno));
        return false;
    }
    return true;
}

long long byte_time_ns(long baud) {
    if (baud <= 0) {
        return 0;
    }
    return LineBitsPerByte * NanosPerSecond / baud;
}

// Data written before the reader opens the port could be flushed by it or read
// before its line settings are in place, so hold back until it is there.
bool wait_for_reader(Line &line, const SimOptions &options) {
    if (options.wait_for_open && !wait_for_opener(line, options)) {
        return false;
    }
    return wait_until(line.command, line.port, monotonic_ns() + ns_from_ms(options.settle_ms));
}

bool send_segment(Line &line, const Segment &part) {
    if (line.pacing.byte_ns == 0) {
        return send_unpaced(line, part);
    }
    return send_paced(line, part);
}

bool flush_held(Line &line) {
    if (line.held.bytes.empty()) {
        return true;
    }
    if (!write_span(line, line.held, 0, line.held.bytes.size())) {
        return false;
    }
    line.held.bytes.clear();
    line.held.records_ending.clear();
    return true;
}

// Bytes the reader never takes count as not delivered, so this gives up after a few quiet
// seconds.
void wait_for_drain(Line &line, bool quiet) {
    long long last_change = monotonic_ns();
    int last_queued = -1;
    long long empty_since = 0;
    for (;;) {
        int queued = 0;
        if (!bytes_waiting(line.port, queued)) {
            return;
        }
        const long long now = monotonic_ns();
        if (queued != last_queued) {
            last_queued = queued;
            last_change = now;
        }
        if (queued != 0) {
            empty_since = 0;
        } else if (empty_since == 0) {
            empty_since = now;
        }
        if (empty_since != 0 && now - empty_since >= DrainQuietNs) {
            line.tally.drained_ns = empty_since;
            return;
        }
        if (now - last_change > DrainPatienceNs) {
            if (!quiet) {
                std::fprintf(stderr, "dremlix-sim: %d bytes were never read from the port\n",
                             queued);
            }
            return;
        }
        if (!wait_until(line.command, line.port, now + DrainCheckNs)) {
            return;
        }
    }
}

void print_summary(const Line &line) {
    const LineTally &tally = line.tally;
    const long long end = tally.drained_ns != 0 ? tally.drained_ns : monotonic_ns();
    const double seconds =
        tally.first_write_ns != 0
            ? static_cast<double>(end - tally.first_write_ns) / static_cast<double>(NanosPerSecond)
            : 0.0;
    // dremlix leaves its last record without a line end; on a terminal, start our own.
    if (line.command.pid > 0 && isatty(STDERR_FILENO)) {
        std::fputc('\n', stderr);
    }
    std::fprintf(stderr,
                 "dremlix-sim: records=%ld overlong=%ld noise_bytes=%lld bytes=%lld seconds=%.3f "
                 "first_ns=%lld drained_ns=%lld stalls=%ld port_output=%lld\n",
                 tally.records, tally.overlong, tally.noise_bytes, tally.bytes, seconds,
                 tally.first_write_ns, tally.drained_ns, tally.stalls, line.port.reader_output);
}
