// The card reader simulator: its card generator, what it puts on the line, and dremlix
// reading from it end to end.

#include "card_gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------------------
// Card generator

TEST(CardGenerator, LuhnCheckAcceptsAndRejectsKnownNumbers) {
    struct LuhnCase {
        const char *digits;
        bool valid;
    };
    const LuhnCase cases[] = {
        {"79927398713", true},
        {"79927398710", false},
        {"4111111111111111", true},
        {"4111111111111112", false},
        {"378282246310005", true},
        {"6011111111111117", true},
        {"0", true},
        {"", false},
        {"4111 1111 1111 1111", false},
        {"41111111111111a1", false},
        {"5555555555554444", true},
        {"5555555555554445", false},
    };
    for (const LuhnCase &c : cases) {
        EXPECT_EQ(luhn_valid(c.digits), c.valid) << '"' << c.digits << '"';
    }
}

TEST(CardGenerator, CheckDigitCompletesAValidNumber) {
    const char *partials[] = {"7992739871", "411111111111111", "37828224631000", "", "9"};
    for (const char *partial : partials) {
        const char digit = luhn_check_digit(partial);
        EXPECT_TRUE(luhn_valid(std::string(partial) + digit)) << partial << digit;
        for (char other = '0'; other <= '9'; ++other) {
            if (other != digit) {
                EXPECT_FALSE(luhn_valid(std::string(partial) + other)) << partial << other;
            }
        }
    }
}

// The lengths real issuers give their prefixes; a PAN that fits none of them would not
// come off a real card.
bool issuer_fits(const std::string &pan) {
    const auto starts = [&pan](const char *prefix) { return pan.rfind(prefix, 0) == 0; };
    const int two = std::atoi(pan.substr(0, 2).c_str());
    const int three = std::atoi(pan.substr(0, 3).c_str());
    const int four = std::atoi(pan.substr(0, 4).c_str());
    const std::size_t length = pan.size();
    if (starts("4")) { // Visa
        return length == 16 || length == 19;
    }
    if ((two >= 51 && two <= 55) || (four >= 2221 && four <= 2720)) { // Mastercard
        return length == 16;
    }
    if (starts("34") || starts("37")) { // American Express
        return length == 15;
    }
    // Discover, JCB
    if (starts("6011") || starts("65") || (three >= 644 && three <= 649) ||
        (four >= 3528 && four <= 3589)) {
        return length == 16;
    }
    if (starts("36") || (three >= 300 && three <= 305)) { // Diners Club
        return length == 14;
    }
    if (starts("62") || starts("6759") || starts("5018")) { // UnionPay, Maestro
        return length == 19;
    }
    return false;
}

TEST(CardGenerator, PansPassLuhnAndHaveTheirIssuersLengths) {
    CardRandom rng{};
    seed_rng(rng, 42);
    std::set<std::size_t> lengths;
    for (int i = 0; i < 5000; ++i) {
        const std::string pan = make_pan(rng);
        ASSERT_TRUE(luhn_valid(pan)) << pan;
        ASSERT_TRUE(issuer_fits(pan)) << pan;
        lengths.insert(pan.size());
    }
    // A mix that never shows the short and long numbers would hide framing faults that
    // depend on record length.
    EXPECT_EQ(lengths, (std::set<std::size_t>{14, 15, 16, 19}));
}

TEST(CardGenerator, Track2BodiesHaveTheTrackLayout) {
    CardRandom rng{};
    seed_rng(rng, 7);
    for (int i = 0; i < 2000; ++i) {
        const std::string body = make_track2_body(rng);
        ASSERT_LE(body.size(), Track2MaxBody) << body;
        const std::size_t separator = body.find('=');
        ASSERT_NE(separator, std::string::npos) << body;
        EXPECT_EQ(body.find('=', separator + 1), std::string::npos) << body;
        const std::string pan = body.substr(0, separator);
        EXPECT_TRUE(luhn_valid(pan)) << body;
        const std::string rest = body.substr(separator + 1);
        ASSERT_GE(rest.size(), 7u) << body;
        EXPECT_EQ(rest.find_first_not_of("0123456789"), std::string::npos) << body;
        const int month = std::atoi(rest.substr(2, 2).c_str());
        EXPECT_GE(month, 1) << body;
        EXPECT_LE(month, 12) << body;
        EXPECT_TRUE(rest[4] >= '1' && rest[4] <= '7') << "service code in " << body;
    }
}

