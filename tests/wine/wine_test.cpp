// The real Windows program, run under Wine with a pty as its serial port: once for the shipped
// 32-bit program under 32-bit Wine, once for the 64-bit build under wine64.
//
// Two things the tool does are not driven here: Wine does not refuse a second open of a serial
// port, so exclusive use is covered by the scripted driver and the Linux tests; and a key press
// reaches the tool only through Wine's own console window, which the desktop suite drives under
// a virtual display. Every test here ends the tool by killing its process group.
//
// Over a pty, Wine's WaitCommEvent does not wait: a pty has no modem lines, Wine's wait gives up
// at once, and the wait completes as aborted with no events. The tool then finds its bytes on a
// later pass, where the wait reports them at once, and its reads complete only after returning
// ERROR_IO_PENDING. These tests show that the tool gets every record through that.

#include "harness.h"
#include "wine_session.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using harness::Millis;

const std::string BannerHead = "\r\nReading Data From CipherLab 1023 Card Reader"
                               "\r\nUse: Dremlix X,where X is Com port number(1-8), default = 1"
                               "\r\nPress any key to terminate the programm.";

std::string port_line(char digit) {
    return std::string("\r\nPort:COM") + digit + "\r\n";
}

// Whether every line feed in `text` ends a CR LF pair.
bool only_crlf_line_ends(const std::string &text) {
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') {
            return false;
        }
    }
    return true;
}

// The tool reading COM3, which leads to a pty of the test's own.
class WineTool : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(wine::session().ready()) << "the Wine prefix could not be made";
    }

    // Starts the tool and waits for the end of its banner; returns the banner's length.
    std::size_t start() {
        tool_ = std::make_unique<wine::Tool>("3");
        bool banner = tool_->child().wait_for_output(port_line('3'));
        EXPECT_TRUE(banner) << "output: " << tool_->child().out_text
                            << "\nerrors: " << tool_->child().err_text;
        return banner ? tool_->child().out_text.find(port_line('3')) + port_line('3').size() : 0;
    }

    harness::Child &child() {
        return tool_->child();
    }

    harness::Pty pty_;
    wine::PortLink link_{pty_.path};
    // Declared last, so the tool is killed before its port goes away.
    std::unique_ptr<wine::Tool> tool_;
};

TEST_F(WineTool, PrintsTheBannerAndPortWithCrLfLineEnds) {
    std::size_t banner_end = start();
    ASSERT_NE(banner_end, 0u);
    const std::string &out = child().out_text;
    EXPECT_EQ(out.rfind(BannerHead, 0), 0u) << out;
    EXPECT_TRUE(only_crlf_line_ends(out)) << out;
    // Between the usage lines and the port line comes one line naming the maker.
    std::size_t maker_start = BannerHead.size();
    std::size_t port_start = out.find(port_line('3'));
    ASSERT_GE(port_start, maker_start + 2) << out;
    std::string maker = out.substr(maker_start, port_start - maker_start);
    EXPECT_EQ(maker.rfind("\r\n", 0), 0u) << out;
    EXPECT_GT(maker.size(), 2u) << out;
    EXPECT_EQ(maker.find('\n', 2), std::string::npos) << out;
    EXPECT_EQ(out.size(), banner_end) << "nothing follows the banner until a card is read: " << out;
}

// What the reader sends, one write at a time.
struct Write {
    std::string bytes;
    bool line_speed = false; // paced like the reader's UART, else written at once
    Millis pause_after{0};   // so that the tool has read what came before the next write
};

struct RecordCase {
    std::string name;
    std::vector<Write> writes;
    std::vector<std::string> printed; // each record's text, in order
};

void PrintTo(const RecordCase &c, std::ostream *os) {
    *os << c.name;
}

// Longer than the tool's two pauses together, so the first piece is read on its own.
const Millis ReadApart{400};

