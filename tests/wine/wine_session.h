// A private Wine prefix for one run of the Wine tests, and the Windows tool run inside it with a
// pty as its COM3. The same tests run the 32-bit program under 32-bit Wine and the 64-bit one
// under wine64; the build to run comes from the command line.
#ifndef DREMLIX_WINE_SESSION_H
#define DREMLIX_WINE_SESSION_H

#include "harness.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wine {

// One Windows build of the tool and the Wine that runs it.
struct Build {
    std::string exe;      // the dremlix.exe to run
    std::string loader;   // wine64, or the 32-bit loader for the 32-bit program
    std::string winearch; // "win64" or "win32": the kind of prefix the loader needs
};

// Reads --exe=, --loader= and --winearch= from a test program's arguments (after GoogleTest
// took its own), and the suite's own `extra` options, each a prefix such as "--helper=" with
// where its value goes. False, with a reason, when one is missing or unknown.
bool parse_build(int argc, char **argv, Build *build, std::string *reason,
                 const std::vector<std::pair<std::string, std::string *>> &extra = {});

// Whether this machine can start the build's Wine at all. The 32-bit loader only runs where the
// kernel, or an emulator registered with it, runs i386 programs; a probe of a second or so tells
// a missing route apart from a fault in the tool.
bool loader_starts(const Build &build, std::string *reason);

// Exit status that ctest counts as "not run".
const int NotRunStatus = 77;

// What a Wine suite's main does before its tests: reads the build from the arguments and makes
// sure this machine can start its Wine. Returns -1 to go on with the tests, or the status to end
// with: 2 for bad arguments, NotRunStatus (having said why) when the Wine cannot start.
int prepare_suite(const char *program, int argc, char **argv, Build *build,
                  const std::vector<std::pair<std::string, std::string *>> &extra = {});

// The prefix for a whole test program: made before its first test, removed after its last.
class PrefixEnvironment : public testing::Environment {
  public:
    explicit PrefixEnvironment(const Build &build) : build_(build) {}
    void SetUp() override;
    void TearDown() override;

  protected:
    // A suite that shows Wine's windows opens its display first; `name` is where they go, or
    // "" for none.
    virtual bool open_display(std::string *name, std::string *reason);
    virtual void close_display() {}

  private:
    Build build_;
};

// Making a prefix costs seconds, so one serves the whole run. Its wineserver is started
// persistent, with its output on /dev/null: a server started by the tool itself would keep the
// tool's output pipe open after the tool ended.
class Session {
  public:
    // Makes the prefix and maps COM3 to port_link(). With a `display` (":N"), Wine's windows
    // open there; without one Wine runs headless and a message box returns at once. False, with
    // a reason, when Wine could not be made ready; whatever was made is still removed by
    // finish().
    bool start(const Build &build, std::string *reason, const std::string &display = "");
    // Ends every Wine process of the prefix and removes it.
    void finish();
    bool ready() const {
        return ready_;
    }

    // The symlink COM3 is mapped to; a test points it at its own pty.
    const std::string &port_link() const {
        return port_link_;
    }
    // A port digit ('2'..'8') that nothing in this prefix maps, so that opening it must fail.
    char unmapped_port() const {
        return unmapped_port_;
    }
    const std::string &tool_path() const {
        return tool_path_;
    }
    const std::string &loader() const {
        return build_.loader;
    }
    // The run's own directory, which holds the tool, the prefix and the COM3 link; the Windows
    // side sees it as drive Z:.
    const std::string &dir() const {
        return dir_;
    }
    // CPU time of this prefix's wineserver so far: a client that spins on the driver makes the
    // server spin too.
    double server_cpu_seconds() const;

  private:
    bool run(const std::vector<std::string> &argv, std::string *output = nullptr,
             std::string *reason = nullptr);
    bool restart_server(std::string *reason);

    Build build_;
    std::string dir_;
    std::string prefix_;
    std::string port_link_;
    std::string tool_path_;
    char unmapped_port_ = '\0';
    bool ready_ = false;
};

Session &session();

// Points COM3 at one pty for as long as it lives; afterwards COM3 leads nowhere, so no later run
// can reach a pty that a stale path now names.
class PortLink {
  public:
    explicit PortLink(const std::string &target);
    ~PortLink();
    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;
};

// The Windows tool under the session's Wine with `argument` on its command line. There is no way to
// send it a key press under Wine, so it is always ended by killing its process group.
class Tool {
  public:
    explicit Tool(const std::string &argument);
    ~Tool();
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;

    harness::Child &child() {
        return *child_;
    }
    void kill();

  private:
    std::unique_ptr<harness::Child> child_;
};

// Writes bytes no faster than a 9600 baud 8N1 line carries them: ten bit times a byte.
void send_at_line_speed(const harness::Pty &pty, const std::string &bytes);

} // namespace wine

#endif
