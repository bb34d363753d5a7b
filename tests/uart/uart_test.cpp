// The Linux program against a real kernel serial driver: Debian's 8250 driver on QEMU's
// emulated 16550, its COM2, with bytes paced like a 9600-baud reader and real breaks, which no
// pty can give. One boot serves every case; each case starts the tool afresh.
//
// QEMU's 16550 model cannot produce parity or framing errors, so those are not tested here.
#include "emulated_pc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using uart::Answer;
using uart::EmulatedPc;
using uart::LineControl;
using uart::Millis;

EmulatedPc *Pc;

const std::string Card = ";4111111111111111=25121015432112345678?";
const std::string CardText = "4111111111111111=25121015432112345678";

// The lines of the tool's output that carry records: those after its port line.
std::vector<std::string> records_in(const std::vector<std::string> &output) {
    std::vector<std::string> records;
    bool after_port_line = false;
    for (const std::string &line : output) {
        if (after_port_line && !line.empty()) {
            records.push_back(line);
        }
        after_port_line = after_port_line || line == "Port:COM2";
    }
    return records;
}

// The tool raises a break on its transmit line before it closes the port, and closing it ends
// the break: the register's break bit goes on, and then off again.
bool break_raised_until_close(const LineControl &control) {
    bool raised = false;
    for (bool on : control.break_bit) {
        if (on) {
            raised = true;
        } else if (raised) {
            return true;
        }
    }
    return false;
}

std::string bits_of(const LineControl &control) {
    std::string bits;
    for (bool on : control.break_bit) {
        bits += on ? '1' : '0';
    }
    return bits;
}

struct Step {
    enum Kind { Bytes, Break, Pause } kind;
    std::string bytes;
    int ms;
};

Step bytes(const std::string &sent) {
    return Step{Step::Bytes, sent, 0};
}

Step line_break() {
    return Step{Step::Break, "", 0};
}

Step pause(int ms) {
    return Step{Step::Pause, "", ms};
}

enum class Before { Nothing, BreaksCountedEarlier };
// What the tool is doing a second and a half after the last step.
enum class After { Ended, StillRunning };

struct LineCase {
    const char *name;
    Before before;
    std::vector<Step> steps;
    After after;
    std::vector<std::string> printed;
};

void PrintTo(const LineCase &c, std::ostream *out) {
    *out << c.name;
}

class Line : public testing::TestWithParam<LineCase> {
  protected:
    void SetUp() override {
        ASSERT_NE(Pc, nullptr);
        ASSERT_TRUE(Pc->failure().empty()) << Pc->failure();
        Pc->take_line_control(); // what earlier cases did
    }
};

TEST_P(Line, RecordsAndBreaks) {
    const LineCase &c = GetParam();
    if (c.before == Before::BreaksCountedEarlier) {
        // A run before this one saw breaks: the driver's counter keeps them across opens.
        Answer held = Pc->ask("hold");
        ASSERT_EQ(held.word, "held");
        for (int i = 0; i < 3; i++) {
            Pc->send_break();
            Pc->pause(Millis(100));
        }
        Answer released = Pc->ask("release");
        ASSERT_EQ(released.word, "released");
        ASSERT_EQ(std::stoi(released.rest), std::stoi(held.rest) + 3)
            << "the driver counts each break once";
    }
    ASSERT_EQ(Pc->ask("start line").word, "started");
    for (const Step &step : c.steps) {
        if (step.kind == Step::Bytes) {
            Pc->send(step.bytes);
        } else if (step.kind == Step::Break) {
            Pc->send_break();
        } else {
            Pc->pause(Millis(step.ms));
        }
    }
    Answer end = Pc->ask("finish 15");
    if (c.after == After::StillRunning) {
        EXPECT_EQ(end.word, "running");
        if (end.word == "running") {
            // A break still ends it, which also hands over its output.
            Pc->send_break();
            end = Pc->ask("finish 100");
        }
    }
    ASSERT_EQ(end.word, "ended");
    EXPECT_EQ(end.rest, "0") << "exit status";
    EXPECT_EQ(records_in(end.output), c.printed);
    LineControl control = Pc->take_line_control();
    EXPECT_TRUE(break_raised_until_close(control))
        << "line control break bit, in order: " << bits_of(control);
}

