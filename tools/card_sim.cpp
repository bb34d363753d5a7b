// dremlix-sim: plays a magnetic card reader on a pseudo-terminal, so dremlix can be run,
// demonstrated, tested and measured without the hardware.

#include "card_gen.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char usage_text[] =
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

struct sim_options {
    int port = 1;
    long baud = 9600;
    long count = 0;
    long interval_min_ms = 1000;
    long interval_max_ms = 1000;
    std::uint64_t seed = 1;
    const char *input_path = nullptr;
    long split_every = 0;
    long split_pause_ms = 250;
    long pair_every = 0;
    long noise_every = 0;
    long overlong_every = 0;
    const char *log_path = nullptr;
    long settle_ms = 200;
    long open_timeout_ms = -1;
    bool wait_for_open = true;
    long term_after_ms = -1;
    bool quiet = false;
    char **command = nullptr;
};

struct sent_record {
    std::string body;
    bool overlong;
};

// A stretch of bytes that goes onto the line without a pause; records_ending lists,
// for each record whose '?' is in it, the offset of that '?' and the record.
struct segment {
    std::string bytes;
    long long pause_before_ns = 0;
    bool one_write = false;
    std::vector<std::pair<std::size_t, sent_record>> records_ending;
};

struct sim_state {
    sim_options options;
    int master_fd = -1;
    int slave_fd = -1;
    std::string slave_path;
    struct stat slave_id {};
    pid_t child = -1;
    void (*inherited_sigpipe)(int) = SIG_DFL;
    bool child_done = false;
    int child_status = 0;
    bool terminated_by_us = false;
    long long byte_ns = 0;
    long long line_clock_ns = 0;
    long long next_child_check_ns = 0;
    FILE *log = nullptr;
    FILE *input = nullptr;
    card_rng rng{};
    long records_sent = 0;
    long overlong_sent = 0;
    long long noise_bytes = 0;
    long long bytes_sent = 0;
    long long first_write_ns = 0;
    long long drained_ns = 0;
    long stalls = 0;
    long long port_output = 0;
    std::string pending;
    std::vector<std::pair<std::size_t, sent_record>> pending_records;
};

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleep_until_ns(long long deadline) {
    timespec when{};
    when.tv_sec = static_cast<time_t>(deadline / 1000000000LL);
    when.tv_nsec = static_cast<long>(deadline % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        if (stop_requested)
            return;
    }
}