std::vector<RecordCase> record_cases() {
    const std::string card = "4111111111111111=2512101123456789";
    std::string forty;
    std::vector<std::string> forty_printed;
    for (int i = 0; i < 40; i++) {
        std::string number = std::to_string(1000 + i).substr(1);
        std::string text = "4111111111111" + number + "=2512101123456789";
        forty += ";" + text + "?";
        forty_printed.push_back(text);
    }
    const std::string long_text(60, '7');
    return {
        {"OneRecord", {{";" + card + "?"}}, {card}},
        {"RecordSplitOverTwoWrites",
         {{";4111111111", false, ReadApart}, {"111111=2512101123456789?"}},
         {card}},
        {"TwoRecordsInOneWrite",
         {{";4111111111111111=2512?;5500000000000004=2604?"}},
         {"4111111111111111=2512", "5500000000000004=2604"}},
        {"FortyRecordsAtLineSpeed", {{forty, true}}, forty_printed},
        // A read that returns less than the one before must not hand the framer the older
        // bytes behind it, nor must the framer keep any of the longer record.
        {"ShortRecordAfterLongOne",
         {{";" + long_text + "?", false, ReadApart}, {";12?"}},
         {long_text, "12"}},
        {"ShortRecordAfterSeveralInOneRead",
         {{";1111111111?;2222222222?;3333333333?", false, ReadApart}, {";12?"}},
         {"1111111111", "2222222222", "3333333333", "12"}},
    };
}

class WineRecords : public WineTool, public testing::WithParamInterface<RecordCase> {};

TEST_P(WineRecords, PrintsEachRecordOnceInOrder) {
    const RecordCase &c = GetParam();
    std::size_t banner_end = start();
    ASSERT_NE(banner_end, 0u);

    std::string expected;
    for (const std::string &text : c.printed) {
        expected += "\r\n" + text;
    }
    for (const Write &write : c.writes) {
        if (write.line_speed) {
            wine::send_at_line_speed(pty_, write.bytes);
        } else {
            pty_.send(write.bytes);
        }
        std::this_thread::sleep_for(write.pause_after);
    }
    // The records are printed from what was sent, without waiting for a later card.
    EXPECT_TRUE(child().wait_for_output(child().out_text.substr(0, banner_end) + expected))
        << child().out_text;
    // A last record marks the end: anything the tool printed besides the expected records
    // shows up before it.
    pty_.send(";END?");
    ASSERT_TRUE(child().wait_for_output("\r\nEND")) << child().out_text;
    EXPECT_EQ(child().out_text.substr(banner_end), expected + "\r\nEND");
}

INSTANTIATE_TEST_SUITE_P(Cards, WineRecords, testing::ValuesIn(record_cases()),
                         [](const testing::TestParamInfo<RecordCase> &info) {
                             return info.param.name;
                         });

TEST_F(WineTool, ReportsAPortThatCannotBeOpened) {
    // COM3 is mapped (even with nothing at the end of its link, Wine would open it), so the
    // tool is pointed at a name this prefix does not map at all.
    char digit = wine::session().unmapped_port();
    tool_ = std::make_unique<wine::Tool>(std::string(1, digit));
    ASSERT_TRUE(child().wait_for_exit()) << child().out_text;
    // The message box has no display to show on and returns at once (the desktop suite shows it
    // waiting for the user); -1 from main reaches the shell as 255.
    EXPECT_EQ(child().exit_code(), 255) << child().err_text;
    const std::string &out = child().out_text;
    ASSERT_GE(out.size(), port_line(digit).size()) << out;
    EXPECT_EQ(out.substr(out.size() - port_line(digit).size()), port_line(digit)) << out;
}

TEST_F(WineTool, WaitsWithoutSpinningIdleAndWhenTheReaderIsUnplugged) {
    ASSERT_NE(start(), 0u);
    pty_.send(";1234?");
    ASSERT_TRUE(child().wait_for_output("\r\n1234")) << child().out_text;

    struct Phase {
        const char *name;
        bool unplug;
    };
    // Waking ten times a second costs a few milliseconds of CPU; a loop that never blocks
    // would use the whole window.
    const double CpuBound = 0.5;
    const Millis Window{2000};
    for (const Phase &phase : {Phase{"idle", false}, Phase{"unplugged", true}}) {
        SCOPED_TRACE(phase.name);
        if (phase.unplug) {
            pty_.close_master();
        }
        double tool_before = child().cpu_seconds();
        double server_before = wine::session().server_cpu_seconds();
        std::this_thread::sleep_for(Window);
        ASSERT_TRUE(child().running()) << child().out_text;
        EXPECT_LT(child().cpu_seconds() - tool_before, CpuBound);
        EXPECT_LT(wine::session().server_cpu_seconds() - server_before, CpuBound);
    }
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    wine::Build build;
    int status = wine::prepare_suite("dremlix_wine_tests", argc, argv, &build);
    if (status >= 0) {
        return status;
    }
    testing::AddGlobalTestEnvironment(new wine::PrefixEnvironment(build));
    return RUN_ALL_TESTS();
}