TEST(CardGenerator, ASeedAlwaysGivesTheSameCards) {
    const auto batch = [](std::uint64_t seed) {
        CardRandom rng{};
        seed_rng(rng, seed);
        std::vector<std::string> bodies;
        for (int i = 0; i < 50; ++i) {
            bodies.push_back(make_track2_body(rng));
        }
        return bodies;
    };
    EXPECT_EQ(batch(1), batch(1));
    EXPECT_EQ(batch(0), batch(0));
    EXPECT_NE(batch(1), batch(2));
    // Fixed values: a change here means every recorded run and benchmark changes too.
    CardRandom rng{};
    seed_rng(rng, 1);
    EXPECT_EQ(make_track2_body(rng), "5494478527464549=300350180041205709");
}

TEST(CardGenerator, NoiseAndOverlongRecordsStayInTheirLanes) {
    CardRandom rng{};
    seed_rng(rng, 3);
    std::set<unsigned char> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string noise = make_noise(rng, 64);
        ASSERT_EQ(noise.size(), 64u);
        EXPECT_EQ(noise.find_first_of(";?"), std::string::npos);
        seen.insert(noise.begin(), noise.end());
        const std::string overlong = make_overlong_body(rng);
        EXPECT_GE(overlong.size(), 65u);
        EXPECT_LE(overlong.size(), 120u);
        EXPECT_EQ(overlong.find_first_not_of("0123456789="), std::string::npos) << overlong;
    }
    // Real line noise covers the whole byte range, control and high bytes included.
    EXPECT_EQ(seen.size(), 254u);
    EXPECT_EQ(frame_record("123=4"), ";123=4?");
}

// ---------------------------------------------------------------------------------------
// Running the simulator

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Far longer than any run takes; a run still going then has hung.
const Millis RunDeadline{30000};
// How long one poll of a run's output waits, so that the deadline is looked at in between.
const Millis PollStep{100};
const std::size_t ReadChunk = 4096;
// A run's standard output and standard error, and the port when a test opens it.
const int CapturedStreams = 3;

// A shell's exit statuses, which the simulator passes on.
const int CannotRunStatus = 127;
const int SignalStatusBase = 128;

// dremlix drops records with more characters than this; the simulator logs those as overlong.
const std::size_t RecordLimit = 64;
// The ';' and '?' around each record.
const long long FramingBytes = 2;

struct RunResult {
    int status = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
    std::string port; // what was read from the port opened by the first-line hook
};

// The child's side of run_captured: a session of its own, the pipes as its stdout and stderr,
// nothing on its stdin.
[[noreturn]] void exec_captured(const std::vector<std::string> &args, const int out_pipe[2],
                                const int err_pipe[2]) {
    setsid();
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    std::vector<char *> argv;
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(CannotRunStatus);
}

// Runs argv in a session of its own (no terminal, so dremlix cannot wait for a key), with
// stdout and stderr captured. open_port, when given, gets stdout's first line as soon as
// it is there and may return a descriptor to read alongside. Anything still running at
// the deadline is killed with its whole group.
RunResult run_captured(const std::vector<std::string> &args,
                       int (*open_port)(const std::string &first_line) = nullptr) {
    RunResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    const pid_t child = fork();
    if (child == 0) {
        exec_captured(args, out_pipe, err_pipe);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    const Clock::time_point deadline = Clock::now() + RunDeadline;
    int fds_open[CapturedStreams] = {out_pipe[0], err_pipe[0], -1};
    std::string *sinks[CapturedStreams] = {&result.out, &result.err, &result.port};
    bool first_line_given = open_port == nullptr;
    // The port too is read to its end: the simulator may finish while the last records still
    // wait in the pty for this reader, and the port only ends once they have been read.
    while (fds_open[0] >= 0 || fds_open[1] >= 0 || fds_open[2] >= 0) {
        const Millis left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-child, SIGKILL);
            break;
        }
        pollfd fds[CapturedStreams];
        for (int i = 0; i < CapturedStreams; ++i) {
            fds[i] = {fds_open[i], POLLIN, 0};
        }
        if (poll(fds, CapturedStreams, static_cast<int>(std::min(left, PollStep).count())) < 0) {
            continue;
        }
        char buffer[ReadChunk];
        for (int i = 0; i < CapturedStreams; ++i) {
            if (fds_open[i] < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t got = read(fds_open[i], buffer, sizeof buffer);
            if (got <= 0) {
                // A pty reads EIO once the other side is gone; either way it is over.
                close(fds_open[i]);
                fds_open[i] = -1;
                continue;
            }
            sinks[i]->append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t newline = result.out.find('\n');
        if (!first_line_given && newline != std::string::npos) {
            first_line_given = true;
            fds_open[2] = open_port(result.out.substr(0, newline));
        }
    }
    for (int fd : fds_open) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    // The group may hold a reader that outlived the simulator.
    kill(-child, SIGKILL);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : SignalStatusBase + WTERMSIG(status);
    return result;
}

struct LoggedRecord {
    std::string kind;
    std::string body;
};

std::vector<LoggedRecord> read_log(const std::string &path) {
    std::vector<LoggedRecord> records;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        const std::size_t first_tab = line.find('\t');
        const std::size_t second_tab = line.find('\t', first_tab + 1);
        if (first_tab == std::string::npos || second_tab == std::string::npos) {
            ADD_FAILURE() << "bad log line: " << line;
            continue;
        }
        records.push_back(
            {line.substr(first_tab + 1, second_tab - first_tab - 1), line.substr(second_tab + 1)});
    }
    return records;
}

