// Every platform call the serial link makes may fail. Whichever one does, the tool must not
// crash, must not invent bytes or repeat old ones, must pause rather than spin, and must still
// end on a key press with the port closed.
#include "fake_driver.h"
#include "tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using fake::Call;
using fake::Driver;
using fake::Twist;

const long KeyAt = 1500;
// Generous: the tool notices a key within one pause, and a pause is at most 100 ms.
const long EndsBy = KeyAt + 300;

// Every record the line delivers in the scenario below, as printed.
const char AllRecords[] = "\n111\n2222222\n33";

// The line every case runs over. The second record is longer than the first, so a read that
// hands over its old buffer shows; the queue count before the third record is larger than the
// third's bytes, so a read sized by an old count asks for bytes that never come.
void schedule_line(Driver &line) {
    line.arrive(0, ";111?");
    line.arrive(300, ";2222222?");
    line.arrive(600, ";33");
    line.arrive(700, "?");
    line.key(KeyAt);
}

struct Fault {
    const char *name;
    void (*arrange)(Driver &line);
    std::string printed;
};

void PrintTo(const Fault &fault, std::ostream *out) {
    *out << fault.name;
}

// A call that returned FALSE, the pause the tool must take before its next try, and whether it
// asks for a key before that pause or after it. A key pressed while the line is idle is seen
// before the long pause; one pressed during a read's short pause is seen at its end.
struct AfterFailure {
    DWORD pause;
    bool poll_first;
};
const std::map<Call, AfterFailure> PauseAfterFailure = {{Call::WaitCommEvent, {100, true}},
                                                        {Call::ReadFile, {50, false}},
                                                        {Call::ClearCommError, {50, false}}};

const char *name_of(Call call) {
    switch (call) {
    case Call::WaitCommEvent:
        return "WaitCommEvent";
    case Call::ReadFile:
        return "ReadFile";
    case Call::ClearCommError:
        return "ClearCommError";
    case Call::Sleep:
        return "Sleep";
    case Call::KeyPoll:
        return "the key poll";
    default:
        return "another call";
    }
}

bool loop_call(Call call) {
    return call == Call::WaitCommEvent || call == Call::ReadFile || call == Call::ClearCommError ||
           call == Call::Sleep || call == Call::KeyPoll;
}

class Faults : public testing::TestWithParam<Fault> {
  protected:
    Driver &line() {
        return fake::driver();
    }

    void SetUp() override {
        fake::reset();
        PortHandle = INVALID_HANDLE_VALUE;
    }

    // Runs the whole program on COM3; returns what it printed after its banner.
    std::string run_program(int *code) {
        line().command_line = "dremlix 3";
        char program[] = "dremlix";
        char argument[] = "3";
        char *argv[] = {program, argument, nullptr};
        testing::internal::CaptureStdout();
        *code = dremlix_main(2, argv, nullptr);
        std::string printed = testing::internal::GetCapturedStdout();
        const std::string port_line = "\nPort:COM3\n";
        std::size_t banner_end = printed.find(port_line);
        EXPECT_NE(banner_end, std::string::npos) << printed;
        return banner_end == std::string::npos ? printed
                                               : printed.substr(banner_end + port_line.size());
    }
};

