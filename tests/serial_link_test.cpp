#include "fake_driver.h"
#include "tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using fake::Call;
using fake::Twist;
using testing::Each;
using testing::ElementsAre;

const char Banner[] = "\nReading Data From CipherLab 1023 Card Reader"
                      "\nUse: Dremlix X,where X is Com port number(1-8), default = 1"
                      "\nPress any key to terminate the programm."
                      "\nDremlix card reader console " DREMLIX_VERSION ", made by the Dremlix team."
                      "\nPort:COM3\n";

fake::Driver &line() {
    return fake::driver();
}

class SerialLink : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        std::strcpy(PortName, "COM3");
        PortHandle = INVALID_HANDLE_VALUE;
    }

    void TearDown() override {
        EXPECT_FALSE(line().runaway) << "the loop never noticed the key press";
        EXPECT_EQ(line().overlapped_misuse, 0)
            << "a wait and a read were outstanding on the one wait control at once";
    }

    // Opens the port, runs the loop until it stops, closes the port; returns what the loop
    // printed.
    std::string run_loop() {
        EXPECT_EQ(open_port(), 1);
        testing::internal::CaptureStdout();
        receive_loop();
        std::string printed = testing::internal::GetCapturedStdout();
        close_port();
        return printed;
    }

    // Runs the whole program with the given command line; returns its exit code.
    int run_program(const char *command_line, std::string *printed) {
        line().command_line = command_line;
        char program[] = "dremlix";
        char argument[] = "3";
        char *argv[] = {program, argument, nullptr};
        testing::internal::CaptureStdout();
        int code = dremlix_main(2, argv, nullptr);
        *printed = testing::internal::GetCapturedStdout();
        return code;
    }
};

