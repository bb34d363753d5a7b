// The Linux program as an operator meets it: a pty as the COM port, another as the terminal.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

namespace {

using harness::Child;
using harness::Millis;
using harness::Pty;

const char Banner[] =
    "\nReading Data From CipherLab 1023 Card Reader"
    "\nUse: Dremlix X,where X is Com port number(1-8), default = 1"
    "\nPress any key to terminate the programm."
    "\nDremlix card reader console " DREMLIX_VERSION ", made by the Dremlix team.";

std::string tool() {
    return harness::built("dremlix");
}

bool same_settings(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The tool with a pty as COM3 and a pty as its terminal.
class Operator : public testing::Test {
  protected:
    Pty reader;
    Pty terminal{false};
    termios before{};

    void SetUp() override {
        ASSERT_EQ(tcgetattr(terminal.slave, &before), 0);
    }

    harness::Options options(std::vector<std::string> argv = {"3"}) {
        harness::Options o;
        o.argv = {tool()};
        o.argv.insert(o.argv.end(), argv.begin(), argv.end());
        o.env = {{"DREMLIX_COM3", reader.path}};
        o.console = &terminal;
        return o;
    }

    void expect_terminal_restored() {
        termios after{};
        ASSERT_EQ(tcgetattr(terminal.slave, &after), 0);
        EXPECT_TRUE(same_settings(before, after)) << "the terminal was left changed";
    }
};

TEST_F(Operator, PrintsRecordsAndEndsOnAKeyLeavingItForTheShell) {
    Child dremlix(options());
    ASSERT_TRUE(dremlix.wait_for_output("\nPort:COM3\n")) << dremlix.err_text;
    EXPECT_EQ(dremlix.out_text, std::string(Banner) + "\nPort:COM3\n");

    reader.send(";4111111111111111=2512101123?");
    ASSERT_TRUE(dremlix.wait_for_output("\n4111111111111111=2512101123"));
    reader.send(";12");
    usleep(150000);
    reader.send("3?;45?");
    ASSERT_TRUE(dremlix.wait_for_output("\n45"));

    ASSERT_TRUE(harness::key_mode_on(terminal));
    terminal.send("q");
    ASSERT_TRUE(dremlix.wait_for_exit());
    EXPECT_EQ(dremlix.exit_code(), 0);
    EXPECT_EQ(dremlix.out_text,
              std::string(Banner) + "\nPort:COM3\n\n4111111111111111=2512101123\n123\n45");
    EXPECT_EQ(dremlix.err_text, "");
    expect_terminal_restored();
    EXPECT_EQ(harness::pending_input(terminal), "q")
        << "the key that ended the tool belongs to the shell";
}

TEST_F(Operator, BytesReachTheOutputUntranslated) {
    Child dremlix(options());
    ASSERT_TRUE(dremlix.wait_for_output("\nPort:COM3\n"));
    reader.send(std::string(";a\rb\x03\xff\x11z?"));
    ASSERT_TRUE(dremlix.wait_for_output("z"));
    EXPECT_NE(dremlix.out_text.find(std::string("\na\rb\x03\xff\x11z")), std::string::npos);
}

TEST_F(Operator, PortNumberComesFromTheCommandLine) {
    struct Case {
        std::vector<std::string> argv;
        const char *port;
    } cases[] = {{{"3"}, "COM3"}, {{"3", "7"}, "COM3"}, {{"37"}, "COM3"}, {{"9"}, "COM1"}};
    for (const Case &c : cases) {
        harness::Options o = options(c.argv);
        o.env.push_back({"DREMLIX_COM1", reader.path});
        Child dremlix(o);
        EXPECT_TRUE(dremlix.wait_for_output(std::string("\nPort:") + c.port + "\n"))
            << c.argv[0] << ": " << dremlix.out_text << dremlix.err_text;
    }
}

TEST_F(Operator, BlankInTheProgramPathPicksThePort) {
    // As on Windows, the first blank of the raw command line decides, even inside the path.
    char folder[] = "/tmp/dremlix-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string spaced = std::string(folder) + "/tools 6";
    ASSERT_EQ(mkdir(spaced.c_str(), 0700), 0);
    std::string program = spaced + "/dremlix";
    ASSERT_EQ(symlink(tool().c_str(), program.c_str()), 0);

    harness::Options o = options();
    o.argv[0] = program;
    o.env = {{"DREMLIX_COM6", reader.path}};
    {
        Child dremlix(o);
        EXPECT_TRUE(dremlix.wait_for_output("\nPort:COM6\n")) << dremlix.out_text;
    }
    unlink(program.c_str());
    rmdir(spaced.c_str());
    rmdir(folder);
}

TEST_F(Operator, PortThatCannotBeOpenedEndsWith255AndSaysWhy) {
    int holder = open(reader.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    struct Case {
        const char *device;
        const char *reason;
    } cases[] = {{"/nonexistent/ttyUSB9", "No such file or directory"},
                 {reader.path.c_str(), "in use"}};
    for (const Case &c : cases) {
        harness::Options o = options();
        o.env = {{"DREMLIX_COM3", c.device}};
        Child dremlix(o);
        ASSERT_TRUE(dremlix.wait_for_exit());
        EXPECT_EQ(dremlix.exit_code(), 255) << c.device;
        EXPECT_EQ(dremlix.out_text, std::string(Banner) + "\nPort:COM3\n")
            << "the output ends with the port line";
        EXPECT_EQ(dremlix.err_text.rfind("Error!: Unable to open COM port!\n", 0), 0u)
            << dremlix.err_text;
        EXPECT_NE(dremlix.err_text.find(c.device), std::string::npos) << dremlix.err_text;
        EXPECT_NE(dremlix.err_text.find(c.reason), std::string::npos) << dremlix.err_text;
    }
    close(holder);
    expect_terminal_restored();
}

TEST_F(Operator, SecondCopyCannotTakeAHeldPort) {
    Child first(options());
    ASSERT_TRUE(first.wait_for_output("\nPort:COM3\n"));
    ASSERT_TRUE(harness::key_mode_on(terminal));
    Pty other_terminal{false};
    harness::Options o = options();
    o.console = &other_terminal;
    Child second(o);
    ASSERT_TRUE(second.wait_for_exit());
    EXPECT_EQ(second.exit_code(), 255);
    EXPECT_NE(second.err_text.find("in use"), std::string::npos) << second.err_text;

    reader.send(";still-mine?");
    EXPECT_TRUE(first.wait_for_output("\nstill-mine")) << "the first copy lost its line";
}

// Ends a process that the test did not start itself, on every way out of the test.
struct EndedOnExit {
    pid_t pid = -1;
    ~EndedOnExit() {
        if (pid > 0) {
            kill(pid, SIGKILL);
        }
    }
};

TEST_F(Operator, BackgroundJobLeavesTheTerminalAloneAndKeepsRunning) {
    // An interactive shell starts the tool as a background job of its own terminal, so the
    // terminal would stop the job if it tried to change the terminal's settings.
    harness::Options o = options();
    o.argv = {"/bin/bash", "--norc", "-ic", tool() + " 3 & wait"};
    Child shell(o);
    ASSERT_TRUE(shell.wait_for_output("\nPort:COM3\n")) << shell.err_text;
    EndedOnExit dremlix;
    dremlix.pid = harness::first_child(shell.pid);
    ASSERT_GT(dremlix.pid, 0);
    reader.send(";1?");
    ASSERT_TRUE(shell.wait_for_output("\n1"));
    // What the user types meanwhile is for the shell in the foreground, not a key for the job.
    terminal.send("ls\n");
    usleep(400000); // several key polls
    // 'T': the terminal stopped the job; 'Z' or gone: the type-ahead ended it.
    char state = harness::process_state(dremlix.pid);
    EXPECT_TRUE(state == 'S' || state == 'R') << "the job's state is " << state;
    expect_terminal_restored();
    reader.send(";2?");
    EXPECT_TRUE(shell.wait_for_output("\n2"));
    EXPECT_EQ(harness::pending_input(terminal), "ls\n") << "the job took the shell's input";
    kill(dremlix.pid, SIGTERM);
    ASSERT_TRUE(shell.wait_for_exit());
    expect_terminal_restored();
}

TEST(WithoutTerminal, RunsUntilEndedAndPrintsEachRecordAtOnce) {
    // No terminal means no key press to wait for; a pipe reader still gets every record as
    // it completes, not at exit.
    Pty reader;
    harness::Options o;
    o.argv = {tool(), "3"};
    o.env = {{"DREMLIX_COM3", reader.path}};
    Child dremlix(o);
    ASSERT_TRUE(dremlix.wait_for_output("\nPort:COM3\n"));
    reader.send(";5500000000000004=3012?");
    EXPECT_TRUE(dremlix.wait_for_output("\n5500000000000004=3012"));
    dremlix.signal(SIGTERM);
    ASSERT_TRUE(dremlix.wait_for_exit());
    EXPECT_EQ(dremlix.term_signal(), SIGTERM);
}

} // namespace