TEST_P(Faults, ToolCarriesOnAndEndsOnAKeyWithThePortClosed) {
    schedule_line(line());
    GetParam().arrange(line());
    int code = -1;
    std::string printed = run_program(&code);

    EXPECT_EQ(code, 0);
    EXPECT_EQ(printed, GetParam().printed) << "records lost, invented or repeated";
    EXPECT_FALSE(line().runaway) << "the loop never noticed the key press";
    EXPECT_EQ(line().overlapped_misuse, 0)
        << "a wait and a read were outstanding on the one wait control at once";
    EXPECT_GE(line().now, KeyAt);
    EXPECT_LE(line().now, EndsBy) << "the key press was noticed late";

    const std::vector<fake::Record> &calls = line().calls;
    std::map<long, int> operations_at;
    for (std::size_t i = 0; i < calls.size(); i++) {
        const fake::Record &call = calls[i];
        if (call.call == Call::ReadFile) {
            EXPECT_LE(call.asked, call.queued)
                << "read at " << call.at << " asked for bytes the driver did not hold";
        }
        if (call.call == Call::Sleep) {
            EXPECT_TRUE(call.ms == 50 || call.ms == 100) << "slept " << call.ms << " ms";
        }
        if (call.call == Call::WaitCommEvent || call.call == Call::ReadFile) {
            operations_at[call.at]++;
        }
        auto pause = PauseAfterFailure.find(call.call);
        if (pause == PauseAfterFailure.end() || call.result) {
            continue;
        }
        // After a FALSE the loop pauses and asks for a key, in the order the call calls for;
        // only a key found before the pause ends the loop without it.
        std::vector<const fake::Record *> after;
        for (std::size_t next = i + 1; next < calls.size() && after.size() < 2; next++) {
            if (loop_call(calls[next].call)) {
                after.push_back(&calls[next]);
            }
        }
        const std::vector<Call> expected = pause->second.poll_first
                                               ? std::vector<Call>{Call::KeyPoll, Call::Sleep}
                                               : std::vector<Call>{Call::Sleep, Call::KeyPoll};
        for (std::size_t step = 0; step < after.size(); step++) {
            EXPECT_EQ(after[step]->call, expected[step])
                << name_of(after[step]->call) << " where " << name_of(expected[step])
                << " belongs, after " << name_of(call.call) << " returned FALSE at " << call.at;
            if (after[step]->call == Call::Sleep) {
                EXPECT_EQ(after[step]->ms, pause->second.pause)
                    << "the pause after " << name_of(call.call) << " returned FALSE at " << call.at;
            }
        }
        EXPECT_TRUE(after.size() == 2 || (after.size() == 1 && pause->second.poll_first))
            << "the loop ended without its pause after " << name_of(call.call) << " at " << call.at;
    }
    for (const auto &moment : operations_at) {
        // A normal pass waits, reads and waits again; a spin would make thousands.
        EXPECT_LE(moment.second, 4) << "waits and reads without a pause at " << moment.first;
    }

    std::vector<Call> sequence = line().sequence();
    auto escape = std::find(sequence.begin(), sequence.end(), Call::EscapeCommFunction);
    ASSERT_NE(escape, sequence.end()) << "no break was raised on the way out";
    const fake::Record &break_call = calls[escape - sequence.begin()];
    EXPECT_EQ(break_call.function, static_cast<DWORD>(SETBREAK));
    EXPECT_EQ(break_call.handle, reinterpret_cast<HANDLE>(0x100));
    auto close = std::find(escape, sequence.end(), Call::CloseHandle);
    ASSERT_NE(close, sequence.end()) << "the port was not closed after the break";
    EXPECT_EQ(calls[close - sequence.begin()].handle, reinterpret_cast<HANDLE>(0x100));
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, Faults,
    testing::Values(
        Fault{"GetCommState", [](Driver &line) { line.fail(Call::GetCommState); }, AllRecords},
        Fault{"SetCommState", [](Driver &line) { line.fail(Call::SetCommState); }, AllRecords},
        Fault{"SetupComm", [](Driver &line) { line.fail(Call::SetupComm); }, AllRecords},
        Fault{"SetCommMask", [](Driver &line) { line.fail(Call::SetCommMask); }, AllRecords},
        Fault{"WaitCommEvent_always",
              [](Driver &line) { line.fail(Call::WaitCommEvent, 1, Driver::Always); }, AllRecords},
        Fault{"CreateEventA", [](Driver &line) { line.fail(Call::CreateEventA); }, AllRecords},
        Fault{"ResetEvent_always",
              [](Driver &line) { line.fail(Call::ResetEvent, 1, Driver::Always); }, AllRecords},
        // The count before the third record fails: the old count is larger than the bytes now
        // queued.
        Fault{"ClearCommError_once", [](Driver &line) { line.fail(Call::ClearCommError, 3); },
              AllRecords},
        // Without a count nothing can be read safely, and nothing is.
        Fault{"ClearCommError_always",
              [](Driver &line) { line.fail(Call::ClearCommError, 1, Driver::Always); }, ""},
        // The last read of the run: nothing arrives after it to announce the bytes again.
        Fault{"ReadFile_failed_last", [](Driver &line) { line.fail(Call::ReadFile, 4); },
              AllRecords},
        Fault{"ReadFile_failed_twice", [](Driver &line) { line.fail(Call::ReadFile, 2, 2); },
              AllRecords},
        Fault{"ReadFile_always", [](Driver &line) { line.fail(Call::ReadFile, 1, Driver::Always); },
              ""},
        Fault{"ReadFile_pending",
              [](Driver &line) {
                  line.twist(Call::ReadFile, Twist::Pending, 0);
                  line.twist(Call::ReadFile, Twist::Pending, 120);
              },
              AllRecords},
        Fault{"WaitCommEvent_after_the_first",
              [](Driver &line) { line.fail(Call::WaitCommEvent, 2, Driver::Always); }, AllRecords},
        Fault{"EscapeCommFunction", [](Driver &line) { line.fail(Call::EscapeCommFunction); },
              AllRecords},
        Fault{"CloseHandle_of_the_port", [](Driver &line) { line.fail(Call::CloseHandle); },
              AllRecords}),
    [](const testing::TestParamInfo<Fault> &info) { return std::string(info.param.name); });

// Drivers that ignore the queue size asked for (USB adapters, Wine over a Linux tty) may hold
// more than one read takes, and they announce only bytes that arrive later: the rest must be
// read without waiting for another card.
TEST(LargeQueue, BytesBeyondOneReadAreReadWithoutWaitingForMore) {
    fake::reset();
    std::strcpy(PortName, "COM3");
    PortHandle = INVALID_HANDLE_VALUE;
    Driver &line = fake::driver();
    line.arrive(0, std::string(254, 'x') + ";55555?");
    line.key(1000);
    ASSERT_EQ(open_port(), 1);
    testing::internal::CaptureStdout();
    receive_loop();
    std::string printed = testing::internal::GetCapturedStdout();
    close_port();
    EXPECT_EQ(printed, "\n55555") << "the record's end stayed queued";
}

} // namespace