std::string temp_path(const std::string &name) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/dremlix_sim_test_" +
           std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> split_words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// The value of key=value in the simulator's summary, or -1.
long summary_value(const std::string &err, const std::string &key) {
    const std::string field = " " + key + "=";
    const std::size_t at = err.find(field);
    if (at == std::string::npos) {
        return -1;
    }
    return std::atol(err.c_str() + at + field.size());
}

// Scenarios shared by the plain-reader and the dremlix runs: each a set of options that
// changes what goes on the line.
struct LineScenario {
    const char *name;
    const char *options;
    const char *input; // lines to feed through --input, or nullptr for generated cards
    int port;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const LineScenario &scenario, std::ostream *out) {
    *out << scenario.name;
}

std::string scenario_name(const testing::TestParamInfo<LineScenario> &info) {
    return info.param.name;
}

// Bodies at the length limit and just past it, a short one, and a CRLF line end.
const std::string edge_input =
    "4111111111111111=29121010000000000000\n" + std::string(RecordLimit, '7') + "\n" +
    std::string(RecordLimit + 1, '8') + "\n1=2\r\n" + "378282246310005=2801101123456\n";

// Overlong records cut in two by a pause, so the reader holds more than 64 characters
// of an unfinished record at the end of a read; and one past any buffer's 127.
const std::string overlong_input = "5=first\n" + std::string(150, '7') + "\n6=second\n" +
                                   std::string(200, '9') + "\n" + "7=third\n";

const LineScenario scenarios[] = {
    {"unpaced", "--baud 0 --interval 0 --count 40 --seed 11", nullptr, 1},
    {"unpaced_faults", "--baud 0 --interval 0 --count 40 --seed 12 --faults", nullptr, 2},
    {"paced_faults",
     "--baud 115200 --interval 0-5 --count 30 --seed 13 --faults "
     "--split-pause 150",
     nullptr, 5},
    {"every_fault_at_once",
     "--baud 0 --interval 0 --count 24 --seed 14 --split 2 --pair 3 --noise 1 --overlong 4",
     nullptr, 8},
    {"input_lines", "--baud 0 --interval 0", edge_input.c_str(), 3},
    {"overlong_across_reads", "--baud 0 --interval 0 --split 1 --split-pause 150",
     overlong_input.c_str(), 6},
};

// The files of one scenario's run: its record log, and its input when it has one. They are
// removed when the test ends, passed or not.
struct ScenarioFiles {
    std::string log;
    std::string input; // empty when the simulator generates the cards

    ScenarioFiles(const LineScenario &scenario, const char *run)
        : log(temp_path(std::string(scenario.name) + "." + run + ".log")) {
        if (scenario.input != nullptr) {
            input = temp_path(std::string(scenario.name) + ".in");
            std::ofstream(input) << scenario.input;
        }
    }
    ~ScenarioFiles() {
        std::remove(log.c_str());
        if (!input.empty()) {
            std::remove(input.c_str());
        }
    }
    ScenarioFiles(const ScenarioFiles &) = delete;
    ScenarioFiles &operator=(const ScenarioFiles &) = delete;
};

std::vector<std::string> simulator_args(const LineScenario &scenario, const ScenarioFiles &files) {
    std::vector<std::string> args{DREMLIX_SIM_PATH};
    for (const std::string &word : split_words(scenario.options)) {
        args.push_back(word);
    }
    args.push_back("--log");
    args.push_back(files.log);
    if (!files.input.empty()) {
        args.push_back("--input");
        args.push_back(files.input);
    }
    return args;
}

