// The Windows program as a Windows user meets it: in Wine's windows on a virtual display (Xvfb),
// looked at and typed into with xdotool. Two things only show here: the message box that waits
// for the user when the port cannot be opened, and the key press at the console that ends the
// tool. Without a display Wine's message box returns at once, and only Wine's own console
// window (wineconsole) hands key presses to the tool; a pty as its terminal only echoes them.
//
// No window manager runs: with one, a held key leaked into the next window. Without one Wine
// takes a couple of seconds after a dismissed box to let the process go, which the deadlines
// allow for.
//
// `wineserver -k` ends a running Wine program with status 0, the same status a key press gives,
// so no status is read from a program that the session's end might have stopped: every test
// waits for the tool to end by itself, and kills its process group (a signal, never status 0)
// when it does not.

#include "harness.h"
#include "wine_session.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using harness::Millis;

// Wine under emulation opens a window in a second or two; this only bounds a hang.
const Millis WindowPatience{60000};
// How long a tool that should still be running is watched.
const Millis StillRunning{3000};

std::string helper_exe; // the console reader, from the command line

std::string read_text(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void end_group(harness::Child &child) {
    if (child.running()) {
        ::kill(-child.pid, SIGKILL);
        child.wait_for_exit();
    }
}

// Where tests/desktop/screenshots.sh wants pictures of the windows, or "" for none.
std::string screenshot_dir() {
    const char *dir = std::getenv("DREMLIX_SCREENSHOTS");
    return dir != nullptr ? dir : "";
}

// Xvfb on a display number it picks itself (-displayfd), so that runs side by side never meet
// on one display. `timeout` bounds its life should this program die without cleaning up.
class Display {
  public:
    bool start(std::string *reason) {
        harness::Options options;
        options.argv = {"timeout", "--kill-after=5", "1200", "Xvfb",        "-displayfd",
                        "1",       "-screen",        "0",    "1024x768x24", "-nolisten",
                        "tcp"};
        if (!screenshot_dir().empty()) {
            // The screen, kept up to date in a file as an XWD image.
            options.argv.insert(options.argv.end(), {"-fbdir", screenshot_dir()});
        }
        server_ = std::make_unique<harness::Child>(options);
        if (!server_->wait_for_output("\n", WindowPatience)) {
            *reason = "Xvfb did not start: " + server_->err_text;
            return false;
        }
        name_ = ":" + server_->out_text.substr(0, server_->out_text.find('\n'));
        return true;
    }
    void stop() {
        if (server_ && server_->running()) {
            // TERM first, so that the server removes its socket and lock.
            ::kill(-server_->pid, SIGTERM);
            if (!server_->wait_for_exit(Millis(5000))) {
                end_group(*server_);
            }
        }
        server_.reset();
    }
    const std::string &name() const {
        return name_;
    }

  private:
    std::unique_ptr<harness::Child> server_;
    std::string name_;
};

Display &display() {
    static Display instance;
    return instance;
}

// Runs xdotool on the test display; its standard output.
std::string xdotool(const std::vector<std::string> &args) {
    harness::Options options;
    options.argv = {"xdotool"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = {{"DISPLAY", display().name()}};
    harness::Child run(options);
    run.wait_for_exit();
    return run.out_text;
}

// The first window whose title matches `pattern`, or "" at the deadline.
std::string find_window(const std::string &pattern) {
    auto until = std::chrono::steady_clock::now() + WindowPatience;
    while (std::chrono::steady_clock::now() < until) {
        std::string found = xdotool({"search", "--name", pattern});
        if (!found.empty()) {
            return found.substr(0, found.find('\n'));
        }
        std::this_thread::sleep_for(Millis(200));
    }
    return "";
}

// For the README: the screen as it is now, and where `window` lies on it, as `name`.xwd and
// `name`.crop in the screenshot directory; the script turns them into a PNG of the window.
void take_screenshot(const std::string &window, const std::string &name) {
    const std::string dir = screenshot_dir();
    if (dir.empty()) {
        return;
    }
    // The pointer out of the picture, and time to paint: nothing tells when Wine has drawn a
    // window's contents.
    xdotool({"mousemove", "2000", "2000"});
    std::this_thread::sleep_for(Millis(1000));
    std::istringstream geometry(xdotool({"getwindowgeometry", "--shell", window}));
    std::string x, y, width, height;
    for (std::string line; std::getline(geometry, line);) {
        std::string value = line.substr(line.find('=') + 1);
        if (line.rfind("X=", 0) == 0) {
            x = value;
        } else if (line.rfind("Y=", 0) == 0) {
            y = value;
        } else if (line.rfind("WIDTH=", 0) == 0) {
            width = value;
        } else if (line.rfind("HEIGHT=", 0) == 0) {
            height = value;
        }
    }
    std::error_code error;
    fs::copy_file(dir + "/Xvfb_screen0", dir + "/" + name + ".xwd",
                  fs::copy_options::overwrite_existing, error);
    std::ofstream(dir + "/" + name + ".crop")
        << x << " " << y << " " << width << " " << height << "\n";
}

void press(const std::string &window, const std::string &key) {
    xdotool({"key", "--window", window, key});
}

// Whether a process other than this one has `path` open: Wine holds the pty from the moment the
// tool's CreateFile succeeds, and bytes written before then would wait in the pty and arrive in
// the first read, which is not what a test of a running tool means to send.
bool held_by_another(const std::string &path) {
    bool held = false;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    while (dirent *entry = readdir(proc)) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
            continue;
        }
        std::error_code error;
        for (const auto &fd : fs::directory_iterator("/proc/" + pid + "/fd", error)) {
            std::error_code unused;
            if (fs::read_symlink(fd.path(), unused) == path) {
                held = true;
                break;
            }
        }
        if (held) {
            break;
        }
    }
    closedir(proc);
    return held;
}

