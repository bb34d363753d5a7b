#include "sim_records.h"

#include "sim_clock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/types.h>

namespace {

// Line noise comes in bursts of a few bytes, as a loose contact gives.
const unsigned ShortestNoise = 1;
const unsigned LongestNoise = 16;

// False when there is no record left to send.
bool next_body(RecordSource &source, std::string &body) {
    if (source.input == nullptr) {
        body = make_track2_body(source.rng);
        return true;
    }
    char *line = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = getline(&line, &capacity, source.input);
    if (length < 0) {
        std::free(line);
        return false;
    }
    body.assign(line, static_cast<std::size_t>(length));
    std::free(line);
    if (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    // A file written on Windows ends its lines in CRLF; the CR is not part of the card.
    if (!body.empty() && body.back() == '\r') {
        body.pop_back();
    }
    return true;
}

long long pick_interval_ns(RecordSource &source, const SimOptions &options) {
    const long ms =
        static_cast<long>(random_between(source.rng, static_cast<unsigned>(options.interval_min_ms),
                                         static_cast<unsigned>(options.interval_max_ms)));
    return ns_from_ms(ms);
}

// Whether record index (counted from 1) is one of every period-th; period 0 means none.
bool every(long period, long index) {
    return period > 0 && index % period == 0;
}

void add_record(Segment &part, const std::string &body) {
    part.bytes += frame_record(body);
    part.records_ending.push_back(
        {part.bytes.size() - 1, SentRecord{body, body.size() > ReaderRecordLimit}});
}

bool send_overlong(Line &line, RecordSource &source, long long pause_ns) {
    Segment overlong;
    overlong.pause_before_ns = pause_ns;
    add_record(overlong, make_overlong_body(source.rng));
    return send_segment(line, overlong);
}

void add_noise(Line &line, RecordSource &source, Segment &part) {
    const std::string noise =
        make_noise(source.rng, random_between(source.rng, ShortestNoise, LongestNoise));
    line.tally.noise_bytes += static_cast<long long>(noise.size());
    part.bytes += noise;
}

// Sends the segment in two, the second part after pause_ns: cut falls inside the first
// record's body, so the reader has to join the halves.
bool send_split(Line &line, Segment part, std::size_t cut, long long pause_ns) {
    Segment tail;
    tail.bytes = part.bytes.substr(cut);
    tail.one_write = part.one_write;
    tail.pause_before_ns = pause_ns;
    for (const RecordEnding &ending : part.records_ending) {
        tail.records_ending.push_back({ending.end - cut, ending.record});
    }
    part.bytes.resize(cut);
    part.records_ending.clear();
    return send_segment(line, part) && send_segment(line, tail);
}

} // namespace

bool open_input(RecordSource &source, const char *input_path) {
    if (input_path == nullptr) {
        return true;
    }
    source.input = std::strcmp(input_path, "-") == 0 ? stdin : std::fopen(input_path, "r");
    if (source.input == nullptr) {
        std::fprintf(stderr, "dremlix-sim: cannot read %s: %s\n", input_path, std::strerror(errno));
        return false;
    }
    return true;
}

void send_records(Line &line, RecordSource &source, const SimOptions &options) {
    long index = 0;
    bool first = true;
    for (;;) {
        if (options.count > 0 && index >= options.count) {
            break;
        }
        std::string body;
        if (!next_body(source, body)) {
            break;
        }
        ++index;
        long long pause_ns = first ? 0 : pick_interval_ns(source, options);
        first = false;

        if (every(options.overlong_every, index)) {
            if (!send_overlong(line, source, pause_ns)) {
                return;
            }
            pause_ns = pick_interval_ns(source, options);
        }

        Segment part;
        part.pause_before_ns = pause_ns;
        if (every(options.noise_every, index)) {
            add_noise(line, source, part);
        }
        const std::size_t record_start = part.bytes.size();
        const long first_index = index;
        add_record(part, body);
        if (every(options.pair_every, index) && (options.count == 0 || index < options.count)) {
            std::string second;
            if (next_body(source, second)) {
                ++index;
                add_record(part, second);
                part.one_write = true;
            }
        }
        const bool sent = every(options.split_every, first_index)
                              ? send_split(line, part, record_start + 1 + body.size() / 2,
                                           ns_from_ms(options.split_pause_ms))
                              : send_segment(line, part);
        if (!sent) {
            return;
        }
    }
    flush_held(line);
}