// Frames ';' ... '?' the simplest way, with no length limit: what a perfect reader of
// the line would see.
std::vector<std::string> frames_in(const std::string &line_bytes) {
    std::vector<std::string> frames;
    std::size_t at = 0;
    for (;;) {
        const std::size_t start = line_bytes.find(';', at);
        if (start == std::string::npos) {
            return frames;
        }
        const std::size_t end = line_bytes.find('?', start + 1);
        if (end == std::string::npos) {
            return frames;
        }
        frames.push_back(line_bytes.substr(start + 1, end - start - 1));
        at = end + 1;
    }
}

class SimulatorLine : public testing::TestWithParam<LineScenario> {};

// Without dremlix: a plain reader of the port must find exactly the logged records, in
// order, with nothing that looks like a record in the noise.
TEST_P(SimulatorLine, PortCarriesExactlyTheLoggedRecords) {
    const LineScenario &scenario = GetParam();
    const ScenarioFiles files(scenario, "plain");
    const RunResult run =
        run_captured(simulator_args(scenario, files), [](const std::string &path) {
            return open(path.c_str(), O_RDONLY | O_NOCTTY);
        });
    const std::string &line_bytes = run.port;
    ASSERT_FALSE(run.timed_out) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;

    const std::vector<LoggedRecord> sent = read_log(files.log);
    std::vector<std::string> sent_bodies;
    long records = 0;
    for (const LoggedRecord &record : sent) {
        sent_bodies.push_back(record.body);
        records += record.kind == "record" ? 1 : 0;
        EXPECT_EQ(record.kind, record.body.size() > RecordLimit ? "overlong" : "record")
            << record.body;
    }
    EXPECT_FALSE(sent_bodies.empty());
    EXPECT_EQ(frames_in(line_bytes), sent_bodies) << run.err;
    // Whatever is not inside a frame is the noise the simulator says it added.
    long long framed = 0;
    for (const std::string &body : sent_bodies) {
        framed += static_cast<long long>(body.size()) + FramingBytes;
    }
    EXPECT_EQ(static_cast<long long>(line_bytes.size()) - framed,
              summary_value(run.err, "noise_bytes"));
    if (std::string(scenario.options).find("--noise") != std::string::npos ||
        std::string(scenario.options).find("--faults") != std::string::npos) {
        EXPECT_GT(summary_value(run.err, "noise_bytes"), 0);
    }
    EXPECT_EQ(summary_value(run.err, "records"), records) << run.err;
    EXPECT_EQ(summary_value(run.err, "overlong"), static_cast<long>(sent.size()) - records);
    EXPECT_EQ(summary_value(run.err, "bytes"), static_cast<long>(line_bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SimulatorLine, testing::ValuesIn(scenarios), scenario_name);

// How the simulator runs a command: what it hands it and what it hands back.
struct CommandCase {
    const char *name;
    std::vector<std::string> options;
    std::vector<std::string> command;
    int status;
    const char *out_has; // expected in the captured stdout, or nullptr
    const char *err_has; // expected in the captured stderr, or nullptr
};

// This process's SigIgn line: what the command should see, since the simulator must not
// add its own ignored signals to the ones it was started with.
std::string ignored_signals_line() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigIgn:", 0) == 0) {
            return line;
        }
    }
    return "SigIgn: unknown";
}