bool wait_until_held(const std::string &path) {
    auto until = std::chrono::steady_clock::now() + WindowPatience;
    while (!held_by_another(path)) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(Millis(50));
    }
    return true;
}

// The lines of `text`, CR LF or LF ended.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// The lines the console showed after the tool's port line.
std::vector<std::string> shown_after_port_line(const std::string &screen) {
    std::vector<std::string> lines = lines_of(screen);
    std::vector<std::string> after;
    bool seen = false;
    for (const std::string &line : lines) {
        if (seen && !line.empty()) {
            after.push_back(line);
        }
        seen = seen || line == "Port:COM3";
    }
    return after;
}

TEST(MessageBox, WaitsForTheUserThenTheToolEndsWithMinusOne) {
    ASSERT_TRUE(wine::session().ready()) << "the Wine prefix could not be made";
    // Left unmapped: a port mapped to a missing path makes Wine's CreateFile block instead of
    // failing.
    char digit = wine::session().unmapped_port();
    harness::Options options;
    options.argv = {wine::session().loader(), wine::session().tool_path(), std::string(1, digit)};
    // Wine names the box's text in its trace: what the user reads, not just that a box opened.
    options.env = {{"WINEDEBUG", "+msgbox"}};
    harness::Child tool(options);

    std::string box = find_window("^Error!$");
    ASSERT_FALSE(box.empty()) << "no window titled Error!\noutput: " << tool.out_text
                              << "\nerrors: " << tool.err_text;
    // The box waits for the user: the tool is still there, its banner and port line written.
    EXPECT_FALSE(tool.wait_for_exit(StillRunning)) << "the tool ended with the box still up";
    EXPECT_NE(tool.err_text.find("Unable to open COM port!"), std::string::npos) << tool.err_text;
    std::string port_line = std::string("\r\nPort:COM") + digit + "\r\n";
    ASSERT_GE(tool.out_text.size(), port_line.size()) << tool.out_text;
    EXPECT_EQ(tool.out_text.substr(tool.out_text.size() - port_line.size()), port_line)
        << tool.out_text;

    take_screenshot(box, "message-box");
    press(box, "Return");
    bool ended = tool.wait_for_exit(WindowPatience);
    if (!ended) {
        end_group(tool);
    }
    ASSERT_TRUE(ended) << "the tool did not end after the box was dismissed";
    // main's -1, as a Linux parent sees it.
    EXPECT_EQ(tool.exit_code(), 255);
}

