#include "wine_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace wine {

namespace {

namespace fs = std::filesystem;

using harness::Millis;

// wineboot alone takes seconds, and 15 or more under emulation; this only bounds a hang.
const Millis CommandPatience{180000};

std::string read_text(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The temporary directory to work in. The tool takes its port from the character after the
// first blank of its command line, so the path it runs from must have no blank.
std::string temp_root() {
    const char *tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0' && std::strchr(tmpdir, ' ') == nullptr) {
        return tmpdir;
    }
    return "/tmp";
}

// Whether `listing` (output of `reg query`) names the port COM<digit>.
bool lists_port(const std::string &listing, char digit) {
    std::string name = std::string("COM") + digit;
    for (std::size_t at = listing.find(name); at != std::string::npos;
         at = listing.find(name, at + 1)) {
        std::size_t after = at + name.size();
        if (after == listing.size() || !std::isdigit(static_cast<unsigned char>(listing[after]))) {
            return true;
        }
    }
    return false;
}

std::vector<pid_t> processes_of(const std::string &program, const std::string &prefix) {
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    const std::string wanted = "WINEPREFIX=" + prefix;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        std::string base = "/proc/" + std::string(entry->d_name);
        std::string command = read_text(base + "/cmdline");
        if (command.find(program) == std::string::npos) {
            continue;
        }
        std::string environment = read_text(base + "/environ");
        std::istringstream entries(environment);
        for (std::string item; std::getline(entries, item, '\0');) {
            if (item == wanted) {
                found.push_back(pid);
                break;
            }
        }
    }
    closedir(proc);
    return found;
}

} // namespace

bool parse_build(int argc, char **argv, Build *build, std::string *reason,
                 const std::vector<std::pair<std::string, std::string *>> &extra) {
    std::vector<std::pair<std::string, std::string *>> options = {
        {"--exe=", &build->exe}, {"--loader=", &build->loader}, {"--winearch=", &build->winearch}};
    options.insert(options.end(), extra.begin(), extra.end());
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool known = false;
        for (const auto &option : options) {
            if (arg.rfind(option.first, 0) == 0) {
                *option.second = arg.substr(option.first.size());
                known = true;
            }
        }
        if (!known) {
            *reason = "unknown argument " + arg;
            return false;
        }
    }
    for (const auto &option : options) {
        if (option.second->empty()) {
            *reason = "needs " + option.first + "...";
            return false;
        }
    }
    if (build->winearch != "win32" && build->winearch != "win64") {
        *reason = "--winearch= takes win32 or win64";
        return false;
    }
    return true;
}

bool loader_starts(const Build &build, std::string *reason) {
    harness::Options options;
    options.argv = {build.loader, "--version"};
    harness::Child probe(options);
    // Under emulation the loader takes well under a second; this only bounds a hang.
    if (!probe.wait_for_exit(Millis(60000))) {
        *reason = build.loader + " --version did not finish within a minute";
        return false;
    }
    if (probe.exit_code() == 127) {
        // The kernel refused the loader: an i386 program where no emulator is registered for
        // them, or none at all.
        *reason = "cannot execute " + build.loader + " (tests/wine/setup.sh installs Wine and " +
                  "registers an emulator for i386 programs)";
        return false;
    }
    if (probe.exit_code() != 0 || probe.out_text.rfind("wine-", 0) != 0) {
        *reason = build.loader + " --version failed, status " + std::to_string(probe.exit_code()) +
                  ": " + probe.out_text + probe.err_text;
        return false;
    }
    return true;
}

bool PrefixEnvironment::open_display(std::string *name, std::string *) {
    name->clear();
    return true;
}

void PrefixEnvironment::SetUp() {
    std::string display;
    std::string reason;
    if (!open_display(&display, &reason)) {
        FAIL() << reason;
    }
    if (!session().start(build_, &reason, display)) {
        FAIL() << "making a Wine prefix: " << reason;
    }
}

void PrefixEnvironment::TearDown() {
    session().finish();
    close_display();
}

int prepare_suite(const char *program, int argc, char **argv, Build *build,
                  const std::vector<std::pair<std::string, std::string *>> &extra) {
    std::string reason;
    if (!parse_build(argc, argv, build, &reason, extra)) {
        std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
        return 2;
    }
    if (!loader_starts(*build, &reason)) {
        std::printf("not run: this machine cannot start %s Wine: %s\n", build->winearch.c_str(),
                    reason.c_str());
        return NotRunStatus;
    }
    return -1;
}

Session &session() {
    static Session instance;
    return instance;
}

// Runs a Wine command with its output in a file, never on a pipe: Wine's background processes
// inherit what the command had open, and would hold a pipe open long after it ends.
bool Session::run(const std::vector<std::string> &argv, std::string *output, std::string *reason) {
    std::string log = dir_ + "/command.log";
    harness::Options options;
    options.argv = {"/bin/sh", "-c", "log=$1; shift; exec \"$@\" >\"$log\" 2>&1", "sh", log};
    options.argv.insert(options.argv.end(), argv.begin(), argv.end());
    harness::Child command(options);
    bool ended = command.wait_for_exit(CommandPatience);
    std::string text = read_text(log);
    if (output != nullptr) {
        *output = text;
    }
    if (ended && command.exit_code() == 0) {
        return true;
    }
    if (reason != nullptr) {
        *reason =
            argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
            (ended ? " failed, status " + std::to_string(command.exit_code()) : " did not finish") +
            ": " + text;
    }
    return false;
}

