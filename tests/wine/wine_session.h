// A private Wine prefix for one run of the Wine tests, and the Windows tool run inside it with a
// pty as its COM3.
#ifndef DREMLIX_WINE_SESSION_H
#define DREMLIX_WINE_SESSION_H

#include "harness.h"

#include <memory>
#include <string>
#include <vector>

namespace wine {

// Making a prefix costs seconds, so one serves the whole run. Its wineserver is started
// persistent, with its output on /dev/null: a server started by the tool itself would keep the
// tool's output pipe open after the tool ended.
class Session {
  public:
    // Makes the prefix and maps COM3 to port_link(). False, with a reason, when Wine could not
    // be made ready; whatever was made is still removed by finish().
    bool start(std::string *reason);
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
    // CPU time of this prefix's wineserver so far: a client that spins on the driver makes the
    // server spin too.
    double server_cpu_seconds() const;

  private:
    bool run(const std::vector<std::string> &argv, std::string *output = nullptr,
             std::string *reason = nullptr);
    bool restart_server(std::string *reason);

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

// The Windows tool under wine64 with `argument` on its command line. There is no way to send it
// a key press under Wine, so it is always ended by killing its process group.
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
