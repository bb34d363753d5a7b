#include "fake_driver.h"
#include "tool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

struct SelectionCase {
    const char *name;
    std::string command_line;
    const char *port;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const SelectionCase &c, std::ostream *out) {
    *out << c.name;
}

class PortSelection : public testing::TestWithParam<SelectionCase> {
  protected:
    void SetUp() override {
        fake::reset();
        std::strcpy(PortName, "none");
    }
};

TEST_P(PortSelection, CharacterAfterFirstBlankPicksThePort) {
    fake::driver().command_line = GetParam().command_line;
    select_port();
    EXPECT_STREQ(PortName, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, PortSelection,
    testing::Values(
        SelectionCase{"two", "dremlix 2", "COM2"}, SelectionCase{"five", "dremlix 5", "COM5"},
        SelectionCase{"eight", "dremlix 8", "COM8"}, SelectionCase{"one", "dremlix 1", "COM1"},
        SelectionCase{"zero", "dremlix 0", "COM1"}, SelectionCase{"nine", "dremlix 9", "COM1"},
        SelectionCase{"letter_first", "dremlix x3", "COM1"},
        SelectionCase{"only_first_digit_12", "dremlix 12", "COM1"},
        SelectionCase{"only_first_digit_27", "dremlix 27", "COM2"},
        SelectionCase{"further_arguments_ignored", "dremlix 4 7", "COM4"},
        SelectionCase{"two_blanks", "dremlix  3", "COM1"},
        SelectionCase{"trailing_blank", "dremlix ", "COM1"},
        SelectionCase{"tab_is_not_a_blank", "dremlix\t3", "COM1"},
        SelectionCase{"quoted_name_without_blank", "\"dremlix.exe\"3", "COM1"},
        SelectionCase{"blank_inside_quoted_path", "\"C:\\Program Files\\dremlix.exe\" 4", "COM1"},
        SelectionCase{"digit_after_blank_in_path", "\"C:\\Tools 6\\dremlix.exe\" 3", "COM6"},
        SelectionCase{"empty_line", "", "COM1"},
        // Far past any working buffer, the same rule holds and nothing overruns.
        SelectionCase{"long_program_path", std::string(600, 'a') + " 7", "COM7"},
        SelectionCase{"long_line_without_blank", std::string(100000, 'a'), "COM1"}),
    [](const testing::TestParamInfo<SelectionCase> &info) { return info.param.name; });

TEST(PortSelectionWithoutArguments, UsesCom1WithoutReadingTheCommandLine) {
    fake::reset();
    fake::driver().command_line = "dremlix 5";
    fake::driver().open_fails = true; // ends the run right after the port line
    testing::internal::CaptureStdout();
    char program[] = "dremlix";
    char *argv[] = {program, nullptr};
    dremlix_main(1, argv, nullptr);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(PortName, "COM1");
    EXPECT_EQ(fake::driver().count(fake::Call::GetCommandLineA), 0);
    EXPECT_NE(printed.find("\nPort:COM1\n"), std::string::npos);
}

} // namespace
