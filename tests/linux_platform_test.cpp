// The Linux platform layer over real ptys: what the tool relies on from its Win32 names.
#include "harness.h"
#include "linux_platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using harness::Pty;

struct DeviceCase {
    const char *name;
    const char *port;
    const char *mapped; // DREMLIX_COM5, or null for unset
    bool valid;
    const char *path;
};

void PrintTo(const DeviceCase &c, std::ostream *out) {
    *out << c.name;
}

class DevicePaths : public testing::TestWithParam<DeviceCase> {};

TEST_P(DevicePaths, ComNamesMapToDevices) {
    const DeviceCase &c = GetParam();
    if (c.mapped != nullptr) {
        setenv("DREMLIX_COM5", c.mapped, 1);
    } else {
        unsetenv("DREMLIX_COM5");
    }
    char path[64] = "";
    EXPECT_EQ(linux_device_path(c.port, path, sizeof path), c.valid);
    if (c.valid) {
        EXPECT_STREQ(path, c.path);
    }
    unsetenv("DREMLIX_COM5");
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePaths,
    testing::Values(DeviceCase{"first_serial_port", "COM1", nullptr, true, "/dev/ttyS0"},
                    DeviceCase{"unmapped_port", "COM5", nullptr, true, "/dev/ttyS4"},
                    DeviceCase{"mapped_port", "COM5", "/dev/ttyUSB0", true, "/dev/ttyUSB0"},
                    DeviceCase{"empty_mapping_ignored", "COM5", "", true, "/dev/ttyS4"},
                    DeviceCase{"mapping_of_other_port", "COM6", "/dev/ttyUSB0", true, "/dev/ttyS5"},
                    DeviceCase{"zero", "COM0", nullptr, false, ""},
                    DeviceCase{"no_number", "COM", nullptr, false, ""},
                    DeviceCase{"trailing_junk", "COM3x", nullptr, false, ""},
                    DeviceCase{"not_a_com_port", "LPT1", nullptr, false, ""},
                    DeviceCase{
                        "path_too_long_for_buffer", "COM5",
                        "/dev/serial/by-id/usb-a-device-name-far-too-long-for-a-64-byte-buffer",
                        false, ""}),
    [](const testing::TestParamInfo<DeviceCase> &info) { return info.param.name; });

HANDLE open_com(const char *name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// A pty standing in as COM7, opened the way the tool opens its port.
class PtyPort : public testing::Test {
  protected:
    Pty pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED control{};
    DWORD events = 0;

    void SetUp() override {
        setenv("DREMLIX_COM7", pty.path.c_str(), 1);
        port = open_com("COM7");
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << linux_open_failure();
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_BREAK));
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
        unsetenv("DREMLIX_COM7");
    }

    // Polls the outstanding wait until it completes, as the tool does between its pauses.
    bool wait_completes() {
        DWORD unused = 0;
        for (int i = 0; i < 500; i++) {
            if (GetOverlappedResult(port, &control, &unused, FALSE)) {
                return true;
            }
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                return false;
            }
            Sleep(10);
        }
        return false;
    }

    std::string read_all(DWORD expected) {
        std::string got;
        for (int i = 0; i < 500 && got.size() < expected; i++) {
            COMSTAT status{};
            DWORD errors = 0;
            char buffer[256];
            DWORD count = 0;
            EXPECT_TRUE(ClearCommError(port, &errors, &status));
            EXPECT_TRUE(ReadFile(port, buffer, status.cbInQue < 256 ? status.cbInQue : 256, &count,
                                 &control));
            got.append(buffer, count);
            if (count == 0) {
                Sleep(10);
            }
        }
        return got;
    }
};

TEST_F(PtyPort, EveryByteArrivesExactlyAsSent) {
    std::string sent;
    for (int byte = 0; byte < 256; byte++) {
        sent += static_cast<char>(byte);
    }
    sent += "\r\n\r\x03\x11\x13\x7f\xff\xff";
    pty.send(sent);
    EXPECT_EQ(read_all(static_cast<DWORD>(sent.size())), sent);
}