TEST_F(SerialLink, OpenPortAsksForExclusiveOverlappedUseAt9600_8N1) {
    DCB reported{};
    reported.DCBlength = sizeof reported;
    reported.BaudRate = 19200;
    reported.ByteSize = 7;
    reported.Parity = EVENPARITY;
    reported.StopBits = TWOSTOPBITS;
    reported.fBinary = TRUE;
    reported.fOutxCtsFlow = TRUE;
    reported.fRtsControl = RTS_CONTROL_HANDSHAKE;
    reported.XonChar = 0x11;
    reported.XoffChar = 0x13;
    line().reported = reported;

    ASSERT_EQ(open_port(), 1);
    EXPECT_NE(PortHandle, INVALID_HANDLE_VALUE);
    EXPECT_THAT(line().sequence(),
                ElementsAre(Call::CreateFileA, Call::GetCommState, Call::SetupComm,
                            Call::SetCommState, Call::SetCommMask));

    const fake::Record &open = *line().first(Call::CreateFileA);
    EXPECT_EQ(open.text, "COM3");
    EXPECT_EQ(open.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.share_mode, 0u) << "the port must not be shared";
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.flags, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(open.pointer, nullptr);

    const fake::Record &queues = *line().first(Call::SetupComm);
    EXPECT_EQ(queues.input_queue, 256u);
    EXPECT_EQ(queues.output_queue, 256u);
    EXPECT_EQ(line().first(Call::SetCommMask)->mask, 0x41u);

    const DCB &given = line().first(Call::SetCommState)->dcb;
    EXPECT_EQ(given.BaudRate, 9600u);
    EXPECT_EQ(given.ByteSize, 8);
    EXPECT_EQ(given.Parity, NOPARITY);
    EXPECT_EQ(given.StopBits, ONESTOPBIT);
    // Everything else stays as the driver reported it.
    EXPECT_EQ(given.DCBlength, reported.DCBlength);
    EXPECT_EQ(given.fBinary, 1u);
    EXPECT_EQ(given.fOutxCtsFlow, 1u);
    EXPECT_EQ(given.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(given.XonChar, 0x11);
    EXPECT_EQ(given.XoffChar, 0x13);
}

TEST_F(SerialLink, OpenPortSendsSettingsTheDriverAcceptsWhenItCannotReportAny) {
    line().comm_state_fails = true;
    ASSERT_EQ(open_port(), 1) << "a port that opened counts as open";
    const fake::Record &set = *line().first(Call::SetCommState);
    const DCB &given = set.dcb;
    EXPECT_TRUE(set.result) << "the driver refused the settings, so 9600 8N1 never took";
    EXPECT_EQ(given.DCBlength, sizeof given);
    EXPECT_EQ(given.BaudRate, 9600u);
    EXPECT_EQ(given.ByteSize, 8);
    EXPECT_EQ(given.Parity, NOPARITY);
    EXPECT_EQ(given.StopBits, ONESTOPBIT);
    EXPECT_EQ(given.fBinary, 1u);
    EXPECT_NE(given.XonChar, given.XoffChar);
    // The reader gets the modem lines Windows raises on open.
    EXPECT_EQ(given.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(given.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    // No flow control, and none of the failed report's leftovers.
    EXPECT_EQ(given.fOutxCtsFlow | given.fOutxDsrFlow | given.fDsrSensitivity | given.fOutX |
                  given.fInX | given.fParity | given.fErrorChar | given.fNull | given.fAbortOnError,
              0u);
    EXPECT_EQ(given.ErrorChar, 0);
    EXPECT_EQ(given.EofChar, 0);
    EXPECT_EQ(given.EvtChar, 0);
}

TEST_F(SerialLink, FailedOpenShowsTheBoxAndEndsWithMinusOne) {
    line().open_fails = true;
    std::string printed;
    EXPECT_EQ(run_program("dremlix 3", &printed), -1);
    EXPECT_EQ(printed, Banner) << "the output ends with the port line";
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);

    const fake::Record *box = line().first(Call::MessageBoxA);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text, "Unable to open COM port!");
    EXPECT_EQ(box->caption, "Error!");
    EXPECT_EQ(box->style, MB_OK);
    EXPECT_EQ(box->pointer, reinterpret_cast<void *>(0x300)) << "owned by the active window";
    EXPECT_EQ(line().count(Call::CloseHandle), 0);
    EXPECT_EQ(line().count(Call::EscapeCommFunction), 0);
    EXPECT_EQ(line().count(Call::CreateEventA), 0);
}

TEST_F(SerialLink, WholeRunPrintsRecordsAndClosesThePortAfterAKey) {
    line().arrive(150, ";4111111111111111=2512101?");
    line().arrive(420, ";12");
    line().arrive(480, "3?");
    line().key(900);
    std::string printed;
    EXPECT_EQ(run_program("dremlix 3", &printed), 0);
    EXPECT_EQ(printed, std::string(Banner) + "\n4111111111111111=2512101\n123");

    const fake::Record *escape = line().first(Call::EscapeCommFunction);
    ASSERT_NE(escape, nullptr);
    EXPECT_EQ(escape->function, static_cast<DWORD>(SETBREAK));
    std::vector<Call> calls = line().sequence();
    std::vector<Call> tail(calls.end() - 3, calls.end());
    EXPECT_THAT(tail, ElementsAre(Call::EscapeCommFunction, Call::CloseHandle, Call::CloseHandle))
        << "the break is raised before the port is closed";
    EXPECT_EQ(line().calls[calls.size() - 2].handle, reinterpret_cast<HANDLE>(0x100));
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
}

TEST_F(SerialLink, LoopCreatesAnAutoResetEventAndResetsTheFramer) {
    // A record half received in an earlier run must not leak into this one.
    reset_record();
    feed_chunk(";999", 4);
    line().arrive(0, "1?");
    line().key(300);
    EXPECT_EQ(run_loop(), "\n");
    const fake::Record &event = *line().first(Call::CreateEventA);
    EXPECT_EQ(event.manual_reset, FALSE) << "auto-reset";
    EXPECT_EQ(event.initially_signalled, FALSE) << "not signalled";
    EXPECT_EQ(event.pointer, nullptr);
}

TEST_F(SerialLink, BreakEndsTheLoopEvenWithCharactersWaiting) {
    line().arrive(0, ";1?");
    line().line_break(0);
    EXPECT_EQ(run_loop(), "");
    EXPECT_EQ(line().count(Call::ReadFile), 0);
    EXPECT_EQ(line().count(Call::KeyPoll), 0);
    EXPECT_EQ(line().first(Call::EscapeCommFunction)->function, static_cast<DWORD>(SETBREAK));
}

TEST_F(SerialLink, BreakDuringThePauseEndsTheLoop) {
    line().arrive(120, ";55?");
    line().line_break(330);
    EXPECT_EQ(run_loop(), "\n55");
    EXPECT_LE(line().now, 500);
}

TEST_F(SerialLink, IdleLineMakesOnePassPerHundredMilliseconds) {
    line().key(1000);
    EXPECT_EQ(run_loop(), "");
    EXPECT_THAT(line().sleeps(), Each(100u));
    EXPECT_EQ(line().sleeps().size(), 10u);
    EXPECT_EQ(line().count(Call::ReadFile), 0) << "no wait completed, so nothing is read";
}

TEST_F(SerialLink, WaitThatAlwaysFailsStillPausesAndEndsOnAKey) {
    line().fail(Call::WaitCommEvent, 1, fake::Driver::Always);
    line().key(700);
    EXPECT_EQ(run_loop(), "");
    EXPECT_THAT(line().sleeps(), Each(100u));
    EXPECT_EQ(line().sleeps().size(), 7u);
}

TEST_F(SerialLink, ReportedCharactersOverAnEmptyQueueReadNothing) {
    line().twist(Call::WaitCommEvent, Twist::Events, 0, EV_RXCHAR);
    line().key(0);
    EXPECT_EQ(run_loop(), "");
    ASSERT_EQ(line().count(Call::ReadFile), 1);
    EXPECT_EQ(line().first(Call::ReadFile)->asked, 0u);
}

TEST_F(SerialLink, KeyIsNoticedOnlyAfterACallReturnsFalse) {
    line().arrive(0, ";1?");
    line().key(0);
    for (int i = 0; i < 3; i++) {
        line().twist(Call::WaitCommEvent, Twist::Events, 0, EV_RXCHAR);
    }
    EXPECT_EQ(run_loop(), "\n1");
    EXPECT_EQ(line().count(Call::ReadFile), 3);
    std::vector<Call> calls = line().sequence();
    auto poll = std::find(calls.begin(), calls.end(), Call::KeyPoll);
    EXPECT_EQ(std::count(calls.begin(), poll, Call::ReadFile), 3)
        << "the key was polled while every call returned TRUE";
}

TEST_F(SerialLink, ReadThatReturnsFalsePausesFiftyAndHandsOverWhatArrived) {
    line().arrive(0, ";12345?");
    line().twist(Call::ReadFile, Twist::Pending, 20);
    line().key(400);
    EXPECT_EQ(run_loop(), "\n12345");
    std::vector<DWORD> sleeps = line().sleeps();
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.front(), 50u);
}

