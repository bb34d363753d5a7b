// The Linux program when things around it go wrong: the reader unplugged, a flood of noise on
// the line, the terminal left behind by every way out, and a reader of its output that has gone.
#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using harness::Child;
using harness::Millis;
using harness::Pty;

const char PortLine[] = "\nPort:COM3\n";

std::string tool() {
    return harness::built("dremlix");
}

// What `stty -g` says of a terminal: every setting, speeds and line discipline included, in
// the form a shell script would save and restore it.
std::string stty_of(const Pty &terminal) {
    int out[2];
    if (pipe(out) != 0) {
        return "pipe failed";
    }
    pid_t pid = fork();
    if (pid == 0) {
        int tty = open(terminal.path.c_str(), O_RDONLY | O_NOCTTY);
        if (tty < 0) {
            _exit(126);
        }
        dup2(tty, 0);
        dup2(out[1], 1);
        close(out[0]);
        execlp("stty", "stty", "-g", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "stty failed";
}

// Writes all of `bytes` to the device side of the line as fast as the line takes them; false
// when the line stops taking them for longer than the harness's patience.
bool send_within(const Pty &line, const std::string &bytes) {
    // Without blocking, so that a stuck line ends the wait rather than the test run.
    int flags = fcntl(line.master, F_GETFL);
    fcntl(line.master, F_SETFL, flags | O_NONBLOCK);
    bool sent = true;
    std::size_t done = 0;
    while (done < bytes.size()) {
        pollfd writable{line.master, POLLOUT, 0};
        ssize_t n = 0;
        if (poll(&writable, 1, static_cast<int>(harness::Patience.count())) <= 0 ||
            ((n = write(line.master, bytes.data() + done, bytes.size() - done)) < 0 &&
             errno != EINTR && errno != EAGAIN)) {
            sent = false;
            break;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
    fcntl(line.master, F_SETFL, flags);
    return sent;
}

// A value in kB from /proc/<pid>/status, or -1.
long status_kb(pid_t pid, const std::string &field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

// The tool on COM3 over a pty, with a cooked pty as its terminal.
class LineFaults : public testing::Test {
  protected:
    Pty reader;
    Pty terminal{false};
    std::string settings_before;

    void SetUp() override {
        settings_before = stty_of(terminal);
        ASSERT_NE(settings_before, "stty failed");
        // The signals that dump core end the tool in these tests on purpose.
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
    }

    harness::Options options() {
        harness::Options o;
        o.argv = {tool(), "3"};
        o.env = {{"DREMLIX_COM3", reader.path}};
        o.console = &terminal;
        return o;
    }

    void expect_terminal_as_before() {
        EXPECT_EQ(stty_of(terminal), settings_before) << "stty -g differs after the tool ended";
    }

    void end_with_a_key(Child &dremlix) {
        ASSERT_TRUE(harness::key_mode_on(terminal));
        terminal.send("k");
        ASSERT_TRUE(dremlix.wait_for_exit()) << "a key press did not end the tool";
        EXPECT_EQ(dremlix.exit_code(), 0) << dremlix.err_text;
        expect_terminal_as_before();
        EXPECT_EQ(harness::pending_input(terminal), "k")
            << "the key that ended the tool belongs to the shell";
    }
};

struct Unplug {
    const char *name;
    std::string before; // sent before the reader goes
    std::string printed;
};

void PrintTo(const Unplug &unplug, std::ostream *out) {
    *out << unplug.name;
}

class Unplugged : public LineFaults, public testing::WithParamInterface<Unplug> {};

TEST_P(Unplugged, NoSpinAndAKeyStillEndsTheTool) {
    Child dremlix(options());
    ASSERT_TRUE(dremlix.wait_for_output(PortLine)) << dremlix.err_text;
    reader.send(GetParam().before);
    if (!GetParam().printed.empty()) {
        ASSERT_TRUE(dremlix.wait_for_output(GetParam().printed));
    }
    ASSERT_TRUE(harness::key_mode_on(terminal));
    reader.close_master();
    usleep(300000);
    double used = dremlix.cpu_used_over(Millis(2000));
    // A busy loop would take close to the whole two seconds; an idle one next to nothing.
    EXPECT_LT(used, 0.3) << "CPU seconds over two seconds with the reader gone";
    ASSERT_TRUE(dremlix.running()) << dremlix.err_text;
    end_with_a_key(dremlix);
    EXPECT_EQ(dremlix.out_text.substr(dremlix.out_text.find(PortLine) + sizeof PortLine - 1),
              GetParam().printed)
        << "the unplugged line printed something that was not a whole record";
}

INSTANTIATE_TEST_SUITE_P(Reader, Unplugged,
                         testing::Values(Unplug{"never_sent", "", ""},
                                         Unplug{"idle_after_a_record", ";10?", "\n10"},
                                         Unplug{"mid_record", ";20?;2123", "\n20"}),
                         [](const testing::TestParamInfo<Unplug> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(LineFaults, FloodOfNoiseLeavesMemoryFlatAndTheNextRecordWhole) {
    Child dremlix(options());
    ASSERT_TRUE(dremlix.wait_for_output(PortLine)) << dremlix.err_text;
    // Every path through the framer once, so the measure below starts from a warm process.
    reader.send(";1?" + std::string(200, 'x') + ";" + std::string(100, '2') + "?");
    ASSERT_TRUE(dremlix.wait_for_output("\n1\n"));
    long rss_before = status_kb(dremlix.pid, "VmRSS");
    long peak_before = status_kb(dremlix.pid, "VmHWM");
    ASSERT_GT(rss_before, 0);

    std::mt19937 random(20261211);
    std::string noise(1 << 20, '\0');
    for (char &c : noise) {
        c = static_cast<char>(random() & 0xff);
    }
    // A fresh start after the noise: whatever the noise left open, this prints whole.
    const std::string body = "4111111111111111=2512101AFTERFLOOD";
    // The line is written unpaced from another thread while this one drains the tool's output,
    // so neither side waits for the other.
    bool all_sent = false;
    std::thread sender([&] { all_sent = send_within(reader, noise + ";" + body + "?"); });
    bool printed = dremlix.wait_for_output("\n" + body, harness::Millis(120000));
    sender.join();
    ASSERT_TRUE(all_sent) << "the tool stopped taking bytes from the line";
    ASSERT_TRUE(printed) << "the record after the flood was not printed";
    ASSERT_TRUE(dremlix.running()) << "the flood ended the tool: " << dremlix.err_text;

    long rss_after = status_kb(dremlix.pid, "VmRSS");
    long peak_after = status_kb(dremlix.pid, "VmHWM");
    // The tool keeps fixed buffers: a megabyte through it must not grow it. A wrapper such as
    // valgrind grows on its own as it translates code, and checks the tool's memory itself.
    const long MarginKb = std::getenv(harness::ToolWrapperVariable) != nullptr ? 2048 : 256;
    EXPECT_LE(rss_after - rss_before, MarginKb) << rss_before << " kB before, " << rss_after;
    EXPECT_LE(peak_after - peak_before, MarginKb) << peak_before << " kB before, " << peak_after;
    end_with_a_key(dremlix);
}

// How the tool is ended, and what the process's end must then be.
struct Ending {
    const char *name;
    std::string typed; // typed at the terminal, or empty
    int signal;        // sent to the tool, or 0
    int ended_by;      // the signal that ends it, or 0 for a normal exit
};

void PrintTo(const Ending &ending, std::ostream *out) {
    *out << ending.name;
}

class Endings : public LineFaults, public testing::WithParamInterface<Ending> {};

TEST_P(Endings, TerminalSettingsAreExactlyAsBefore) {
    const Ending &ending = GetParam();
    bool fault_signal = ending.signal == SIGSEGV || ending.signal == SIGBUS ||
                        ending.signal == SIGFPE || ending.signal == SIGILL;
    if (fault_signal && std::getenv(harness::ToolWrapperVariable) != nullptr) {
        // valgrind takes these for faults of the code it runs and does not reliably let the
        // tool end on them; the run without a wrapper shows them.
        GTEST_SKIP() << "a tool under " << std::getenv(harness::ToolWrapperVariable)
                     << " does not reliably end on a fault signal sent to it";
    }
    Child dremlix(options());
    ASSERT_TRUE(dremlix.wait_for_output(PortLine)) << dremlix.err_text;
    ASSERT_TRUE(harness::key_mode_on(terminal));
    reader.send(";77?");
    ASSERT_TRUE(dremlix.wait_for_output("\n77"));
    if (!ending.typed.empty()) {
        terminal.send(ending.typed);
    }
    if (ending.signal != 0) {
        dremlix.signal(ending.signal);
    }
    ASSERT_TRUE(dremlix.wait_for_exit());
    EXPECT_EQ(dremlix.term_signal(), ending.ended_by);
    if (ending.ended_by == 0) {
        EXPECT_EQ(dremlix.exit_code(), 0);
    }
    expect_terminal_as_before();
    if (ending.ended_by == 0) {
        EXPECT_EQ(harness::pending_input(terminal), ending.typed) << "the key belongs to the shell";
    }
}

// Every signal whose default action ends the process, from a user, a shell, a supervisor or a
// fault; each still ends it as it would have, core dump included.
INSTANTIATE_TEST_SUITE_P(
    Ways, Endings,
    testing::Values(
        Ending{"key", "x", 0, 0}, Ending{"control_c", "\x03", 0, SIGINT},
        Ending{"control_backslash", "\x1c", 0, SIGQUIT}, Ending{"sigint", "", SIGINT, SIGINT},
        Ending{"sigterm", "", SIGTERM, SIGTERM}, Ending{"sighup", "", SIGHUP, SIGHUP},
        Ending{"sigquit", "", SIGQUIT, SIGQUIT}, Ending{"sigpipe", "", SIGPIPE, SIGPIPE},
        Ending{"sigabrt", "", SIGABRT, SIGABRT}, Ending{"sigsegv", "", SIGSEGV, SIGSEGV},
        Ending{"sigbus", "", SIGBUS, SIGBUS}, Ending{"sigfpe", "", SIGFPE, SIGFPE},
        Ending{"sigill", "", SIGILL, SIGILL}, Ending{"sigalrm", "", SIGALRM, SIGALRM},
        Ending{"sigusr1", "", SIGUSR1, SIGUSR1}, Ending{"sigusr2", "", SIGUSR2, SIGUSR2}),
    [](const testing::TestParamInfo<Ending> &info) { return std::string(info.param.name); });

// A tool ended by a signal must give the device back: while another program keeps it open (the
// simulator, a logger, a modem manager), a flag left behind would shut every later ordinary
// user out. Root passes that flag, so the tool runs here as an ordinary user.
class PortAfterSignal : public testing::TestWithParam<int> {
  protected:
    Pty reader; // its device side stays open throughout, as another program's would

    void SetUp() override {
        ASSERT_EQ(chmod(reader.path.c_str(), 0666), 0);
    }

    harness::Options as_nobody() {
        harness::Options o;
        o.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", tool(), "3"};
        o.env = {{"DREMLIX_COM3", reader.path}};
        return o;
    }
};

TEST_P(PortAfterSignal, IsFreeForTheNextUser) {
    {
        Child first(as_nobody());
        ASSERT_TRUE(first.wait_for_output(PortLine)) << first.err_text;
        // A printed record shows the port open and held.
        reader.send(";1?");
        ASSERT_TRUE(first.wait_for_output("\n1")) << first.err_text;
        first.signal(GetParam());
        ASSERT_TRUE(first.wait_for_exit());
        EXPECT_EQ(first.term_signal(), GetParam());
    }
    Child next(as_nobody());
    ASSERT_TRUE(next.wait_for_output(PortLine)) << next.err_text;
    reader.send(";2?");
    EXPECT_TRUE(next.wait_for_output("\n2"))
        << "the port stayed closed to others: " << next.err_text;
    next.signal(SIGTERM);
    next.wait_for_exit();
}

INSTANTIATE_TEST_SUITE_P(Signals, PortAfterSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// The program reading the tool's output has gone: the next record the tool prints must end it,
// by SIGPIPE or by the failed write, and not leave it running on a port nobody reads.
struct GoneReader {
    const char *name;
    bool sigpipe_ignored; // as when started by a program that ignores SIGPIPE, or under nohup
    int ended_by;         // the signal that ends it, or 0
    int exit_code;        // when no signal ends it: records were lost, so not 0
};

void PrintTo(const GoneReader &gone, std::ostream *out) {
    *out << gone.name;
}

class OutputReaderGone : public LineFaults, public testing::WithParamInterface<GoneReader> {};

TEST_P(OutputReaderGone, NextRecordEndsTheToolAndTheTerminalIsRestored) {
    harness::Options o = options();
    if (GetParam().sigpipe_ignored) {
        // An ignored signal stays ignored across exec.
        o.argv = {"/bin/sh", "-c", "trap '' PIPE; exec \"$0\" 3", tool()};
    }
    Child dremlix(o);
    ASSERT_TRUE(dremlix.wait_for_output(PortLine)) << dremlix.err_text;
    ASSERT_TRUE(harness::key_mode_on(terminal));
    dremlix.close_output();
    // More than one record, so a tool that notices only a later failed write still ends.
    reader.send(";1?");
    usleep(300000);
    reader.send(";2?;3?");
    bool ended = dremlix.wait_for_exit(harness::Millis(10000));
    if (!ended) {
        dremlix.signal(SIGKILL);
        dremlix.wait_for_exit();
        ADD_FAILURE() << "the tool kept running with nobody reading its output";
        return;
    }
    EXPECT_EQ(dremlix.term_signal(), GetParam().ended_by);
    if (GetParam().ended_by == 0) {
        EXPECT_EQ(dremlix.exit_code(), GetParam().exit_code);
    }
    expect_terminal_as_before();
}

INSTANTIATE_TEST_SUITE_P(Pipe, OutputReaderGone,
                         testing::Values(GoneReader{"sigpipe_default", false, SIGPIPE, 0},
                                         GoneReader{"sigpipe_ignored", true, 0, 1}),
                         [](const testing::TestParamInfo<GoneReader> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