// Records written to the port, paced like the reader's line, until stopped or all are sent.
class RecordStream {
  public:
    RecordStream(const harness::Pty &pty, const std::vector<std::string> &texts)
        : writer_([this, &pty, texts] {
              for (const std::string &text : texts) {
                  if (stop_) {
                      break;
                  }
                  wine::send_at_line_speed(pty, ";" + text + "?");
              }
          }) {}
    ~RecordStream() {
        stop_ = true;
        writer_.join();
    }
    RecordStream(const RecordStream &) = delete;
    RecordStream &operator=(const RecordStream &) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

// What the reader sends and what the user presses, in a case of the console key.
struct KeyCase {
    std::string name;
    std::vector<std::string> records;      // sent before the key
    bool streaming = false;                // records still arriving when the key is pressed
    std::vector<std::string> ignored_keys; // pressed first; the tool must keep running
};

void PrintTo(const KeyCase &c, std::ostream *os) {
    *os << c.name;
}

// The tool in Wine's console window, started by a batch file that then reads the console's text
// back with the project's helper and records the tool's exit status: a status the batch file
// wrote is one the tool returned by itself, never one a killed Wine program reports.
class ConsoleKey : public testing::TestWithParam<KeyCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(wine::session().ready()) << "the Wine prefix could not be made";
        const std::string &dir = wine::session().dir();
        screen_ = dir + "/screen.txt";
        status_ = dir + "/status.txt";
        fs::remove(screen_);
        fs::remove(status_);
        std::error_code error;
        fs::copy_file(helper_exe, dir + "/console_text.exe", fs::copy_options::overwrite_existing,
                      error);
        ASSERT_FALSE(error) << "copying " << helper_exe << ": " << error.message();
        std::ofstream batch(dir + "/run.bat", std::ios::binary);
        batch << "@echo off\r\n"
                 "dremlix.exe 3\r\n"
                 "set status=%errorlevel%\r\n"
                 "console_text.exe > screen.txt\r\n"
                 "echo %status%> status.txt\r\n"
                 "exit %status%\r\n";
        batch.close();

        harness::Options options;
        // The batch file names its programs relative to its own directory.
        options.argv = {"/bin/sh",     "-c",  "cd \"$1\" && shift && exec \"$@\"",
                        "sh",          dir,   wine::session().loader(),
                        "wineconsole", "cmd", "/c",
                        "run.bat"};
        console_ = std::make_unique<harness::Child>(options);
        ASSERT_TRUE(wait_until_held(pty_.path))
            << "the tool did not open COM3\nerrors: " << console_->err_text;
        window_ = find_window("cmd\\.exe$");
        ASSERT_FALSE(window_.empty()) << "no console window";
    }

    void TearDown() override {
        if (console_) {
            end_group(*console_);
        }
    }

    // Waits for the batch file to end; the tool's own exit status, or -1.
    int tool_status() {
        bool ended = console_->wait_for_exit(WindowPatience);
        if (!ended) {
            end_group(*console_);
            ADD_FAILURE() << "the tool did not end\nerrors: " << console_->err_text;
            return -1;
        }
        std::string status = read_text(status_);
        if (status.empty()) {
            ADD_FAILURE() << "the batch file did not run on after the tool\nerrors: "
                          << console_->err_text;
            return -1;
        }
        EXPECT_EQ(console_->exit_code(), std::stoi(status)) << "wineconsole's own status";
        return std::stoi(status);
    }

    harness::Pty pty_;
    wine::PortLink link_{pty_.path};
    std::unique_ptr<harness::Child> console_;
    std::string window_;
    std::string screen_;
    std::string status_;
};