TEST_F(PtyPort, ReadTakesAtMostWhatWasAskedAndNeverMoreThanArrived) {
    pty.send(";12345?");
    ASSERT_TRUE(WaitCommEvent(port, &events, &control) || wait_completes());
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    DWORD count = 99;
    ASSERT_TRUE(ReadFile(port, buffer, 3, &count, &control));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buffer, 4), ";12#");
    EXPECT_EQ(read_all(4), "345?");
    count = 99;
    ASSERT_TRUE(ReadFile(port, buffer, 10, &count, &control)) << "nothing waiting is no error";
    EXPECT_EQ(count, 0u);
}

TEST_F(PtyPort, WaitPendsUntilCharactersArriveThenReportsThem) {
    EXPECT_FALSE(WaitCommEvent(port, &events, &control));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD second = 0;
    OVERLAPPED other{};
    EXPECT_FALSE(WaitCommEvent(port, &second, &other)) << "one wait at a time, as on Windows";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD unused = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &control, &unused, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    pty.send("x");
    ASSERT_TRUE(wait_completes());
    EXPECT_EQ(events, EV_RXCHAR);

    COMSTAT status{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 1u);
    // Unread characters are reported again at once, so none is ever forgotten.
    events = 0;
    EXPECT_TRUE(WaitCommEvent(port, &events, &control));
    EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(PtyPort, ClosingThePortEndsAnOutstandingWait) {
    ASSERT_FALSE(WaitCommEvent(port, &events, &control));
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(control.Internal, ERROR_OPERATION_ABORTED);
}

TEST_F(PtyPort, UnpluggedReaderReportsNothing) {
    pty.close_master();
    EXPECT_FALSE(WaitCommEvent(port, &events, &control));
    Sleep(50);
    DWORD unused = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &control, &unused, FALSE))
        << "a hung-up line has no characters to report";
    char buffer[8];
    DWORD count = 99;
    ReadFile(port, buffer, sizeof buffer, &count, &control);
    EXPECT_EQ(count, 0u);
}

// A pty keeps rate, stop bits and flow control, though it forces 8 data bits and no parity.
TEST_F(PtyPort, LineSettingsReachTheDeviceAndReadBack) {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    ASSERT_TRUE(GetCommState(port, &settings));
    settings.BaudRate = 4800;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = TWOSTOPBITS;
    settings.fOutX = TRUE;
    ASSERT_TRUE(SetCommState(port, &settings));

    termios line{};
    ASSERT_EQ(tcgetattr(pty.slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B4800));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(line.c_cflag & CSTOPB);
    EXPECT_TRUE(line.c_iflag & IXON);
    EXPECT_FALSE(line.c_lflag & (ICANON | ECHO | ISIG)) << "the line stays raw";
    EXPECT_FALSE(line.c_oflag & OPOST);

    DCB back{};
    back.DCBlength = sizeof back;
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 4800u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1u);

    // As Windows does, a record the line cannot take is refused whole.
    struct Refused {
        const char *why;
        DWORD rate;
        BYTE size;
        BYTE parity;
        char xon;
        char xoff;
    } refused[] = {{"unknown rate", 12345, 8, NOPARITY, 0x11, 0x13},
                   {"nine data bits", 9600, 9, NOPARITY, 0x11, 0x13},
                   {"unknown parity", 9600, 8, 7, 0x11, 0x13},
                   {"XON equal to XOFF", 9600, 8, NOPARITY, 0, 0}};
    for (const Refused &r : refused) {
        settings.BaudRate = r.rate;
        settings.ByteSize = r.size;
        settings.Parity = r.parity;
        settings.XonChar = r.xon;
        settings.XoffChar = r.xoff;
        EXPECT_FALSE(SetCommState(port, &settings)) << r.why;
    }
    ASSERT_EQ(tcgetattr(pty.slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B4800))
        << "a refused record changed the line";
}

