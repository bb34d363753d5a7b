// The record framer alone, on a stream shaped like a busy reader line: track-2 cards
// with some noise and the odd overlong record, cut into the chunk sizes the tool reads.
// memchr over the same chunks is the floor any byte-scanning framer is measured against.

#include "card_gen.h"
#include "record_framer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const std::string &line_stream() {
    static const std::string stream = [] {
        CardRandom rng{};
        seed_rng(rng, 2024);
        std::string bytes;
        long index = 0;
        while (bytes.size() < (4u << 20)) {
            ++index;
            if (index % 3 == 0)
                bytes += make_noise(rng, random_between(rng, 1, 16));
            if (index % 11 == 0)
                bytes += frame_record(make_overlong_body(rng));
            bytes += frame_record(make_track2_body(rng));
        }
        return bytes;
    }();
    return stream;
}

// Feeds the whole stream in chunks of chunk_size (the last one shorter).
void feed_stream(const std::string &stream, int chunk_size) {
    const char *data = stream.data();
    const std::size_t total = stream.size();
    for (std::size_t at = 0; at < total; at += static_cast<std::size_t>(chunk_size)) {
        const std::size_t left = total - at;
        const int count =
            left < static_cast<std::size_t>(chunk_size) ? static_cast<int>(left) : chunk_size;
        feed_chunk(data + at, count);
    }
}

void framer_feed_chunk(benchmark::State &state) {
    const std::string &stream = line_stream();
    const int chunk_size = static_cast<int>(state.range(0));
    reset_record();
    for (auto _ : state)
        feed_stream(stream, chunk_size);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
}

// Finds every end sentinel, chunk by chunk: touching each byte once with the fastest
// scan the C library has.
void memchr_same_chunks(benchmark::State &state) {
    const std::string &stream = line_stream();
    const std::size_t chunk_size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::size_t found = 0;
        for (std::size_t at = 0; at < stream.size(); at += chunk_size) {
            const std::size_t left = stream.size() - at;
            const std::size_t count = left < chunk_size ? left : chunk_size;
            const char *p = stream.data() + at;
            const char *end = p + count;
            while (p < end) {
                const void *hit = std::memchr(p, '?', static_cast<std::size_t>(end - p));
                if (hit == nullptr)
                    break;
                ++found;
                p = static_cast<const char *>(hit) + 1;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
}

// 96: what a 100 ms wakeup collects at 9600 baud; 256: the largest chunk the tool reads.
BENCHMARK(framer_feed_chunk)->Arg(96)->Arg(256);
BENCHMARK(memchr_same_chunks)->Arg(96)->Arg(256);

} // namespace

int main(int argc, char **argv) {
    // The framer prints each record and flushes; into /dev/null that costs the same
    // library calls as in real use without measuring a terminal. The table goes to
    // stderr instead; --benchmark_out=FILE still writes its file.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::ConsoleReporter console;
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