// Distinct, numbered records, so that the console's text shows loss, doubling and order.
std::vector<std::string> numbered_records(int count) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; i++) {
        char text[32];
        std::snprintf(text, sizeof text, "9%06d=2512", i);
        texts.push_back(text);
    }
    return texts;
}

std::vector<KeyCase> key_cases() {
    return {
        {"KeyEndsTheTool",
         {"4111111111111111=2512101123456789", "5500000000000004=2604"},
         false,
         {}},
        // Shift or Ctrl alone is no key press; the x after them is.
        {"ShiftOrCtrlAloneDoesNotEndIt", {"4111111111111111=2512"}, false, {"shift", "ctrl"}},
        // Over four seconds of cards back to back at line speed; the key comes after one.
        {"KeyEndsTheToolWhileRecordsStream", numbered_records(300), true, {}},
    };
}

TEST_P(ConsoleKey, EndsWithStatusZeroAndTheConsoleShowsTheRecords) {
    const KeyCase &c = GetParam();
    std::unique_ptr<RecordStream> stream;
    if (c.streaming) {
        stream = std::make_unique<RecordStream>(pty_, c.records);
        std::this_thread::sleep_for(Millis(1000));
    } else {
        for (const std::string &text : c.records) {
            pty_.send(";" + text + "?");
        }
        // Records are shown within a tenth of a second; the key must not overtake them.
        std::this_thread::sleep_for(Millis(1500));
    }
    for (const std::string &key : c.ignored_keys) {
        press(window_, key);
        EXPECT_FALSE(console_->wait_for_exit(StillRunning)) << key << " ended the tool";
    }
    if (c.name == "KeyEndsTheTool") {
        take_screenshot(window_, "console");
    }
    press(window_, "x");
    int status = tool_status();
    stream.reset();
    EXPECT_EQ(status, 0);

    std::vector<std::string> shown = shown_after_port_line(read_text(screen_));
    if (!c.streaming) {
        EXPECT_EQ(shown, c.records) << read_text(screen_);
        return;
    }
    // The console keeps only its last rows, and the key cuts the stream short: what it shows is
    // an unbroken run of the records sent, each once, in order, the first perhaps scrolled off.
    ASSERT_FALSE(shown.empty()) << read_text(screen_);
    auto first = std::find(c.records.begin(), c.records.end(), shown.front());
    ASSERT_NE(first, c.records.end()) << read_text(screen_);
    for (std::size_t i = 0; i < shown.size(); i++) {
        ASSERT_LT(first + i, c.records.end()) << read_text(screen_);
        EXPECT_EQ(shown[i], *(first + i)) << read_text(screen_);
    }
    EXPECT_NE(shown.back(), c.records.back()) << "the key took effect only once the cards stopped";
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleKey, testing::ValuesIn(key_cases()),
                         [](const testing::TestParamInfo<KeyCase> &info) {
                             return info.param.name;
                         });

// The prefix's windows open on a virtual display of the suite's own.
class Desktop : public wine::PrefixEnvironment {
  public:
    using wine::PrefixEnvironment::PrefixEnvironment;

  protected:
    bool open_display(std::string *name, std::string *reason) override {
        if (!display().start(reason)) {
            return false;
        }
        *name = display().name();
        return true;
    }
    void close_display() override {
        display().stop();
    }
};

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    wine::Build build;
    int status = wine::prepare_suite("dremlix_desktop_tests", argc, argv, &build,
                                     {{"--helper=", &helper_exe}});
    if (status >= 0) {
        return status;
    }
    testing::AddGlobalTestEnvironment(new Desktop(build));
    return RUN_ALL_TESTS();
}