bool Session::restart_server(std::string *reason) {
    run({DREMLIX_WINESERVER, "-k"});
    if (!run({DREMLIX_WINESERVER, "-w"}, nullptr, reason)) {
        return false;
    }
    // Persistent for a minute after the last client: long enough to serve the whole run, short
    // enough that a run which died without cleaning up leaves no server behind for long.
    return run({DREMLIX_WINESERVER, "-p60"}, nullptr, reason);
}

bool Session::start(const Build &build, std::string *reason, const std::string &display) {
    build_ = build;
    std::string pattern = temp_root() + "/dremlix-wine-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        *reason = "mkdtemp: " + std::string(std::strerror(errno));
        return false;
    }
    dir_ = name.data();
    prefix_ = dir_ + "/prefix";
    port_link_ = dir_ + "/com3";
    tool_path_ = dir_ + "/dremlix.exe";

    std::error_code error;
    fs::create_directory(prefix_, error);
    fs::copy_file(build.exe, tool_path_, error);
    if (error) {
        *reason = "copying " + build.exe + ": " + error.message();
        return false;
    }

    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEARCH", build.winearch.c_str(), 1);
    setenv("WINESERVER", DREMLIX_WINESERVER, 1);
    setenv("WINEDEBUG", "-all", 1);
    // No Mono or Gecko: nothing here needs them, and offering to install them costs time.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // With a display Wine opens windows (the tool's message box among them); without one it
    // runs headless and MessageBoxA returns at once.
    unsetenv("WAYLAND_DISPLAY");
    if (display.empty()) {
        unsetenv("DISPLAY");
    } else {
        setenv("DISPLAY", display.c_str(), 1);
    }

    if (!run({DREMLIX_WINESERVER, "-p60"}, nullptr, reason) ||
        !run({build_.loader, "wineboot", "-i"}, nullptr, reason)) {
        return false;
    }
    // A dosdevices link alone does not last (Wine rebuilds the links when a session starts),
    // but a mapping in the registry does. Through the symlink, each test can point COM3 at a
    // fresh pty without touching the registry again.
    if (!run({build_.loader, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM3", "/t",
              "REG_SZ", "/d", port_link_, "/f"},
             nullptr, reason)) {
        return false;
    }
    // The mapping is read when the session starts, so start a new one.
    if (!restart_server(reason)) {
        return false;
    }

    // Wine maps serial devices of this machine to COM names of its own choosing: find a name
    // that leads nowhere, and make sure COM3 leads to the test's link.
    std::string listing;
    if (!run({build_.loader, "reg", "query", "HKLM\\Hardware\\DeviceMap\\SerialComm"}, &listing,
             reason)) {
        return false;
    }
    std::error_code link_error;
    fs::path com3 = fs::read_symlink(prefix_ + "/dosdevices/com3", link_error);
    if (!lists_port(listing, '3') || link_error || com3 != port_link_) {
        *reason = "COM3 is not mapped to " + port_link_ + "; Wine's serial ports: " + listing;
        return false;
    }
    for (char digit = '8'; digit >= '2'; digit--) {
        std::error_code unused;
        bool linked = fs::exists(fs::symlink_status(prefix_ + "/dosdevices/com" + digit, unused));
        if (digit != '3' && !lists_port(listing, digit) && !linked) {
            unmapped_port_ = digit;
            break;
        }
    }
    if (unmapped_port_ == '\0') {
        *reason = "every port from COM2 to COM8 is mapped: " + listing;
        return false;
    }
    ready_ = true;
    return true;
}

void Session::finish() {
    ready_ = false;
    if (dir_.empty()) {
        return;
    }
    if (!prefix_.empty()) {
        run({DREMLIX_WINESERVER, "-k"});
        run({DREMLIX_WINESERVER, "-w"});
    }
    std::error_code error;
    fs::remove_all(dir_, error);
    dir_.clear();
}

double Session::server_cpu_seconds() const {
    double total = 0.0;
    for (pid_t pid : processes_of("wineserver", prefix_)) {
        total += harness::cpu_seconds_of(pid);
    }
    return total;
}

PortLink::PortLink(const std::string &target) {
    const std::string &link = session().port_link();
    if (link.empty()) {
        return;
    }
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    // Renamed into place, so COM3 never leads to a half-made link.
    if (symlink(target.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
        std::perror("port link");
        std::abort();
    }
}

PortLink::~PortLink() {
    if (!session().port_link().empty()) {
        unlink(session().port_link().c_str());
    }
}

Tool::Tool(const std::string &argument) {
    harness::Options options;
    options.argv = {session().loader(), session().tool_path(), argument};
    child_ = std::make_unique<harness::Child>(options);
}

Tool::~Tool() {
    kill();
}

void Tool::kill() {
    // The child leads a session of its own, so its group holds the tool and anything it
    // started, and nothing else.
    if (child_->running()) {
        ::kill(-child_->pid, SIGKILL);
        child_->wait_for_exit();
    }
}

void send_at_line_speed(const harness::Pty &pty, const std::string &bytes) {
    using Clock = std::chrono::steady_clock;
    const auto byte_time = std::chrono::nanoseconds(1000000000LL * 10 / 9600);
    auto due = Clock::now();
    for (char byte : bytes) {
        std::this_thread::sleep_until(due);
        pty.send(std::string(1, byte));
        // A late byte delays the ones after it: a line never carries bytes closer together
        // than its rate allows.
        due = std::max(due, Clock::now()) + byte_time;
    }
}

} // namespace wine
