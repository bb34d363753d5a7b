#include "emulated_pc.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace uart {

namespace {

using Clock = std::chrono::steady_clock;

const unsigned char TelnetIac = 0xff;
const unsigned char TelnetBreak = 0xf3;

// The UART's line control register, and its bits that matter here.
const unsigned LineControlRegister = 3;
const unsigned BreakBit = 0x40;
const unsigned TwoStopBits = 0x04;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

timespec until_from_now(Clock::time_point until) {
    auto left = until - Clock::now();
    if (left < Clock::duration::zero()) {
        left = Clock::duration::zero();
    }
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec span{};
    span.tv_sec = static_cast<time_t>(ns / 1000000000);
    span.tv_nsec = static_cast<long>(ns % 1000000000);
    return span;
}

// Takes the complete lines off the front of `text`.
std::vector<std::string> take_lines(std::string *text) {
    std::vector<std::string> lines;
    std::string::size_type end;
    while ((end = text->find('\n')) != std::string::npos) {
        std::string line = text->substr(0, end);
        text->erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// Each test run gets a socket name of its own, in the abstract namespace: nothing to clean
// up on the file system however the run ends.
std::string line_socket_name() {
    static int runs = 0;
    return "dremlix-uart-" + std::to_string(getpid()) + "-" + std::to_string(runs++);
}

} // namespace

std::string kernel_path() {
    return DREMLIX_UART_KERNEL;
}

std::string initramfs_path() {
    return DREMLIX_UART_INITRAMFS;
}

std::string qemu_path() {
    return DREMLIX_QEMU;
}

EmulatedPc::~EmulatedPc() {
    power_off();
}

bool EmulatedPc::boot() {
    // QEMU gone mid-write must fail the test, not kill the test program.
    std::signal(SIGPIPE, SIG_IGN);
    verbose_ = std::getenv("DREMLIX_UART_CONSOLE") != nullptr;
    auto start = Clock::now();
    std::string socket_name = line_socket_name();
    std::string line_chardev =
        "socket,id=line,path=" + socket_name + ",abstract=on,server=on,wait=on,telnet=on";
    std::string qemu = qemu_path();
    std::string kernel = kernel_path();
    std::string initramfs = initramfs_path();
    // One CPU and no devices beyond the two UARTs keep a TCG boot short. The console runs at
    // 115200 so that the PC's answers do not queue behind 9600-baud output.
    const char *argv[] = {qemu.c_str(),
                          "-nodefaults",
                          "-no-user-config",
                          "-display",
                          "none",
                          "-accel",
                          "tcg",
                          "-smp",
                          "1",
                          "-m",
                          "256",
                          "-no-reboot",
                          "-kernel",
                          kernel.c_str(),
                          "-initrd",
                          initramfs.c_str(),
                          "-append",
                          "console=ttyS0,115200 quiet loglevel=1 panic=-1",
                          "-chardev",
                          "stdio,id=console,signal=off",
                          "-serial",
                          "chardev:console",
                          "-chardev",
                          line_chardev.c_str(),
                          "-serial",
                          "chardev:line",
                          "-trace",
                          "serial_write",
                          "-trace",
                          "serial_update_parameters",
                          nullptr};

    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        failure_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t parent = getpid();
    qemu_ = fork();
    if (qemu_ == 0) {
        // However the test program ends, even killed by ctest's timeout, QEMU ends with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], const_cast<char *const *>(argv));
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    console_in_ = in[1];
    console_out_ = out[0];
    trace_ = err[0];
    if (qemu_ < 0) {
        failure_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }

    if (!connect_line(socket_name, BootPatience)) {
        failure_ = "QEMU never offered the line's socket: " + qemu_messages_;
        power_off();
        return false;
    }
    Answer ready = next_answer(BootPatience);
    if (ready.word != "ready") {
        failure_ = "the PC never reached /init; console: " + console_text_.substr(0, 2000) +
                   " QEMU: " + qemu_messages_;
        power_off();
        return false;
    }
    boot_seconds_ = seconds_since(start);
    take_line_control();
    return true;
}

bool EmulatedPc::connect_line(const std::string &name, Millis deadline) {
    auto until = Clock::now() + deadline;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract: a zero byte, then the name, and the length says where it ends.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    while (Clock::now() < until) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0) {
            line_ = fd;
            return true;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (!pump(Millis(20))) {
            return false;
        }
    }
    return false;
}

bool EmulatedPc::pump(Millis wait) {
    return pump_until(Clock::now() + wait);
}

bool EmulatedPc::pump_until(Clock::time_point until) {
    for (;;) {
        pollfd fds[3] = {{console_out_, POLLIN, 0}, {trace_, POLLIN, 0}, {line_, POLLIN, 0}};
        // Past the deadline this still takes whatever is already waiting, without blocking.
        timespec span = until_from_now(until);
        int ready = ppoll(fds, 3, &span, nullptr);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready == 0;
        }
        for (pollfd &entry : fds) {
            if (entry.fd < 0 || !(entry.revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buffer[65536];
            ssize_t got = read(entry.fd, buffer, sizeof buffer);
            if (got <= 0 && entry.fd == line_) {
                close(line_);
                line_ = -1;
            } else if (got <= 0) {
                // QEMU closed its output: it has ended.
                return false;
            } else if (entry.fd == console_out_) {
                console_text_.append(buffer, static_cast<size_t>(got));
                if (verbose_) {
                    fwrite(buffer, 1, static_cast<size_t>(got), stderr);
                }
            } else if (entry.fd == trace_) {
                trace_text_.append(buffer, static_cast<size_t>(got));
                take_trace_lines();
            }
            // What comes back on the line is QEMU's telnet greeting; the tool sends nothing.
        }
    }
}

void EmulatedPc::take_trace_lines() {
    for (const std::string &line : take_lines(&trace_text_)) {
        unsigned address = 0;
        unsigned value = 0;
        if (std::sscanf(line.c_str(), "serial_write write addr 0x%x val 0x%x", &address, &value) ==
            2) {
            // The console was set to two stop bits: its register writes are not the line's.
            if (address == LineControlRegister && !(value & TwoStopBits)) {
                control_.break_bit.push_back((value & BreakBit) != 0);
            }
        } else if (line.rfind("serial_update_parameters ", 0) == 0) {
            control_.parameters.push_back(line.substr(std::strlen("serial_update_parameters ")));
        } else if (line.rfind("serial_", 0) != 0) {
            qemu_messages_ += line + "\n";
        }
    }
}

bool EmulatedPc::next_console_line(std::string *line, Clock::time_point until) {
    for (;;) {
        std::string::size_type end = console_text_.find('\n');
        if (end != std::string::npos) {
            *line = console_text_.substr(0, end);
            console_text_.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            return true;
        }
        // Once QEMU has gone, what it wrote is all there will be.
        if ((Clock::now() >= until || !pump(Millis(50))) &&
            console_text_.find('\n') == std::string::npos) {
            return false;
        }
    }
}

Answer EmulatedPc::next_answer(Millis deadline) {
    auto until = Clock::now() + deadline;
    Answer answer;
    std::string line;
    while (next_console_line(&line, until)) {
        // The kernel may print on the console too; /init's answers are the lines marked "@@".
        std::string::size_type mark = line.find("@@");
        if (mark == std::string::npos) {
            continue;
        }
        line.erase(0, mark + 2);
        std::string::size_type blank = line.find(' ');
        std::string word = line.substr(0, blank);
        std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (answer.word == "ended") {
            if (word == "out") {
                answer.output.push_back(rest);
            } else if (word == "end") {
                return answer;
            }
            continue;
        }
        answer.word = word;
        answer.rest = rest;
        if (word != "ended") {
            return answer;
        }
    }
    return answer.word == "ended" ? answer : Answer{};
}

void EmulatedPc::tell(const std::string &command) {
    write_all(console_in_, command + "\n");
}

Answer EmulatedPc::ask(const std::string &command, Millis deadline) {
    tell(command);
    return next_answer(deadline);
}

void EmulatedPc::type(const std::string &keys) {
    write_all(console_in_, keys);
}

void EmulatedPc::send(const std::string &bytes, int baud) {
    if (baud == 0) {
        std::string escaped;
        for (char c : bytes) {
            escaped += c;
            if (static_cast<unsigned char>(c) == TelnetIac) {
                escaped += c;
            }
        }
        write_all(line_, escaped);
        return;
    }
    // Against an absolute clock, so that a late write does not slow every later one.
    auto start = Clock::now();
    auto byte_time = std::chrono::duration<double>(10.0 / baud);
    for (std::string::size_type i = 0; i < bytes.size(); i++) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(byte_time * i);
        pump_until(due);
        std::string one(1, bytes[i]);
        if (static_cast<unsigned char>(bytes[i]) == TelnetIac) {
            one += bytes[i];
        }
        write_all(line_, one);
    }
}

void EmulatedPc::send_break() {
    // QEMU raises a break as soon as it reads one, before the data that came in the same
    // read: when the PC lags, the break would overtake bytes sent before it. So it waits
    // until QEMU has read everything already sent.
    auto until = Clock::now() + AnswerPatience;
    int unread = 0;
    while (line_ >= 0 && ioctl(line_, SIOCOUTQ, &unread) == 0 && unread > 0 &&
           Clock::now() < until) {
        pump(Millis(1));
    }
    const char command[] = {static_cast<char>(TelnetIac), static_cast<char>(TelnetBreak)};
    write_all(line_, std::string(command, sizeof command));
}

void EmulatedPc::pause(Millis span) {
    pump(span);
}

LineControl EmulatedPc::take_line_control() {
    pump(Millis(0));
    LineControl taken = control_;
    control_ = LineControl{};
    return taken;
}

void EmulatedPc::write_all(int fd, const std::string &bytes) {
    std::string::size_type done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;
        }
        done += static_cast<std::string::size_type>(put);
    }
}

void EmulatedPc::power_off() {
    if (qemu_ > 0) {
        tell("off");
        auto until = Clock::now() + Millis(20000);
        int status = 0;
        while (waitpid(qemu_, &status, WNOHANG) == 0) {
            if (Clock::now() >= until) {
                kill_qemu();
                break;
            }
            if (!pump(Millis(50))) {
                // Its output closed: it is ending, or has ended.
                usleep(10000);
            }
        }
        qemu_ = -1;
    }
    for (int *fd : {&console_in_, &console_out_, &trace_, &line_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void EmulatedPc::kill_qemu() {
    if (qemu_ > 0) {
        kill(qemu_, SIGKILL);
        waitpid(qemu_, nullptr, 0);
        qemu_ = -1;
    }
}

} // namespace uart
