// An emulated PC (QEMU, no KVM) running Debian's kernel and the tool, with its second UART
// (ttyS1, the tool's COM2) driven from here: bytes paced like a real line, and real breaks.
//
// The PC's console (ttyS0) is QEMU's standard input and output; the PC's /init (init.sh) takes
// a command a line on it and answers with lines that start with "@@". QEMU's trace of the UART
// registers shows what the tool does on its own transmit line.
#ifndef DREMLIX_UART_EMULATED_PC_H
#define DREMLIX_UART_EMULATED_PC_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace uart {

using Millis = std::chrono::milliseconds;

// Generous: under TCG on a loaded machine the PC runs many times slower than real hardware.
const Millis BootPatience{180000};
const Millis AnswerPatience{30000};

// What the tool did to the line, as the emulated UART saw it.
struct LineControl {
    // Line control register writes in order: the break bit, 0x40, set or cleared.
    std::vector<bool> break_bit;
    // The UART's parameters after each change, as QEMU reports them ("baudrate=9600 parity='N'
    // data=8 stop=1"), for both ports: the console's run at 115200.
    std::vector<std::string> parameters;
};

struct Answer {
    std::string word;                // "ended", "running", "started", ...
    std::string rest;                // what followed it on the line
    std::vector<std::string> output; // for "ended": the tool's standard output, line by line
};

class EmulatedPc {
  public:
    EmulatedPc() = default;
    ~EmulatedPc(); // powers off, or kills QEMU; never leaves it running
    EmulatedPc(const EmulatedPc &) = delete;
    EmulatedPc &operator=(const EmulatedPc &) = delete;

    // Starts QEMU and waits for /init. False, with the reason in failure(), when it cannot.
    bool boot();
    const std::string &failure() const {
        return failure_;
    }
    double boot_seconds() const {
        return boot_seconds_;
    }

    // Sends one command line to /init and waits for its first answer; a command that
    // answers "ended" brings the tool's output along. An answer of word "" means none came.
    Answer ask(const std::string &command, Millis deadline = AnswerPatience);
    // Sends one command without waiting: the host then acts on the line while it runs.
    void tell(const std::string &command);
    // Waits for the next answer to an earlier tell().
    Answer next_answer(Millis deadline = AnswerPatience);
    // Sends bytes to the PC's console (keys for a tool that reads them).
    void type(const std::string &keys);

    // Sends bytes on the line, each in a write of its own, one every ten bit times at `baud`,
    // as a real reader does; 0 sends them all in one write.
    void send(const std::string &bytes, int baud = 9600);
    // A break on the line: QEMU raises it on the UART when it reads telnet's IAC BREAK, here
    // only once the UART has taken every byte sent before it.
    void send_break();
    void pause(Millis span);

    // What happened on the line control register since the last call.
    LineControl take_line_control();

    // Powers the PC off and waits for QEMU to end; kills it when it does not.
    void power_off();

  private:
    pid_t qemu_ = -1;
    int console_in_ = -1;  // QEMU's standard input: the PC's console keyboard
    int console_out_ = -1; // QEMU's standard output: the PC's console screen
    int trace_ = -1;       // QEMU's standard error: its trace and its messages
    int line_ = -1;        // the telnet socket behind ttyS1
    std::string console_text_;
    std::string trace_text_;
    std::string qemu_messages_;
    LineControl control_;
    std::string failure_;
    double boot_seconds_ = 0;
    bool verbose_ = false; // DREMLIX_UART_CONSOLE set: the PC's console goes to stderr too

    bool connect_line(const std::string &name, Millis deadline);
    // Reads whatever QEMU has written, for up to `wait`; false once QEMU has gone.
    bool pump(Millis wait);
    bool pump_until(std::chrono::steady_clock::time_point until);
    void take_trace_lines();
    bool next_console_line(std::string *line, std::chrono::steady_clock::time_point until);
    void write_all(int fd, const std::string &bytes);
    void kill_qemu();
};

// The kernel and initramfs the suite was built with, and QEMU; set by CMake.
std::string kernel_path();
std::string initramfs_path();
std::string qemu_path();

} // namespace uart

#endif
