// Cuts card records out of the bytes the reader sends and prints each one as it completes.
#ifndef DREMLIX_RECORD_FRAMER_H
#define DREMLIX_RECORD_FRAMER_H

// The reader frames each card as ';' text '?'.
const char RecordStart = ';';
const char RecordEnd = '?';

// Records with more characters than this still open at the end of a chunk are dropped.
const int RecordLimit = 64;

// The record buffer keeps RecordCapacity characters and always a terminating zero.
const int RecordBufferSize = 128;
const int RecordCapacity = RecordBufferSize - 1;

enum RecordState { Idle = 0, InRecord = 1, Printed = 2 };

struct RecordFramer {
    char buffer[RecordBufferSize];
    int length;
    RecordState state;
};

// Forgets any partial record and returns to Idle.
void reset_record();

// Frames one chunk of received bytes (0 to 256 of them); the framer keeps its state between
// chunks, so a record may arrive in any number of pieces.
void feed_chunk(const char *chunk, int count);

#endif