TEST_F(SerialLink, ReadStillPendingAfterThePauseIsCollectedLaterOnce) {
    line().arrive(0, ";777?");
    line().twist(Call::ReadFile, Twist::Pending, 120);
    line().key(600);
    EXPECT_EQ(run_loop(), "\n777");
    std::vector<DWORD> sleeps = line().sleeps();
    ASSERT_GE(sleeps.size(), 3u);
    EXPECT_THAT(std::vector<DWORD>(sleeps.begin(), sleeps.begin() + 3), Each(50u));
    for (const fake::Record &record : line().calls) {
        if (record.call == Call::GetOverlappedResult) {
            EXPECT_EQ(record.wait, FALSE) << "the single thread must not block on the line";
        }
    }
}

TEST_F(SerialLink, FailedReadHandsOverNoStaleBytes) {
    line().arrive(0, ";111?");
    // Longer than the first, so a read that hands over the buffer re-sends the old record.
    line().arrive(300, ";2222222?");
    line().key(800);
    // The first read succeeds and fills the buffer; the second fails outright.
    line().twist(Call::ReadFile, Twist::Pending, 0); // completes during its pause
    line().twist(Call::ReadFile, Twist::Fail);
    EXPECT_EQ(run_loop(), "\n111\n2222222")
        << "a failed read must neither repeat the old chunk nor lose the queued record";
}

TEST_F(SerialLink, PendingReadThatFailsLeavesItsBytesForTheNextRead) {
    line().arrive(0, ";41?");
    line().twist(Call::ReadFile, Twist::PendingFails, 20);
    line().key(600);
    EXPECT_EQ(run_loop(), "\n41") << "the bytes waited for a card that never came";
}

TEST_F(SerialLink, FailedQueueCountReadsNothingAndTriesAgain) {
    line().arrive(0, ";31?");
    line().arrive(200, ";32?");
    line().key(700);
    line().twist(Call::ReadFile, Twist::Pending, 0);
    line().twist(Call::ClearCommError, Twist::Fail);
    EXPECT_EQ(run_loop(), "\n31\n32");
    for (const fake::Record &record : line().calls) {
        if (record.call == Call::ReadFile) {
            EXPECT_LE(record.asked, 4u) << "read a count the driver did not report";
        }
    }
}

TEST_F(SerialLink, RecordsSurviveWineStyleWaitsAndReads) {
    // Waits with nothing to report are aborted soon after; every read is pending at first.
    line().wine = true;
    line().arrive(130, ";1?");
    line().arrive(260, ";2");
    line().arrive(390, "?;3?");
    line().key(1000);
    EXPECT_EQ(run_loop(), "\n1\n2\n3");
}

TEST_F(SerialLink, FastStreamArrivesWholeAndInOrder) {
    std::string expected;
    for (int i = 0; i < 40; i++) {
        std::string body = "5500000000000004=30121010000" + std::to_string(100 + i);
        line().arrive(10 + 40 * i, ";" + body + "?");
        expected += "\n" + body;
    }
    line().key(3000);
    EXPECT_EQ(run_loop(), expected);
}

TEST_F(SerialLink, KeyDuringAnOutstandingReadLeavesItsStateValidUntilClose) {
    line().arrive(0, ";5?");
    line().twist(Call::ReadFile, Twist::Pending, 1000);
    line().key(10);
    EXPECT_EQ(run_loop(), "");
    // close_port ended the read; the driver wrote its status into the wait control after the
    // loop had returned, which is only safe because that record, and its event, outlive it.
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(line().aborted_at_close, 1);
    EXPECT_EQ(line().aborted_into_stale_state, 0)
        << "the wait control or its event was gone before the port closed";
}

} // namespace
