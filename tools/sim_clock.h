// Time for the simulator: the monotonic clock every schedule and log line is kept on, sleeping
// on it, and the stop that a signal asks for.
#ifndef DREMLIX_SIM_CLOCK_H
#define DREMLIX_SIM_CLOCK_H

#include <csignal>

const long long NanosPerSecond = 1000000000LL;
const long long NanosPerMilli = 1000000LL;

// Set by SIGINT or SIGTERM (whichever the simulator listens to): every wait ends early on it.
extern volatile sig_atomic_t StopRequested;

void on_stop_signal(int);

// CLOCK_MONOTONIC in nanoseconds: the clock of the record log, so that another program can
// set its own readings of the same clock beside ours.
long long monotonic_ns();

long long ns_from_ms(long ms);

// Sleeps until the monotonic clock reads deadline, or until a stop is asked for.
void sleep_until_ns(long long deadline);

#endif
