// Feeds arbitrary bytes, cut into arbitrary chunks, through the record framer and checks what it
// printed against a plain model of the framing rules. The cut points come from the input's
// tail, the bytes from its head, so the fuzzer can change one without disturbing the other.
#include "record_framer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the reader's framing rules say should be printed, written without regard to how the
// framer stores things: an unbounded string and an explicit count.
struct Model {
    enum { Idle, InRecord, Printed } state = Idle;
    std::string text; // every character received since the start, kept or not
    long length = 0;
    std::string printed;

    void reset() {
        state = Idle;
        text.clear();
        length = 0;
    }

    // What a record shows: the text up to its first zero byte, and no more than the buffer
    // holds.
    static std::string shown(const std::string &text) {
        std::string visible = text.substr(0, text.find('\0'));
        return visible.substr(0, RecordCapacity);
    }

    void feed(const std::string &chunk) {
        for (char c : chunk) {
            if (c == ';') {
                reset();
                state = InRecord;
            } else if (c == '?') {
                if (state != Printed) {
                    printed += "\n" + shown(text);
                }
                state = Printed;
            } else if (state == InRecord) {
                text += c;
                length++;
            }
        }
        if (length > RecordLimit) {
            reset();
        }
    }
};

// The framer prints to standard output; it goes to an in-memory file that each input empties.
int Captured = -1;

void capture_stdout() {
    Captured = memfd_create("framer-output", MFD_CLOEXEC);
    if (Captured < 0 || dup2(Captured, STDOUT_FILENO) < 0) {
        std::perror("capturing standard output");
        std::abort();
    }
}

void clear_captured() {
    std::fflush(stdout);
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
        std::abort();
    }
}

std::string captured() {
    std::fflush(stdout);
    struct stat info {};
    fstat(Captured, &info);
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    if (!text.empty() &&
        pread(Captured, &text[0], text.size(), 0) != static_cast<ssize_t>(text.size())) {
        std::abort();
    }
    return text;
}

// Shows where the framer and the model part ways, on standard error, then stops the run so
// the fuzzer keeps the input.
void mismatch(const std::string &got, const std::string &expected) {
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) {
        at++;
    }
    std::fprintf(stderr,
                 "framer printed %zu bytes, the rules say %zu; first difference at byte %zu\n",
                 got.size(), expected.size(), at);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    capture_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    clear_captured();
    Model model;
    reset_record();
    while (input.remaining_bytes() > 0) {
        // 0 to 256 bytes per chunk, as one read can bring; 257 starts a new receive loop.
        int cut = input.ConsumeIntegralInRange<int>(0, 257);
        if (cut == 257) {
            reset_record();
            model.reset();
            continue;
        }
        std::string bytes = input.ConsumeBytesAsString(static_cast<std::size_t>(cut));
        // A buffer of exactly the chunk's size, so a read past its end is caught.
        std::unique_ptr<char[]> chunk(new char[bytes.size()]);
        std::memcpy(chunk.get(), bytes.data(), bytes.size());
        feed_chunk(chunk.get(), static_cast<int>(bytes.size()));
        model.feed(bytes);
    }
    std::string got = captured();
    if (got != model.printed) {
        mismatch(got, model.printed);
    }
    return 0;
}
