// Hands select_port arbitrary command lines of any length and checks the port it picks.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// The tool's entry file, with its main renamed; the fuzzer brings its own.
#define main dremlix_main
#include "../../src/main.cpp"
#undef main

// main.cpp refers to the serial link; the fuzzer never runs it.
HANDLE PortHandle = INVALID_HANDLE_VALUE;
int open_port() {
    std::abort();
}
void receive_loop() {
    std::abort();
}
void close_port() {
    std::abort();
}

namespace {

// The line as Windows hands it over: zero-terminated, in memory of exactly that size so a
// read past the terminator is caught.
char *Line = nullptr;

// The rule, written out plainly: the character after the first blank picks COM2..COM8, and
// everything else is COM1.
std::string expected_port(const char *line) {
    const char *blank = std::strchr(line, ' ');
    if (blank != nullptr && blank[1] >= '2' && blank[1] <= '8') {
        return std::string("COM") + blank[1];
    }
    return "COM1";
}

} // namespace

char *GetCommandLineA(void) {
    return Line;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::unique_ptr<char[]> line(new char[size + 1]);
    std::memcpy(line.get(), data, size);
    line[size] = '\0';
    Line = line.get();

    // A pick that writes nothing must not pass for a right one.
    std::memset(PortName, 'X', sizeof PortName);
    select_port();
    Line = nullptr;

    if (std::memchr(PortName, '\0', sizeof PortName) == nullptr) {
        std::fprintf(stderr, "PortName is not terminated\n");
        std::abort();
    }
    std::string picked = PortName;
    std::string expected = expected_port(line.get());
    bool valid = picked.size() == 4 && picked.compare(0, 3, "COM") == 0 && picked[3] >= '1' &&
                 picked[3] <= '8';
    if (!valid || picked != expected) {
        std::fprintf(stderr, "picked %s, the rule says %s\n", picked.c_str(), expected.c_str());
        std::abort();
    }
    return 0;
}
