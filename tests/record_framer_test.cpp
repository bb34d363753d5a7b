#include "tool.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// Feeds each chunk in turn to a freshly reset framer and returns what it printed.
std::string frame(const std::vector<std::string> &chunks) {
    testing::internal::CaptureStdout();
    reset_record();
    for (const std::string &chunk : chunks) {
        feed_chunk(chunk.data(), static_cast<int>(chunk.size()));
    }
    return testing::internal::GetCapturedStdout();
}

struct FramingCase {
    const char *name;
    std::vector<std::string> chunks;
    std::string printed;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const FramingCase &c, std::ostream *out) {
    *out << c.name;
}

std::string digits(int count) {
    std::string text;
    for (int i = 0; i < count; i++) {
        text += static_cast<char>('0' + i % 10);
    }
    return text;
}

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, PrintsWhatTheReaderSent) {
    EXPECT_EQ(frame(GetParam().chunks), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Framing,
    testing::Values(
        FramingCase{"whole_record", {";123=45?"}, "\n123=45"},
        FramingCase{"split_over_chunks", {";12", "3?"}, "\n123"},
        FramingCase{"split_with_empty_chunk_between", {";1", "", "2?"}, "\n12"},
        FramingCase{"noise_before_start", {"ab;1?"}, "\n1"},
        FramingCase{"second_start_restarts", {";12;34?"}, "\n34"},
        FramingCase{"empty_chunk", {""}, ""}, FramingCase{"end_before_any_start", {"?"}, "\n"},
        FramingCase{"bytes_kept_as_sent", {std::string(";a\r\nb\xff\x01?")}, "\na\r\nb\xff\x01"},
        FramingCase{"zero_byte_ends_text",
                    {std::string(";12\0"
                                 "34?",
                                 7)},
                    "\n12"},
        FramingCase{"open_record_never_printed", {";123"}, ""}),
    [](const testing::TestParamInfo<FramingCase> &info) { return info.param.name; });

// Records that share a chunk with another, or an end character that repeats: each card is
// printed exactly once.
INSTANTIATE_TEST_SUITE_P(
    OneLinePerCard, Framing,
    testing::Values(FramingCase{"two_records_in_one_chunk", {";1?;2?"}, "\n1\n2"},
                    FramingCase{"bytes_after_end_ignored", {";1?xyz;2?tail"}, "\n1\n2"},
                    FramingCase{"repeated_end_in_next_chunk", {";1?", "?"}, "\n1"},
                    FramingCase{"repeated_end_in_same_chunk", {";1??"}, "\n1"},
                    FramingCase{"record_after_repeated_end", {";1?", "?;2?"}, "\n1\n2"}),
    [](const testing::TestParamInfo<FramingCase> &info) { return info.param.name; });

// Over 64 characters still open at a chunk's end is line noise, not a card.
INSTANTIATE_TEST_SUITE_P(
    LengthLimit, Framing,
    testing::Values(
        FramingCase{"exactly_64_across_chunks", {";" + digits(64), "?"}, "\n" + digits(64)},
        FramingCase{"65_open_at_chunk_end", {";" + digits(65), "x?"}, "\n"},
        FramingCase{"100_in_one_chunk", {";" + digits(100) + "?"}, "\n" + digits(100)},
        // The reset after the long record leaves the framer idle, where an end character
        // prints an empty record.
        FramingCase{
            "reset_after_long_record", {";" + digits(100) + "?", "?"}, "\n" + digits(100) + "\n"},
        FramingCase{"overlong_after_printed_record", {";1?;" + digits(70), "?"}, "\n1\n"},
        FramingCase{"new_record_after_long_one_in_chunk",
                    {";" + digits(80) + "?;12", "3?"},
                    "\n" + digits(80) + "\n123"}),
    [](const testing::TestParamInfo<FramingCase> &info) { return info.param.name; });

// One chunk can carry a record longer than the buffer: it keeps what fits, and the printed
// text ends inside the buffer.
TEST(FramingLongRecords, RecordLongerThanBufferKeepsWhatFits) {
    std::string body = digits(250);
    std::string printed = frame({";" + body + "?"});
    EXPECT_EQ(printed, "\n" + body.substr(0, RecordCapacity));
}

TEST(FramingLongRecords, RecordLongerThanBufferDoesNotDisturbTheNext) {
    std::string printed = frame({";" + digits(200), "?;77?"});
    EXPECT_EQ(printed, "\n\n77");
}

} // namespace
