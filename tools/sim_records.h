// The records the simulator sends: where their bodies come from, and the faults of a real line
// (noise, overlong records, records split by a pause or sent back to back) that the options
// mix in.
#ifndef DREMLIX_SIM_RECORDS_H
#define DREMLIX_SIM_RECORDS_H

#include "card_gen.h"
#include "sim_line.h"
#include "sim_options.h"

#include <cstdio>

struct RecordSource {
    FILE *input = nullptr; // bodies a line each, or nullptr to generate cards
    CardRandom rng{};      // the generated cards, and every gap and fault drawn at random
};

// Opens the file named by --input ("-" is standard input) when there is one; false after
// telling the user why it cannot be read.
bool open_input(RecordSource &source, const char *input_path);

// Sends records until the count, the input or the command runs out.
void send_records(Line &line, RecordSource &source, const SimOptions &options);

#endif