bool parse_long(const char *text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

bool parse_interval(const char *text, long &low, long &high) {
    const char *dash = std::strchr(text, '-');
    if (dash == nullptr) {
        if (!parse_long(text, 0, 3600000, low))
            return false;
        high = low;
        return true;
    }
    const std::string first(text, static_cast<std::size_t>(dash - text));
    return parse_long(first.c_str(), 0, 3600000, low) && parse_long(dash + 1, 0, 3600000, high) &&
           low <= high;
}

// Returns 0 to go on, or the exit status to end with at once.
int parse_options(int argc, char **argv, sim_options &options) {
    enum {
        opt_port = 1000,
        opt_baud,
        opt_count,
        opt_interval,
        opt_seed,
        opt_input,
        opt_split,
        opt_split_pause,
        opt_pair,
        opt_noise,
        opt_overlong,
        opt_faults,
        opt_log,
        opt_settle,
        opt_open_timeout,
        opt_no_wait,
        opt_term_after,
        opt_quiet,
        opt_help
    };
    static const option long_options[] = {
        {"port", required_argument, nullptr, opt_port},
        {"baud", required_argument, nullptr, opt_baud},
        {"count", required_argument, nullptr, opt_count},
        {"interval", required_argument, nullptr, opt_interval},
        {"seed", required_argument, nullptr, opt_seed},
        {"input", required_argument, nullptr, opt_input},
        {"split", required_argument, nullptr, opt_split},
        {"split-pause", required_argument, nullptr, opt_split_pause},
        {"pair", required_argument, nullptr, opt_pair},
        {"noise", required_argument, nullptr, opt_noise},
        {"overlong", required_argument, nullptr, opt_overlong},
        {"faults", no_argument, nullptr, opt_faults},
        {"log", required_argument, nullptr, opt_log},
        {"settle", required_argument, nullptr, opt_settle},
        {"open-timeout", required_argument, nullptr, opt_open_timeout},
        {"no-wait", no_argument, nullptr, opt_no_wait},
        {"term-after", required_argument, nullptr, opt_term_after},
        {"quiet", no_argument, nullptr, opt_quiet},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    const long day_ms = 86400000;
    for (;;) {
        // '+' stops at the first word that is not an option, so the command's own
        // options are left alone even without a "--".
        const int choice = getopt_long(argc, argv, "+h", long_options, nullptr);
        if (choice == -1)
            break;
        bool ok = true;
        long value = 0;
        switch (choice) {
        case opt_port:
            ok = parse_long(optarg, 1, 8, value);
            options.port = static_cast<int>(value);
            break;
        case opt_baud:
            ok = parse_long(optarg, 0, 10000000, options.baud);
            break;
        case opt_count:
            ok = parse_long(optarg, 0, 2000000000, options.count);
            break;
        case opt_interval:
            ok = parse_interval(optarg, options.interval_min_ms, options.interval_max_ms);
            break;
        case opt_seed: {
            char *end = nullptr;
            errno = 0;
            options.seed = std::strtoull(optarg, &end, 0);
            ok = errno == 0 && end != optarg && *end == '\0';
            break;
        }
        case opt_input:
            options.input_path = optarg;
            break;
        case opt_split:
            ok = parse_long(optarg, 0, 2000000000, options.split_every);
            break;
        case opt_split_pause:
            ok = parse_long(optarg, 0, day_ms, options.split_pause_ms);
            break;
        case opt_pair:
            ok = parse_long(optarg, 0, 2000000000, options.pair_every);
            break;
        case opt_noise:
            ok = parse_long(optarg, 0, 2000000000, options.noise_every);
            break;
        case opt_overlong:
            ok = parse_long(optarg, 0, 2000000000, options.overlong_every);
            break;
        case opt_faults:
            options.split_every = 5;
            options.pair_every = 7;
            options.noise_every = 3;
            options.overlong_every = 11;
            break;
        case opt_log:
            options.log_path = optarg;
            break;
        case opt_settle:
            ok = parse_long(optarg, 0, day_ms, options.settle_ms);
            break;
        case opt_open_timeout:
            ok = parse_long(optarg, 0, day_ms, options.open_timeout_ms);
            break;
        case opt_no_wait:
            options.wait_for_open = false;
            break;
        case opt_term_after:
            ok = parse_long(optarg, 0, day_ms, options.term_after_ms);
            break;
        case opt_quiet:
            options.quiet = true;
            break;
        case 'h':
        case opt_help:
            std::fputs(usage_text, stdout);
            return -1;
        default:
            std::fputs("Try 'dremlix-sim --help'.\n", stderr);
            return 1;
        }
        if (!ok) {
            std::fprintf(stderr, "dremlix-sim: bad value '%s' for --%s\n", optarg,
                         long_options[choice - opt_port].name);
            return 1;
        }
    }
    if (optind < argc)
        options.command = argv + optind;
    if (options.open_timeout_ms < 0)
        options.open_timeout_ms = options.command != nullptr ? 10000 : 0;
    if (options.term_after_ms >= 0 && options.command == nullptr) {
        std::fputs("dremlix-sim: --term-after needs a command\n", stderr);
        return 1;
    }
    return 0;
}

speed_t nominal_speed(long baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

bool open_port(sim_state &state) {
    state.master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state.master_fd < 0 || grantpt(state.master_fd) != 0 || unlockpt(state.master_fd) != 0) {
        std::fprintf(stderr, "dremlix-sim: cannot create a pty: %s\n", std::strerror(errno));
        return false;
    }
    const char *name = ptsname(state.master_fd);
    if (name == nullptr) {
        std::fprintf(stderr, "dremlix-sim: ptsname: %s\n", std::strerror(errno));
        return false;
    }
    state.slave_path = name;
    // Holding the slave open keeps its settings: the kernel resets a pty slave's
    // termios when its last opener closes it, and the reader must not find a cooked,
    // echoing line that it did not ask for. O_NOCTTY so a session leader (setsid)
    // never gets the port as its terminal through us.
    state.slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state.slave_fd < 0) {
        std::fprintf(stderr, "dremlix-sim: cannot open %s: %s\n", name, std::strerror(errno));
        return false;
    }
    fstat(state.slave_fd, &state.slave_id);
    termios line{};
    if (tcgetattr(state.slave_fd, &line) == 0) {
        cfmakeraw(&line);
        cfsetspeed(&line, nominal_speed(state.options.baud));
        tcsetattr(state.slave_fd, TCSANOW, &line);
    }
    const int flags = fcntl(state.master_fd, F_GETFL);
    fcntl(state.master_fd, F_SETFL, flags | O_NONBLOCK);
    return true;
}

void start_command(sim_state &state) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "DREMLIX_COM%d", state.options.port);
    const pid_t parent = getpid();
    // Until the exec the child holds our descriptors, the slave among them, and would
    // pass for the reader opening the port. The pipe closes on exec, so a read that
    // ends tells us the child is the command now.
    int exec_done[2];
    if (pipe2(exec_done, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "dremlix-sim: pipe: %s\n", std::strerror(errno));
        std::exit(1);
    }
    state.child = fork();
    if (state.child < 0) {
        std::fprintf(stderr, "dremlix-sim: fork: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (state.child == 0) {
        close(exec_done[0]);
        // An ignored signal stays ignored across exec: hand the command SIGPIPE as we
        // were given it, not as we set it for ourselves.
        std::signal(SIGPIPE, state.inherited_sigpipe);
        setenv(variable, state.slave_path.c_str(), 1);
        // A reader left behind by a crashed simulator would run for ever on a dead
        // port; let the kernel end it with us.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        execvp(state.options.command[0], state.options.command);
        std::fprintf(stderr, "dremlix-sim: cannot run %s: %s\n", state.options.command[0],
                     std::strerror(errno));
        _exit(127);
    }
    close(exec_done[1]);
    char ignored = 0;
    while (read(exec_done[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(exec_done[0]);
}

// Throws away whatever the reader writes to the port, counting it: a card reader line
// carries nothing that way, and left unread it could block the reader.
void drain_port_output(sim_state &state) {
    char sink[512];
    for (;;) {
        const ssize_t got = read(state.master_fd, sink, sizeof sink);
        if (got <= 0)
            return;
        state.port_output += got;
    }
}

bool child_running(sim_state &state) {
    if (state.child <= 0)
        return !stop_requested;
    if (!state.child_done) {
        int status = 0;
        const pid_t done = waitpid(state.child, &status, WNOHANG);
        if (done == state.child) {
            state.child_done = true;
            state.child_status = status;
        }
    }
    return !state.child_done;
}

// Sleeps until deadline in short steps, watching the command and the port; false when
// the command ended or a stop was asked for.
bool wait_until(sim_state &state, long long deadline) {
    for (;;) {
        if (!child_running(state) || stop_requested)
            return false;
        drain_port_output(state);
        const long long now = monotonic_ns();
        if (now >= deadline)
            return true;
        const long long step = deadline - now < 50000000LL ? deadline : now + 50000000LL;
        sleep_until_ns(step);
    }
}

// The id of a process other than this one that has the slave open, or 0.
long slave_opened_elsewhere(const sim_state &state) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    const pid_t self = getpid();
    long found = 0;
    while (!found) {
        const dirent *entry = readdir(proc);
        if (entry == nullptr)
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        char fd_dir_path[64];
        std::snprintf(fd_dir_path, sizeof fd_dir_path, "/proc/%ld/fd", pid);
        DIR *fds = opendir(fd_dir_path);
        if (fds == nullptr)
            continue;
        while (const dirent *fd_entry = readdir(fds)) {
            if (fd_entry->d_name[0] == '.')
                continue;
            char target[256];
            const ssize_t length =
                readlinkat(dirfd(fds), fd_entry->d_name, target, sizeof target - 1);
            if (length <= 0)
                continue;
            target[length] = '\0';
            // The same path can name another pty: a process in another devpts instance
            // (a container on this machine) sees its own /dev/pts/N. Only the inode
            // tells them apart; the path check keeps out deleted ptys whose inode number
            // ours has taken over.
            struct stat opened {};
            if (state.slave_path == target &&
                fstatat(dirfd(fds), fd_entry->d_name, &opened, 0) == 0 &&
                opened.st_dev == state.slave_id.st_dev && opened.st_ino == state.slave_id.st_ino) {
                found = pid;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

// Data written before the reader opens the port could be flushed by it or read
// before its line settings are in place, so hold back until it is there.
bool wait_for_reader(sim_state &state) {
    const sim_options &options = state.options;
    if (options.wait_for_open) {
        const long long start = monotonic_ns();
        for (;;) {
            const long opener = slave_opened_elsewhere(state);
            if (opener != 0) {
                // With a command the opener is expected; alone, say who it was.
                if (!options.quiet && options.command == nullptr) {
                    char comm_path[64];
                    char comm[64] = "?";
                    std::snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", opener);
                    if (FILE *file = std::fopen(comm_path, "r")) {
                        if (std::fgets(comm, sizeof comm, file) != nullptr)
                            comm[std::strcspn(comm, "\n")] = '\0';
                        std::fclose(file);
                    }
                    std::fprintf(stderr, "dremlix-sim: %s opened by process %ld (%s)\n",
                                 state.slave_path.c_str(), opener, comm);
                }
                break;
            }
            if (options.open_timeout_ms > 0 &&
                monotonic_ns() - start > options.open_timeout_ms * 1000000LL) {
                std::fprintf(stderr, "dremlix-sim: nobody opened %s within %ld ms\n",
                             state.slave_path.c_str(), options.open_timeout_ms);
                return false;
            }
            if (!wait_until(state, monotonic_ns() + 10000000LL))
                return false;
        }
    }
    return wait_until(state, monotonic_ns() + options.settle_ms * 1000000LL);
}

void log_record(sim_state &state, const sent_record &record, long long when) {
    if (record.overlong)
        ++state.overlong_sent;
    else
        ++state.records_sent;
    if (state.log != nullptr)
        std::fprintf(state.log, "%lld\t%s\t%s\n", when, record.overlong ? "overlong" : "record",
                     record.body.c_str());
}

// Writes all of bytes, waiting for room when the reader lags; false when the command
// ended first.
bool write_all(sim_state &state, const char *bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write(state.master_fd, bytes + done, length - done);
        if (wrote > 0) {
            if (state.first_write_ns == 0)
                state.first_write_ns = monotonic_ns();
            done += static_cast<std::size_t>(wrote);
            state.bytes_sent += wrote;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            std::fprintf(stderr, "dremlix-sim: write to port: %s\n", std::strerror(errno));
            return false;
        }
        if (!child_running(state) || stop_requested)
            return false;
        drain_port_output(state);
        pollfd room{state.master_fd, POLLOUT, 0};
        poll(&room, 1, 20);
    }
    return true;
}

bool flush_pending(sim_state &state) {
    if (state.pending.empty())
        return true;
    if (!write_all(state, state.pending.data(), state.pending.size()))
        return false;
    const long long now = monotonic_ns();
    for (const auto &ending : state.pending_records)
        log_record(state, ending.second, now);
    state.pending.clear();
    state.pending_records.clear();
    return true;
}

// Writes bytes [from, to) of the segment and logs the records they complete.
bool write_span(sim_state &state, const segment &part, std::size_t from, std::size_t to) {
    if (!write_all(state, part.bytes.data() + from, to - from))
        return false;
    const long long now = monotonic_ns();
    for (const auto &ending : part.records_ending)
        if (ending.first >= from && ending.first < to)
            log_record(state, ending.second, now);
    return true;
}

bool send_segment(sim_state &state, const segment &part) {
    if (state.byte_ns == 0) {
        // Unpaced: coalesce into large writes so the reader, not our system calls,
        // sets the pace.
        if (part.pause_before_ns > 0 || part.one_write) {
            if (!flush_pending(state))
                return false;
        }
        if (part.pause_before_ns > 0 && !wait_until(state, monotonic_ns() + part.pause_before_ns))
            return false;
        if (part.one_write)
            return write_span(state, part, 0, part.bytes.size());
        for (const auto &ending : part.records_ending)
            state.pending_records.emplace_back(state.pending.size() + ending.first, ending.second);
        state.pending += part.bytes;
        // Coalescing only pays when records follow each other at once; with gaps
        // between them a held-back record would leave late.
        if (state.pending.size() >= 4096 || state.options.interval_max_ms > 0)
            return flush_pending(state);
        return true;
    }

    // Paced: the schedule is kept on an absolute clock, so time lost to a late wakeup
    // is made up by the next bytes instead of piling up over a long run.
    const long long now = monotonic_ns();
    if (now - state.line_clock_ns > 50000000LL) {
        // The reader did not take the bytes (or this is the first one): bursting to
        // catch up would not be what a line does, so start the schedule again.
        if (state.line_clock_ns != 0)
            ++state.stalls;
        state.line_clock_ns = now;
    }
    state.line_clock_ns += part.pause_before_ns;
    if (part.one_write) {
        if (!wait_until(state, state.line_clock_ns))
            return false;
        state.line_clock_ns += static_cast<long long>(part.bytes.size()) * state.byte_ns;
        return write_span(state, part, 0, part.bytes.size());
    }
    std::size_t done = 0;
    while (done < part.bytes.size()) {
        // A byte is there for the reader once its stop bit is over.
        const long long due_at = state.line_clock_ns + state.byte_ns;
        long long current = monotonic_ns();
        if (current < due_at) {
            if (current >= state.next_child_check_ns) {
                state.next_child_check_ns = current + 20000000LL;
                if (!child_running(state) || stop_requested)
                    return false;
                drain_port_output(state);
            }
            if (due_at - current > 50000000LL) {
                if (!wait_until(state, due_at))
                    return false;
            } else {
                sleep_until_ns(due_at);
            }
            current = monotonic_ns();
        }
        std::size_t due = static_cast<std::size_t>((current - state.line_clock_ns) / state.byte_ns);
        if (due == 0)
            continue;
        if (due > part.bytes.size() - done)
            due = part.bytes.size() - done;
        if (!write_span(state, part, done, done + due))
            return false;
        done += due;
        state.line_clock_ns += static_cast<long long>(due) * state.byte_ns;
    }
    return true;
}

long long pick_interval_ns(sim_state &state) {
    const long ms = static_cast<long>(
        random_between(state.rng, static_cast<unsigned>(state.options.interval_min_ms),
                       static_cast<unsigned>(state.options.interval_max_ms)));
    return ms * 1000000LL;
}

// False when there is no record left to send.
bool next_body(sim_state &state, std::string &body) {
    if (state.input != nullptr) {
        char *line = nullptr;
        std::size_t capacity = 0;
        const ssize_t length = getline(&line, &capacity, state.input);
        if (length < 0) {
            std::free(line);
            return false;
        }
        body.assign(line, static_cast<std::size_t>(length));
        std::free(line);
        if (!body.empty() && body.back() == '\n')
            body.pop_back();
        if (!body.empty() && body.back() == '\r')
            body.pop_back();
        return true;
    }
    body = make_track2_body(state.rng);
    return true;
}

bool every(long period, long index) {
    return period > 0 && index % period == 0;
}

void add_record(segment &part, const std::string &body) {
    part.bytes += frame_record(body);
    part.records_ending.emplace_back(part.bytes.size() - 1, sent_record{body, body.size() > 64});
}

// Sends records until the count, the input or the command runs out.
void send_records(sim_state &state) {
    const sim_options &options = state.options;
    long index = 0;
    bool first = true;
    for (;;) {
        if (options.count > 0 && index >= options.count)
            break;
        std::string body;
        if (!next_body(state, body))
            break;
        ++index;
        const long long gap = first ? 0 : pick_interval_ns(state);
        first = false;

        if (every(options.overlong_every, index)) {
            segment overlong;
            overlong.pause_before_ns = gap;
            add_record(overlong, make_overlong_body(state.rng));
            if (!send_segment(state, overlong))
                return;
        }

        segment part;
        part.pause_before_ns = every(options.overlong_every, index) ? pick_interval_ns(state) : gap;
        if (every(options.noise_every, index)) {
            const std::string noise = make_noise(state.rng, random_between(state.rng, 1, 16));
            state.noise_bytes += static_cast<long long>(noise.size());
            part.bytes += noise;
        }
        const std::size_t record_start = part.bytes.size();
        const long first_index = index;
        add_record(part, body);
        if (every(options.pair_every, index) && (options.count == 0 || index < options.count)) {
            std::string second;
            if (next_body(state, second)) {
                ++index;
                add_record(part, second);
                part.one_write = true;
            }
        }
        if (every(options.split_every, first_index)) {
            // Break inside the first record's body: the reader has to join the halves.
            segment tail;
            const std::size_t cut = record_start + 1 + body.size() / 2;
            tail.bytes = part.bytes.substr(cut);
            tail.one_write = part.one_write;
            tail.pause_before_ns = options.split_pause_ms * 1000000LL;
            for (const auto &ending : part.records_ending)
                tail.records_ending.emplace_back(ending.first - cut, ending.second);
            part.bytes.resize(cut);
            part.records_ending.clear();
            if (!send_segment(state, part) || !send_segment(state, tail))
                return;
            continue;
        }
        if (!send_segment(state, part))
            return;
    }
    flush_pending(state);
}

// Waits until the reader has taken every byte from the port; bytes it never takes
// count as not delivered, so give up after a few quiet seconds.
void wait_for_drain(sim_state &state) {
    long long last_change = monotonic_ns();
    int last_queued = -1;
    int quiet_checks = 0;
    for (;;) {
        int queued = 0;
        if (ioctl(state.slave_fd, FIONREAD, &queued) != 0)
            return;
        const long long now = monotonic_ns();
        if (queued != last_queued) {
            last_queued = queued;
            last_change = now;
        }
        // Bytes pass through the kernel's flip buffer on their way to the queue, so
        // an empty queue is only trusted when it stays empty for a moment.
        quiet_checks = queued == 0 ? quiet_checks + 1 : 0;
        if (quiet_checks >= 3) {
            state.drained_ns = now;
            return;
        }
        if (now - last_change > 5000000000LL) {
            if (!state.options.quiet)
                std::fprintf(stderr, "dremlix-sim: %d bytes were never read from the port\n",
                             queued);
            return;
        }
        if (!wait_until(state, now + 1000000LL))
            return;
    }
}

int finish_command(sim_state &state) {
    const sim_options &options = state.options;
    if (options.term_after_ms >= 0 && child_running(state)) {
        wait_until(state, monotonic_ns() + options.term_after_ms * 1000000LL);
        if (child_running(state)) {
            state.terminated_by_us = true;
            kill(state.child, SIGTERM);
            const long long deadline = monotonic_ns() + 3000000000LL;
            while (child_running(state) && monotonic_ns() < deadline)
                sleep_until_ns(monotonic_ns() + 5000000LL);
            if (child_running(state)) {
                std::fprintf(stderr, "dremlix-sim: command ignored SIGTERM, killing it\n");
                state.terminated_by_us = false;
                kill(state.child, SIGKILL);
            }
        }
    }
    while (!state.child_done) {
        if (stop_requested) {
            // Passed on once; after that we just wait for the command to go.
            stop_requested = 0;
            kill(state.child, SIGTERM);
        }
        int status = 0;
        drain_port_output(state);
        const pid_t done = waitpid(state.child, &status, WNOHANG);
        if (done == state.child) {
            state.child_done = true;
            state.child_status = status;
            break;
        }
        pollfd output{state.master_fd, POLLIN, 0};
        poll(&output, 1, 50);
    }
    if (WIFEXITED(state.child_status))
        return WEXITSTATUS(state.child_status);
    if (WIFSIGNALED(state.child_status)) {
        if (state.terminated_by_us && WTERMSIG(state.child_status) == SIGTERM)
            return 0;
        return 128 + WTERMSIG(state.child_status);
    }
    return 1;
}

void print_summary(const sim_state &state) {
    const long long end = state.drained_ns != 0 ? state.drained_ns : monotonic_ns();
    const double seconds =
        state.first_write_ns != 0 ? static_cast<double>(end - state.first_write_ns) / 1e9 : 0.0;
    // dremlix leaves its last record without a line end; on a terminal, start our own.
    if (state.child > 0 && isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    std::fprintf(stderr,
                 "dremlix-sim: records=%ld overlong=%ld noise_bytes=%lld bytes=%lld seconds=%.3f "
                 "first_ns=%lld drained_ns=%lld stalls=%ld port_output=%lld\n",
                 state.records_sent, state.overlong_sent, state.noise_bytes, state.bytes_sent,
                 seconds, state.first_write_ns, state.drained_ns, state.stalls, state.port_output);
}

} // namespace

int main(int argc, char **argv) {
    sim_state state;
    const int parsed = parse_options(argc, argv, state.options);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    const sim_options &options = state.options;
    seed_rng(state.rng, options.seed);
    if (options.baud > 0)
        state.byte_ns = 10LL * 1000000000LL / options.baud;
    // Default timer slack (50 us) is a twentieth of a byte time at 9600 baud; ask for
    // the tightest wakeups the kernel will give.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // The port is a pty master: a reader gone away must not kill us with SIGPIPE.
    state.inherited_sigpipe = std::signal(SIGPIPE, SIG_IGN);

    if (options.input_path != nullptr) {
        state.input =
            std::strcmp(options.input_path, "-") == 0 ? stdin : std::fopen(options.input_path, "r");
        if (state.input == nullptr) {
            std::fprintf(stderr, "dremlix-sim: cannot read %s: %s\n", options.input_path,
                         std::strerror(errno));
            return 1;
        }
    }
    if (options.log_path != nullptr) {
        state.log = std::fopen(options.log_path, "w");
        if (state.log == nullptr) {
            std::fprintf(stderr, "dremlix-sim: cannot write %s: %s\n", options.log_path,
                         std::strerror(errno));
            return 1;
        }
    }
    if (!open_port(state))
        return 1;

    if (options.command != nullptr) {
        if (!options.quiet)
            std::fprintf(stderr, "dremlix-sim: COM%d is %s\n", options.port,
                         state.slave_path.c_str());
        start_command(state);
        // Like a shell running a job: a Ctrl-C on the shared terminal is for the
        // command, and we follow it out when it ends.
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGQUIT, SIG_IGN);
        std::signal(SIGTERM, on_stop_signal);
    } else {
        std::printf("%s\n", state.slave_path.c_str());
        std::fflush(stdout);
        std::signal(SIGINT, on_stop_signal);
        std::signal(SIGTERM, on_stop_signal);
    }

    bool sending_failed = false;
    if (wait_for_reader(state)) {
        send_records(state);
        if (child_running(state) && !stop_requested)
            wait_for_drain(state);
    } else if (child_running(state)) {
        sending_failed = true;
    }
    if (state.log != nullptr)
        std::fflush(state.log);

    int status = 0;
    if (state.child > 0) {
        if (sending_failed) {
            kill(state.child, SIGTERM);
            state.terminated_by_us = true;
        }
        status = finish_command(state);
        if (sending_failed)
            status = 1;
    } else if (sending_failed) {
        status = 1;
    }
    if (!options.quiet)
        print_summary(state);
    if (state.log != nullptr)
        std::fclose(state.log);
    return status;
}
