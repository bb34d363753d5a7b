#include "sim_clock.h"

#include <cerrno>
#include <ctime>

volatile sig_atomic_t StopRequested = 0;

void on_stop_signal(int) {
    StopRequested = 1;
}

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * NanosPerSecond + now.tv_nsec;
}

long long ns_from_ms(long ms) {
    return ms * NanosPerMilli;
}

void sleep_until_ns(long long deadline) {
    timespec when{};
    when.tv_sec = static_cast<time_t>(deadline / NanosPerSecond);
    when.tv_nsec = static_cast<long>(deadline % NanosPerSecond);
    // An absolute deadline survives interruptions: a signal that is not a stop just sleeps on.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        if (StopRequested) {
            return;
        }
    }
}
