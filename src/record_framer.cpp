#include "record_framer.h"

#include <cstdio>
#include <cstring>

// One receive loop runs at a time, and it owns this for its whole run.
static RecordFramer Framer;

void reset_record() {
    std::memset(Framer.buffer, 0, sizeof Framer.buffer);
    Framer.length = 0;
    Framer.state = Idle;
}

static void start_record() {
    reset_record();
    Framer.state = InRecord;
}

static void store_character(char c) {
    // Past the capacity the characters are counted but not kept: the count still decides
    // whether an overlong record is dropped at the chunk's end, and the buffer keeps its zero.
    if (Framer.length < RecordCapacity) {
        Framer.buffer[Framer.length] = c;
    }
    Framer.length++;
}

static void print_record() {
    std::printf("\n%s", Framer.buffer);
    // Whoever reads a pipe or file of our output sees each card as it is read, and a Ctrl+C
    // that ends the process without flushing loses nothing already printed.
    std::fflush(stdout);
}

void feed_chunk(const char *chunk, int count) {
    for (int i = 0; i < count; i++) {
        char c = chunk[i];
        if (c == RecordStart) {
            start_record();
        } else if (c == RecordEnd) {
            // A second end character after a print is line noise, not a second card.
            if (Framer.state != Printed) {
                print_record();
            }
            Framer.state = Printed;
        } else if (Framer.state == InRecord) {
            store_character(c);
        }
    }
    if (Framer.length > RecordLimit) {
        reset_record();
    }
}