TEST(SimulatorCommand, PassesThePortAndTheExitStatus) {
    const std::string own_ignored_signals = ignored_signals_line();
    const CommandCase cases[] = {
        {"exit status passed on",
         {"--input", "/dev/null"},
         {"/bin/sh", "-c", "exit 7"},
         7,
         nullptr,
         nullptr},
        {"signal becomes 128+N",
         {"--input", "/dev/null"},
         {"/bin/sh", "-c", "kill -9 $$"},
         SignalStatusBase + SIGKILL,
         nullptr,
         nullptr},
        {"port variable names the pty, ended on schedule",
         {"--port", "4", "--baud", "0", "--interval", "0", "--count", "3", "--term-after", "100"},
         {"/bin/sh", "-c", "exec cat \"$DREMLIX_COM4\""},
         0,
         ";5494478527464549=300350180041205709?;2514342557868727=320850118931393?",
         "records=3 "},
        {"other ports not set",
         {"--port", "2", "--input", "/dev/null", "--no-wait", "--settle", "0"},
         {"/bin/sh", "-c", "test -z \"$DREMLIX_COM1\" && test -c \"$DREMLIX_COM2\""},
         0,
         nullptr,
         nullptr},
        {"signals as a shell would leave them",
         {"--input", "/dev/null", "--no-wait", "--settle", "0"},
         {"/bin/sh", "-c", "grep -E '^SigIgn:' /proc/self/status"},
         0,
         own_ignored_signals.c_str(),
         nullptr},
        {"nobody opens the port",
         {"--open-timeout", "300"},
         {"/bin/sh", "-c", "exec sleep 20"},
         1,
         nullptr,
         "nobody opened"},
        {"command not found", {}, {"/nonexistent/dremlix"}, CannotRunStatus, nullptr, "cannot run"},
        {"bad option value", {"--port", "9"}, {"/bin/true"}, 1, nullptr, "--port"},
        {"negative seed", {"--seed", "-1"}, {"/bin/true"}, 1, nullptr, "--seed"},
        {"term-after without a command", {"--term-after", "5"}, {}, 1, nullptr, "needs"},
    };
    for (const CommandCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{DREMLIX_SIM_PATH};
        args.insert(args.end(), c.options.begin(), c.options.end());
        if (!c.command.empty()) {
            args.push_back("--");
            args.insert(args.end(), c.command.begin(), c.command.end());
        }
        const RunResult run = run_captured(args);
        ASSERT_FALSE(run.timed_out) << run.err;
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.out_has != nullptr) {
            EXPECT_NE(run.out.find(c.out_has), std::string::npos) << run.out;
        }
        if (c.err_has != nullptr) {
            EXPECT_NE(run.err.find(c.err_has), std::string::npos) << run.err;
        }
    }
}

// ---------------------------------------------------------------------------------------
// dremlix reading from the simulator

#ifdef DREMLIX_TOOL_PATH

// What dremlix printed as records: the lines after its port line.
std::vector<std::string> printed_records(const std::string &out, int port) {
    const std::string port_line = "\nPort:COM" + std::to_string(port) + "\n";
    const std::size_t at = out.find(port_line);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << port_line.substr(1) << "line in:\n" << out;
        return {};
    }
    std::string rest = out.substr(at + port_line.size());
    std::vector<std::string> lines;
    if (rest.empty()) {
        return lines;
    }
    EXPECT_EQ(rest[0], '\n') << "each record starts a line of its own";
    std::size_t from = 1;
    for (;;) {
        const std::size_t newline = rest.find('\n', from);
        lines.push_back(rest.substr(from, newline - from));
        if (newline == std::string::npos) {
            return lines;
        }
        from = newline + 1;
    }
}

class DremlixOverSimulator : public testing::TestWithParam<LineScenario> {};

// Every record the simulator sent is printed once, in order, and nothing else; an
// overlong record may be printed or dropped, but only in its own place.
TEST_P(DremlixOverSimulator, PrintsEverySentRecordOnceInOrder) {
    const LineScenario &scenario = GetParam();
    const ScenarioFiles files(scenario, "tool");
    const std::string port = std::to_string(scenario.port);
    std::vector<std::string> args = simulator_args(scenario, files);
    for (const char *word :
         {"--port", port.c_str(), "--term-after", "300", "--", DREMLIX_TOOL_PATH, port.c_str()}) {
        args.push_back(word);
    }
    const RunResult run = run_captured(args);
    ASSERT_FALSE(run.timed_out) << run.out << run.err;
    // 0: the simulator ended dremlix itself once the port was read empty.
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("Error!"), std::string::npos) << run.err;

    const std::vector<LoggedRecord> sent = read_log(files.log);
    const std::vector<std::string> printed = printed_records(run.out, scenario.port);
    ASSERT_FALSE(sent.empty()) << run.err;
    std::size_t next = 0;
    for (const LoggedRecord &record : sent) {
        const bool match = next < printed.size() && printed[next] == record.body;
        if (record.kind == "overlong") {
            // Dropped, printed, or printed cut short (an empty line included): at most
            // one line, and nothing that is not part of this record.
            const bool part = next < printed.size() &&
                              record.body.compare(0, printed[next].size(), printed[next]) == 0;
            next += part ? 1 : 0;
            continue;
        }
        ASSERT_TRUE(match) << "record " << record.body << " expected as printed line " << next
                           << ", got " << (next < printed.size() ? printed[next] : "(none)")
                           << "\nfull output:\n"
                           << run.out;
        ++next;
    }
    EXPECT_EQ(next, printed.size()) << "extra lines, first: " << printed[next];
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DremlixOverSimulator, testing::ValuesIn(scenarios),
                         scenario_name);

#endif

} // namespace