INSTANTIATE_TEST_SUITE_P(
    EmulatedUart, Line,
    testing::Values(
        LineCase{"record_then_break",
                 Before::Nothing,
                 {bytes(Card), pause(300), line_break()},
                 After::Ended,
                 {CardText}},
        LineCase{"two_records_one_split_then_break",
                 Before::Nothing,
                 {bytes(";1234567890=11?"), bytes(";2222222222"), pause(150), bytes("=22?"),
                  pause(300), line_break()},
                 After::Ended,
                 {"1234567890=11", "2222222222=22"}},
        LineCase{"break_alone", Before::Nothing, {line_break()}, After::Ended, {}},
        LineCase{"partial_record_then_break",
                 Before::Nothing,
                 {bytes(";4111111111"), pause(300), line_break()},
                 After::Ended,
                 {}},
        // The tool sleeps 100 ms between looks at an idle line: both arrive in one sleep.
        LineCase{"record_10ms_before_break",
                 Before::Nothing,
                 {bytes(Card), pause(10), line_break()},
                 After::Ended,
                 {CardText}},
        LineCase{"break_before_record_wins",
                 Before::Nothing,
                 {line_break(), bytes(Card)},
                 After::Ended,
                 {}},
        // The bytes a marked break reads as, sent as data, are data.
        LineCase{
            "break_like_bytes_are_data",
            Before::Nothing,
            {bytes(";1111=11?"), bytes(std::string("\xff\x00\x00\xff", 4)), bytes(";2222=22?")},
            After::StillRunning,
            {"1111=11", "2222=22"}},
        LineCase{"breaks_from_an_earlier_run_then_a_record",
                 Before::BreaksCountedEarlier,
                 {bytes(Card)},
                 After::StillRunning,
                 {CardText}}),
    [](const testing::TestParamInfo<LineCase> &info) { return info.param.name; });

class Tool : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Pc, nullptr);
        ASSERT_TRUE(Pc->failure().empty()) << Pc->failure();
        Pc->take_line_control();
    }
};

TEST_F(Tool, KeyOnItsConsoleEndsIt) {
    Pc->tell("start console");
    ASSERT_EQ(Pc->next_answer().word, "started");
    Pc->type("k");
    Answer end = Pc->next_answer();
    ASSERT_EQ(end.word, "ended");
    EXPECT_EQ(end.rest, "0") << "exit status";
    EXPECT_TRUE(records_in(end.output).empty());
    LineControl control = Pc->take_line_control();
    EXPECT_TRUE(break_raised_until_close(control))
        << "line control break bit, in order: " << bits_of(control);
    Answer left = Pc->next_answer();
    EXPECT_EQ(left.word, "left");
    EXPECT_EQ(left.rest, "k") << "the key stays in the console's input, for the shell";
}

TEST_F(Tool, LineSettingsWhileItHoldsThePort) {
    // Settings that differ in every field the tool sets, left by whoever used the port before.
    ASSERT_EQ(Pc->ask("start line 19200 cs7 parenb cstopb").word, "started");
    Answer settings = Pc->ask("settings");
    ASSERT_EQ(settings.word, "settings");
    std::string shown = " " + settings.rest + " ";
    for (const char *wanted :
         {"speed 9600 baud;", " cs8 ", " -parenb ", " -cstopb ", " -icanon ", " -isig ", " -echo ",
          " -iexten ", " -opost ", " -icrnl ", " -inlcr ", " -igncr ", " -istrip ", " -ixon ",
          " -ixoff ", " -crtscts ", " cread ", " clocal "}) {
        EXPECT_NE(shown.find(wanted), std::string::npos) << wanted << " in: " << shown;
    }
    // What the emulated UART itself was set to last, the console's 115200 aside.
    LineControl control = Pc->take_line_control();
    std::string uart_parameters;
    for (const std::string &parameters : control.parameters) {
        if (parameters.find("baudrate=115200 ") == std::string::npos) {
            uart_parameters = parameters;
        }
    }
    EXPECT_EQ(uart_parameters, "baudrate=9600 parity='N' data=8 stop=1");

    Pc->send_break();
    Answer end = Pc->ask("finish 100");
    EXPECT_EQ(end.word, "ended");
}

// One boot for the whole program: under TCG a boot costs seconds.
class EmulatedPcBoot : public testing::Environment {
  public:
    void SetUp() override {
        Pc = new EmulatedPc;
        if (Pc->boot()) {
            std::printf("The emulated PC reached /init in %.1f s.\n", Pc->boot_seconds());
        }
    }
    void TearDown() override {
        delete Pc;
        Pc = nullptr;
    }
};

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new EmulatedPcBoot);
    return RUN_ALL_TESTS();
}