TEST_F(PtyPort, PortIsForThisProgramAlone) {
    HANDLE second = open_com("COM7");
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(std::strstr(linux_open_failure(), "in use"), nullptr) << linux_open_failure();

    CloseHandle(port);
    port = open_com("COM7");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "closing gave the port back";
}

// ---- Marked bytes ----------------------------------------------------------------------
//
// The layer has the line discipline mark breaks in the byte stream, so a data byte 0xFF
// arrives doubled and the layer decodes it. A pty never sends a break (tests/uart shows those
// on a real driver), but it does mark and double, and so shows the decoding of data.
class MarkedBytes : public PtyPort {
  protected:
    // Waits until everything sent has reached the device: what it holds stops growing.
    bool device_settled() {
        int before = -1;
        for (int i = 0; i < 100; i++) {
            int waiting = 0;
            if (ioctl(pty.slave, FIONREAD, &waiting) != 0) {
                return false;
            }
            if (waiting > 0 && waiting == before) {
                return true;
            }
            before = waiting;
            Sleep(50);
        }
        return false;
    }
};

TEST_F(MarkedBytes, BytesThatLookLikeMarksAreCountedAndReadAsData) {
    // A break's mark, a faulty byte's mark, a doubled 0xFF and a lone 0xFF, all sent as data.
    const std::string sent("\xff\x00\x00"
                           "a\xff\x00"
                           "b\xff\xff\xff",
                           10);
    pty.send(sent);
    ASSERT_TRUE(device_settled());
    ASSERT_TRUE(WaitCommEvent(port, &events, &control));
    EXPECT_EQ(events, EV_RXCHAR) << "no break among them";
    COMSTAT status{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 10u) << "the count is of bytes as sent";
    EXPECT_EQ(read_all(10), sent);
    EXPECT_FALSE(WaitCommEvent(port, &events, &control));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "nothing left to report";
}

TEST_F(MarkedBytes, DoubledBytesCutByTheEndOfAReadJoinUp) {
    // Every other byte 0xFF, read as the tool reads, in pieces of many sizes: some reads from
    // the device end between the two bytes of a doubled 0xFF, wherever their limits lie.
    std::string sent;
    for (int i = 0; i < 1500; i++) {
        sent += i % 2 == 0 ? static_cast<char>('a' + i % 26) : '\xff';
    }
    pty.send(sent);
    ASSERT_TRUE(device_settled());
    std::string got;
    for (DWORD piece = 1; got.size() < sent.size(); piece = piece % 13 + 1) {
        COMSTAT status{};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(port, &errors, &status));
        ASSERT_GT(status.cbInQue, 0u) << "stalled after " << got.size() << " bytes";
        char buffer[16];
        DWORD count = 0;
        ASSERT_TRUE(ReadFile(port, buffer, status.cbInQue < piece ? status.cbInQue : piece, &count,
                             &control));
        got.append(buffer, count);
    }
    EXPECT_EQ(got, sent);
}

TEST(LinuxOpen, FailuresNameTheDeviceAndTheReason) {
    struct Case {
        const char *path;
        DWORD error;
        const char *reason;
    } cases[] = {
        {"/nonexistent/ttyX", ERROR_FILE_NOT_FOUND, "No such file"},
        {"/dev/null", ERROR_INVALID_PARAMETER, "not a serial device"},
    };
    for (const Case &c : cases) {
        setenv("DREMLIX_COM8", c.path, 1);
        EXPECT_EQ(open_com("COM8"), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        EXPECT_NE(std::strstr(linux_open_failure(), c.path), nullptr) << linux_open_failure();
        EXPECT_NE(std::strstr(linux_open_failure(), c.reason), nullptr) << linux_open_failure();
    }
    unsetenv("DREMLIX_COM8");
}

TEST(LinuxOpen, DeviceLockedByAnotherProgramIsRefused) {
    Pty pty;
    int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    setenv("DREMLIX_COM8", pty.path.c_str(), 1);
    EXPECT_EQ(open_com("COM8"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    unsetenv("DREMLIX_COM8");
    close(holder);
}

} // namespace
