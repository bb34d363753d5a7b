// Runs the serial link's receive loop over the scripted driver with a line and a driver that
// the input makes up: bytes arriving at any moment, reads that fail or stay pending, waits that
// fail or report stale events, Windows-under-Wine behaviour, a break. (A wait kept pending over
// events already there is left out: the scripted driver would hold it until the next happening,
// which no real driver does.) The framer is replaced by a recorder of the chunks the
// loop hands over, which must add up to exactly the bytes that arrived, in order, once each.
#include "fake_driver.h"
#include "record_framer.h"
#include "serial_link.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Delivered;
int Resets = 0;
bool ChunkTooLong = false;

// Reports a broken rule on standard error and stops the run so the fuzzer keeps the input.
void broken(const char *rule) {
    std::fprintf(stderr, "broken: %s\n", rule);
    std::abort();
}

struct Script {
    std::string arrived;
    long last = 0;
    // Time the twists may cost the loop before all bytes are read: a pause for each failed
    // call, the delay of each pending read.
    long slack = 1000;
    bool line_break = false;
};

Script make_line(FuzzedDataProvider &input, fake::Driver &line) {
    using fake::Call;
    using fake::Twist;
    Script script;
    line.wine = input.ConsumeBool();
    long at = 0;
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: {
            at += input.ConsumeIntegralInRange<long>(0, 300);
            std::string bytes = input.ConsumeRandomLengthString(700);
            line.arrive(at, bytes);
            script.arrived += bytes;
            break;
        }
        case 1: {
            long delay = input.ConsumeIntegralInRange<long>(0, 400);
            line.twist(Call::ReadFile, Twist::Pending, delay);
            script.slack += delay + 100;
            break;
        }
        case 2:
            line.twist(Call::ReadFile, Twist::Fail);
            script.slack += 150;
            break;
        case 3:
            line.twist(Call::ClearCommError, Twist::Fail);
            script.slack += 150;
            break;
        case 4:
            line.twist(Call::WaitCommEvent, Twist::Fail);
            script.slack += 150;
            break;
        case 5:
            // A driver may report characters that another read has already taken.
            line.twist(Call::WaitCommEvent, Twist::Events, 0, EV_RXCHAR);
            script.slack += 150;
            break;
        case 6: {
            const Call calls[] = {Call::WaitCommEvent, Call::ClearCommError, Call::ReadFile,
                                  Call::ResetEvent};
            Call call = calls[input.ConsumeIntegralInRange<int>(0, 3)];
            int first = input.ConsumeIntegralInRange<int>(1, 60);
            int times = input.ConsumeIntegralInRange<int>(1, 4);
            line.fail(call, first, times);
            script.slack += 150 * times;
            break;
        }
        case 7:
            if (!script.line_break) {
                script.line_break = true;
                line.line_break(at + input.ConsumeIntegralInRange<long>(0, 300));
            }
            break;
        }
    }
    script.last = at + 300;
    return script;
}

} // namespace

// main.cpp keeps the port name; it is not part of this target.
char PortName[5];

// The framer's entry points, recording instead of framing.
void reset_record() {
    Resets++;
}

void feed_chunk(const char *chunk, int count) {
    if (count < 0 || count > 256) {
        ChunkTooLong = true;
        return;
    }
    Delivered.append(chunk, static_cast<std::size_t>(count));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fake::reset();
    fake::Driver &line = fake::driver();
    Script script = make_line(input, line);
    // Late enough that every byte has had its chance to be read.
    const long key_at = script.last + script.slack;
    line.key(key_at);

    Delivered.clear();
    Resets = 0;
    ChunkTooLong = false;
    std::strcpy(PortName, "COM3");
    PortHandle = INVALID_HANDLE_VALUE;
    if (open_port() != 1) {
        broken("the port did not open");
    }
    receive_loop();
    close_port();

    if (ChunkTooLong) {
        broken("a chunk of more than 256 bytes, or fewer than none");
    }
    if (Resets != 1) {
        broken("the framer was not reset exactly once, at the start");
    }
    if (line.runaway) {
        broken("the loop never noticed the key press");
    }
    if (line.overlapped_misuse != 0) {
        broken("a wait and a read were outstanding on the one wait control at once");
    }
    for (DWORD pause : line.sleeps()) {
        if (pause != 50 && pause != 100) {
            broken("a pause of neither 50 nor 100 ms");
        }
    }
    if (PortHandle != INVALID_HANDLE_VALUE) {
        broken("the port was left open");
    }
    if (script.arrived.compare(0, Delivered.size(), Delivered) != 0 ||
        Delivered.size() > script.arrived.size()) {
        broken("handed over bytes that did not arrive, or out of order");
    }
    if (!script.line_break) {
        if (Delivered != script.arrived) {
            std::fprintf(stderr, "%zu of %zu bytes handed over\n", Delivered.size(),
                         script.arrived.size());
            broken("bytes that arrived were never handed over");
        }
        if (line.now < key_at || line.now > key_at + 300) {
            broken("the loop did not end on the key press");
        }
    }
    return 0;
}
