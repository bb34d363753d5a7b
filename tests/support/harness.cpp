#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

void fail_hard(const char *what) {
    std::perror(what);
    std::abort();
}

// Whether a program path names the built tool, through a link or not.
bool is_the_tool(const std::string &program) {
    struct stat wanted {};
    struct stat given {};
    return stat(built("dremlix").c_str(), &wanted) == 0 && stat(program.c_str(), &given) == 0 &&
           wanted.st_dev == given.st_dev && wanted.st_ino == given.st_ino;
}

// The words of the wrapper command for the tool, or none.
std::vector<std::string> tool_wrapper() {
    std::vector<std::string> words;
    const char *wrapper = std::getenv(ToolWrapperVariable);
    std::istringstream split(wrapper != nullptr ? wrapper : "");
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    return words;
}

} // namespace

Pty::Pty(bool raw) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fail_hard("pty");
    }
    path = ptsname(master);
    slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        fail_hard("pty slave");
    }
    if (raw) {
        termios line{};
        tcgetattr(slave, &line);
        cfmakeraw(&line);
        tcsetattr(slave, TCSANOW, &line);
    }
}

Pty::~Pty() {
    close_master();
    if (slave >= 0) {
        close(slave);
    }
}

void Pty::close_master() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

void Pty::send(const std::string &bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) {
            fail_hard("pty write");
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
}

Child::Child(const Options &options) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        fail_hard("pipe");
    }
    std::vector<std::string> words;
    if (!options.argv.empty() && is_the_tool(options.argv[0])) {
        words = tool_wrapper();
    }
    words.insert(words.end(), options.argv.begin(), options.argv.end());
    std::vector<char *> argv;
    for (const std::string &arg : words) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::string console_path = options.console != nullptr ? options.console->path : "";

    pid = fork();
    if (pid < 0) {
        fail_hard("fork");
    }
    if (pid == 0) {
        setsid();
        if (!console_path.empty()) {
            int tty = open(console_path.c_str(), O_RDWR);
            if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) {
                _exit(126);
            }
            dup2(tty, 0);
        } else {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (const auto &entry : options.env) {
            setenv(entry.first.c_str(), entry.second.c_str(), 1);
        }
        ::signal(SIGPIPE, SIG_DFL);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out = out_pipe[0];
    err = err_pipe[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
    if (running()) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (out >= 0) {
        close(out);
    }
    if (err >= 0) {
        close(err);
    }
}

void Child::drain(Millis wait) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(wait.count()));
    if (ready <= 0) {
        return;
    }
    char chunk[4096];
    int *fd_of[2] = {&out, &err};
    std::string *text_of[2] = {&out_text, &err_text};
    for (int i = 0; i < 2; i++) {
        if (*fd_of[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        ssize_t n = read(*fd_of[i], chunk, sizeof chunk);
        if (n > 0) {
            text_of[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            // Closed: keep the descriptor out of later polls without reusing its number.
            close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
}

bool Child::wait_for_count(const std::string &text, int count, Millis deadline) {
    auto until = Clock::now() + deadline;
    while (count_of(out_text, text) < count) {
        if (Clock::now() >= until || (out < 0 && !running())) {
            return false;
        }
        drain(Millis(20));
    }
    return true;
}

bool Child::wait_for_output(const std::string &text, Millis deadline) {
    return wait_for_count(text, 1, deadline);
}

bool Child::running() {
    if (status != -1 || pid <= 0) {
        return false;
    }
    int got = 0;
    if (waitpid(pid, &got, WNOHANG) == pid) {
        status = got;
        return false;
    }
    return true;
}

bool Child::wait_for_exit(Millis deadline) {
    auto until = Clock::now() + deadline;
    while (running()) {
        if (Clock::now() >= until) {
            return false;
        }
        drain(Millis(20));
    }
    // Whatever the child wrote last is still in the pipes.
    while (out >= 0 || err >= 0) {
        drain(Millis(100));
        if (Clock::now() >= until) {
            break;
        }
    }
    return true;
}

void Child::close_output() {
    if (out >= 0) {
        close(out);
        out = -1;
    }
}

void Child::signal(int number) {
    if (running()) {
        kill(pid, number);
    }
}

double Child::cpu_seconds() const {
    return cpu_seconds_of(pid);
}

double Child::cpu_used_over(Millis span) const {
    double start = cpu_seconds();
    usleep(static_cast<useconds_t>(span.count() * 1000));
    return cpu_seconds() - start;
}

int Child::exit_code() const {
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Child::term_signal() const {
    return status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool key_mode_on(const Pty &terminal, Millis deadline) {
    auto until = Clock::now() + deadline;
    for (;;) {
        termios now{};
        tcgetattr(terminal.slave, &now);
        if (!(now.c_lflag & ICANON)) {
            return true;
        }
        if (Clock::now() >= until) {
            return false;
        }
        usleep(10000);
    }
}

std::string pending_input(const Pty &terminal) {
    termios saved{};
    tcgetattr(terminal.slave, &saved);
    termios peek = saved;
    peek.c_lflag &= ~ICANON;
    peek.c_cc[VMIN] = 0;
    peek.c_cc[VTIME] = 0;
    tcsetattr(terminal.slave, TCSANOW, &peek);
    char buffer[64];
    ssize_t n = read(terminal.slave, buffer, sizeof buffer);
    tcsetattr(terminal.slave, TCSANOW, &saved);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

double cpu_seconds_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t end = line.rfind(')');
    if (end == std::string::npos) {
        return 0.0;
    }
    // Fields after the command name, which ends at the last ')': utime is 14th, stime 15th.
    std::istringstream fields(line.substr(end + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; fields >> field && i <= 15; i++) {
        if (i == 14 || i == 15) {
            ticks += std::atol(field.c_str());
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

pid_t first_child(pid_t pid) {
    std::string id = std::to_string(pid);
    std::ifstream children("/proc/" + id + "/task/" + id + "/children");
    long child = -1;
    children >> child;
    return static_cast<pid_t>(child);
}

std::string built(const std::string &name) {
    return std::string(DREMLIX_BUILD_DIR) + "/" + name;
}

int count_of(const std::string &text, const std::string &needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        count++;
    }
    return count;
}

} // namespace harness
