#include "sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>

namespace {

const char UsageText[] =
    "Usage: dremlix-sim [options] [-- command [args...]]\n"
    "\n"
    "Plays a magnetic card reader on a pseudo-terminal. Without a command it prints the\n"
    "path of the port (the pty slave) and sends once something opens it. With a command\n"
    "it runs the command with DREMLIX_COM<port>=<slave path> in its environment, sends\n"
    "while the command runs, ends when the command ends and exits with its status (128+N\n"
    "when a signal N ended it). The command keeps this terminal, so a key pressed there\n"
    "reaches it.\n"
    "\n"
    "Records go out as ';' body '?', the track-2 framing a reader puts on the line.\n"
    "\n"
    "Options:\n"
    "  --port N            COM port number 1..8 published to the command (default 1)\n"
    "  --baud RATE         line rate, 10 bit times per byte (8N1); 0 sends as fast as the\n"
    "                      reader takes the bytes (default 9600)\n"
    "  --count N           records to send, 0 for no limit (default 0; with --input, the\n"
    "                      whole input)\n"
    "  --interval MS[-MAX] idle line between records in milliseconds, or a random time\n"
    "                      from MS to MAX for each gap (default 1000)\n"
    "  --seed N            seed for the generated cards; a seed always gives the same\n"
    "                      cards and gaps (default 1)\n"
    "  --input FILE        take record bodies from FILE instead of generating cards, one\n"
    "                      per line; '-' reads standard input. The simulator adds the\n"
    "                      ';' and '?' around each line (a trailing CR is dropped)\n"
    "  --split K           every K-th record stops in its middle for --split-pause\n"
    "  --split-pause MS    length of that stop (default 250, longer than the reader's\n"
    "                      idle pause so the record arrives in two reads)\n"
    "  --pair K            every K-th record goes out in one write with the record after\n"
    "  --noise K           1 to 16 bytes of line noise (anything but ';' and '?') before\n"
    "                      every K-th record\n"
    "  --overlong K        a 65 to 120 character record before every K-th record; it is\n"
    "                      not counted in --count and the reader may drop it\n"
    "  --faults            all of the above: --split 5 --pair 7 --noise 3 --overlong 11\n"
    "  --log FILE          one line per record sent: '<ns>\\t<kind>\\t<body>', where <ns>\n"
    "                      is CLOCK_MONOTONIC when the write holding its '?' returned and\n"
    "                      <kind> is 'record', or 'overlong' for bodies over 64 characters\n"
    "  --settle MS         wait after the port is opened before the first byte, so the\n"
    "                      reader has set the line up (default 200)\n"
    "  --open-timeout MS   give up when the port is not opened in time; 0 waits for ever\n"
    "                      (default 10000 with a command, 0 without)\n"
    "  --no-wait           start after --settle without waiting for the port to be opened\n"
    "  --term-after MS     with a command: once everything is sent and read from the\n"
    "                      port, wait MS and end the command with SIGTERM; ending it that\n"
    "                      way counts as success (exit status 0)\n"
    "  --quiet             no messages on standard error but errors\n"
    "  --help              this text\n"
    "\n"
    "At the end a summary goes to standard error, for example:\n"
    "  dremlix-sim: records=40 overlong=3 noise_bytes=97 bytes=1934 seconds=0.412\n"
    "    first_ns=... drained_ns=... stalls=0 port_output=0\n"
    "where first_ns and drained_ns (CLOCK_MONOTONIC) are the first write and the moment\n"
    "the reader had taken every byte, and stalls counts the times the line fell behind\n"
    "its schedule by more than 50 ms because the reader did not take the bytes, and\n"
    "port_output counts bytes the reader wrote to the port (a card reader takes none).\n"
    "\n"
    "Exit status: the command's as above; without a command 0. 1 for the simulator's\n"
    "own failures (a bad option, a port nobody opened in time), 127 when the command\n"
    "cannot be run.\n"
    "\n"
    "The simulator keeps the port open itself, so the raw settings it gives the line\n"
    "stay in place until the reader sets its own. A pty carries no line break, so a\n"
    "break cannot be simulated.\n";

const int FirstPort = 1;
const int LastPort = 8;
// Far past any real serial line, and far below a rate at which a byte's time rounds to nothing.
const long FastestBaud = 10000000;
// The largest record count or "every K" an option takes: far past any real run, and well
// inside a long everywhere.
const long LargestCount = 2000000000;
const long LongestIntervalMs = 3600000; // an hour
const long LongestWaitMs = 86400000;    // a day

// With a command something is meant to open the port soon; alone, the user opens it by hand.
const long CommandOpenTimeoutMs = 10000;

// What --faults stands for; the help text gives the same numbers.
const long FaultsSplitEvery = 5;
const long FaultsPairEvery = 7;
const long FaultsNoiseEvery = 3;
const long FaultsOverlongEvery = 11;

// Past every character, so that no long option passes for a short one. The order is that of
// LongOptions below, which names a bad value's option by it.
enum LongOption {
    PortOption = 1000,
    BaudOption,
    CountOption,
    IntervalOption,
    SeedOption,
    InputOption,
    SplitOption,
    SplitPauseOption,
    PairOption,
    NoiseOption,
    OverlongOption,
    FaultsOption,
    LogOption,
    SettleOption,
    OpenTimeoutOption,
    NoWaitOption,
    TermAfterOption,
    QuietOption,
    HelpOption
};

const option LongOptions[] = {
    {"port", required_argument, nullptr, PortOption},
    {"baud", required_argument, nullptr, BaudOption},
    {"count", required_argument, nullptr, CountOption},
    {"interval", required_argument, nullptr, IntervalOption},
    {"seed", required_argument, nullptr, SeedOption},
    {"input", required_argument, nullptr, InputOption},
    {"split", required_argument, nullptr, SplitOption},
    {"split-pause", required_argument, nullptr, SplitPauseOption},
    {"pair", required_argument, nullptr, PairOption},
    {"noise", required_argument, nullptr, NoiseOption},
    {"overlong", required_argument, nullptr, OverlongOption},
    {"faults", no_argument, nullptr, FaultsOption},
    {"log", required_argument, nullptr, LogOption},
    {"settle", required_argument, nullptr, SettleOption},
    {"open-timeout", required_argument, nullptr, OpenTimeoutOption},
    {"no-wait", no_argument, nullptr, NoWaitOption},
    {"term-after", required_argument, nullptr, TermAfterOption},
    {"quiet", no_argument, nullptr, QuietOption},
    {"help", no_argument, nullptr, HelpOption},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number from low to high, and nothing after it.
bool parse_long(const char *text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// "MS" or "MS-MAX".
bool parse_interval(const char *text, long &low, long &high) {
    const char *dash = std::strchr(text, '-');
    if (dash == nullptr) {
        if (!parse_long(text, 0, LongestIntervalMs, low)) {
            return false;
        }
        high = low;
        return true;
    }
    const std::string first(text, static_cast<std::size_t>(dash - text));
    return parse_long(first.c_str(), 0, LongestIntervalMs, low) &&
           parse_long(dash + 1, 0, LongestIntervalMs, high) && low <= high;
}

// Any base strtoull reads (0x... and 0... included), so a seed can be pasted as printed. A
// minus sign is refused: strtoull would quietly wrap it into a huge seed nobody typed.
bool parse_seed(const char *text, std::uint64_t &seed) {
    char *end = nullptr;
    errno = 0;
    seed = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && std::strchr(text, '-') == nullptr;
}

// The options that take a whole number, with the range each allows.
struct NumberOption {
    LongOption option;
    long SimOptions::*value;
    long low;
    long high;
};

const NumberOption NumberOptions[] = {
    {BaudOption, &SimOptions::baud, 0, FastestBaud},
    {CountOption, &SimOptions::count, 0, LargestCount},
    {SplitOption, &SimOptions::split_every, 0, LargestCount},
    {SplitPauseOption, &SimOptions::split_pause_ms, 0, LongestWaitMs},
    {PairOption, &SimOptions::pair_every, 0, LargestCount},
    {NoiseOption, &SimOptions::noise_every, 0, LargestCount},
    {OverlongOption, &SimOptions::overlong_every, 0, LargestCount},
    {SettleOption, &SimOptions::settle_ms, 0, LongestWaitMs},
    {OpenTimeoutOption, &SimOptions::open_timeout_ms, 0, LongestWaitMs},
    {TermAfterOption, &SimOptions::term_after_ms, 0, LongestWaitMs},
};

// Takes one option (its value in optarg) into options; false when its value is bad.
bool take_option(int choice, SimOptions &options) {
    for (const NumberOption &number : NumberOptions) {
        if (choice == number.option) {
            return parse_long(optarg, number.low, number.high, options.*number.value);
        }
    }
    long port = 0;
    switch (choice) {
    case PortOption: {
        const bool ok = parse_long(optarg, FirstPort, LastPort, port);
        options.port = static_cast<int>(port);
        return ok;
    }
    case IntervalOption:
        return parse_interval(optarg, options.interval_min_ms, options.interval_max_ms);
    case SeedOption:
        return parse_seed(optarg, options.seed);
    case InputOption:
        options.input_path = optarg;
        return true;
    case FaultsOption:
        options.split_every = FaultsSplitEvery;
        options.pair_every = FaultsPairEvery;
        options.noise_every = FaultsNoiseEvery;
        options.overlong_every = FaultsOverlongEvery;
        return true;
    case LogOption:
        options.log_path = optarg;
        return true;
    case NoWaitOption:
        options.wait_for_open = false;
        return true;
    case QuietOption:
        options.quiet = true;
        return true;
    default:
        return true;
    }
}

} // namespace

bool parse_options(int argc, char **argv, SimOptions &options, int &exit_status) {
    for (;;) {
        // '+' stops at the first word that is not an option, so the command's own
        // options are left alone even without a "--".
        const int choice = getopt_long(argc, argv, "+h", LongOptions, nullptr);
        if (choice == -1) {
            break;
        }
        if (choice == 'h' || choice == HelpOption) {
            std::fputs(UsageText, stdout);
            exit_status = SuccessStatus;
            return false;
        }
        if (choice < PortOption || choice > HelpOption) {
            std::fputs("Try 'dremlix-sim --help'.\n", stderr);
            exit_status = FailureStatus;
            return false;
        }
        if (!take_option(choice, options)) {
            std::fprintf(stderr, "dremlix-sim: bad value '%s' for --%s\n", optarg,
                         LongOptions[choice - PortOption].name);
            exit_status = FailureStatus;
            return false;
        }
    }
    if (optind < argc) {
        options.command = argv + optind;
    }
    if (options.open_timeout_ms < 0) {
        options.open_timeout_ms = options.command != nullptr ? CommandOpenTimeoutMs : 0;
    }
    if (options.term_after_ms >= 0 && options.command == nullptr) {
        std::fputs("dremlix-sim: --term-after needs a command\n", stderr);
        exit_status = FailureStatus;
        return false;
    }
    return true;
}
