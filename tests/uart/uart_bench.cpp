// Loss at line rate through the emulated PC's 16550 UART and Debian's serial driver: records
// back to back, each byte written when a 9600-baud line would carry it, then a break to end
// the tool. Prints a Markdown table row for BENCHMARKS.md; nothing here passes or fails.
//
//   dremlix_uart_bench [RECORDS]      (1000 by default)
#include "emulated_pc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Distinct records in the reader's track-2 shape, so that each printed line names its record.
std::string record(int number) {
    char text[64];
    std::snprintf(text, sizeof text, ";4%015d=25121015432112345678?", number);
    return text;
}

} // namespace

int main(int argc, char **argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: %s [RECORDS]\n", argv[0]);
        return 2;
    }
    uart::EmulatedPc pc;
    if (!pc.boot()) {
        std::fprintf(stderr, "the emulated PC did not boot: %s\n", pc.failure().c_str());
        return 1;
    }
    std::string sent;
    std::set<std::string> expected;
    for (int i = 0; i < count; i++) {
        std::string one = record(i);
        sent += one;
        expected.insert(one.substr(1, one.size() - 2));
    }
    if (pc.ask("start line").word != "started") {
        std::fprintf(stderr, "the tool did not start in the emulated PC\n");
        return 1;
    }
    auto start = Clock::now();
    pc.send(sent, 9600);
    double line_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pc.pause(uart::Millis(500));
    pc.send_break();
    uart::Answer end = pc.ask("finish 300", uart::Millis(120000));
    uart::Answer counters = pc.ask("counters");
    if (end.word != "ended") {
        std::fprintf(stderr, "the tool did not end at the break (%s)\n", end.word.c_str());
        return 1;
    }

    std::map<std::string, int> printed;
    int lines = 0;
    int not_sent = 0;
    bool after_port_line = false;
    for (const std::string &line : end.output) {
        if (after_port_line && !line.empty()) {
            lines++;
            if (expected.count(line) != 0) {
                printed[line]++;
            } else {
                not_sent++;
            }
        }
        after_port_line = after_port_line || line == "Port:COM2";
    }
    int duplicated = 0;
    for (const auto &entry : printed) {
        duplicated += entry.second - 1;
    }
    int lost = count - static_cast<int>(printed.size());
    std::printf("| sent | printed | lost | duplicated | not sent | line time |\n");
    std::printf("| ---: | ---: | ---: | ---: | ---: | ---: |\n");
    std::printf("| %d | %d | %d | %d | %d | %.1f s for %zu bytes |\n", count, lines, lost,
                duplicated, not_sent, line_seconds, sent.size());
    std::printf("\nThe emulated PC reached /init in %.1f s; the tool ended with status %s.\n"
                "The driver's counters for the line: %s\n",
                pc.boot_seconds(), end.rest.c_str(), counters.rest.c_str());
    return 0;
}
