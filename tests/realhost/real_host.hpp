// The panel's standard services on the distribution's own daemons: what the
// real-host tests know about each, and the probes they share.
#pragma once

#include <sys/types.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/real_systemd.hpp"
#include "support/test_support.hpp"

namespace norvik::test::realhost {

struct Daemon {
    std::string panel;    // the panel's service name
    std::string unit;     // the distribution's unit name
    std::string initd;    // its init script ("" when the distribution ships none)
    std::string pidfile;  // where the daemon records its main PID
    std::vector<int> ports;
    bool reloads;  // the daemon reloads in place
    // A file and a line the daemon's own configuration test rejects (empty
    // when it has no such test); the line carries "norvik_broken".
    std::string bad_file, bad_text;
    // What the configuration test says about that line.
    std::string bad_marker;
    // A configuration that makes the daemon itself fail to start (init
    // scripts only; systemd units fail through a drop-in).
    std::string fatal_file, fatal_text;
    // A plain restart is graceful: the main process stays.
    bool graceful = false;
    // Under its init script a reload starts the daemon anew, with a new PID
    // once it has read its configuration again (spamd daemonizes again).
    bool initd_reload_new_pid = false;
    // Up only once its PID file names it: it may answer on its port while it
    // still loads what it needs to serve (spamd under systemd).
    bool ready_by_pidfile = false;
};

const std::vector<Daemon>& daemons();
const Daemon& daemon_named(const std::string& panel);

// A test case: one daemon, reached by its panel name or by its unit name
// (for the init.d back end: its init script's name).
struct Case {
    std::string panel;
    bool by_unit;
    bool initd;
    const Daemon& daemon() const { return daemon_named(panel); }
    std::string name() const { return by_unit ? (initd ? daemon().initd : daemon().unit) : panel; }
};
// With breakable=true, only daemons with a configuration that stops their start.
std::vector<Case> cases(bool initd, bool breakable = false);
std::string case_label(const Case& c);
void PrintTo(const Case& c, std::ostream* os);

// Boots an instance a whole suite shares, with the programs copied in (so a
// checkout under /tmp is tested the same way); null, with *why, when the
// machine cannot.
std::unique_ptr<RealSystemd> boot_copied(const std::string& prefix, std::string* why);

// Inner cases the product does not pass yet: a gtest name pattern and why.
// The drivers leave them out of the run and print them.
struct Pending {
    std::string pattern;
    std::string reason;
};
// The inner filter: `positive` minus the pending patterns.
std::string filter_without(const std::string& positive, const std::vector<Pending>& pending);
// The expected tests minus the pending ones.
std::vector<std::string> without_pending(const std::vector<std::string>& tests, const std::vector<Pending>& pending);
std::string describe(const std::vector<Pending>& pending);

std::string lower(std::string s);

// True when a TCP connection to 127.0.0.1:port is accepted.
bool port_open(int port);
// Waits up to `seconds` for every port to be open (or, with open=false, closed).
bool ports_become(const std::vector<int>& ports, bool open, double seconds);
// The live PID in a PID file, 0 when none (a zombie counts as gone).
pid_t live_pid_in(const std::string& pidfile);
bool pid_running(pid_t pid);

// Runs the tool through a link named <prefix><name> in `dir`.
struct ToolRun {
    RunResult r;
    double seconds = 0;
    std::string text() const { return r.out + r.err; }
};
ToolRun tool(const std::string& dir, const std::string& name, const std::vector<std::string>& args,
             double timeout = 60);
// Times any other program.
ToolRun timed(const std::string& path, const std::vector<std::string>& argv, double timeout = 60);
// Runs a program with its standard streams on /dev/null and returns its exit
// code (-1 when killed at the timeout): daemons that an init script starts
// keep the streams they inherit, so capturing them would wait for the daemon.
int run_quiet(const std::string& path, const std::vector<std::string>& argv, double timeout = 90);
// Times run_quiet; the exit code is in .r.exit_code.
ToolRun timed_quiet(const std::string& path, const std::vector<std::string>& argv, double timeout = 90);

// One back end's view of a daemon, for the sequences both back ends share.
class DaemonUnderTest {
public:
    virtual ~DaemonUnderTest() = default;
    virtual const Daemon& daemon() const = 0;
    virtual ToolRun tool(const std::vector<std::string>& args, double timeout = 30) = 0;
    virtual pid_t main_pid() = 0;
    // The back end's own view: running, or stopped for good.
    virtual bool running() = 0;
    virtual bool stopped() = 0;
    // Stops the daemon with the back end's own tool and times its start.
    virtual ToolRun own_stop_and_start() = 0;
    // A reload ends with another main process (see Daemon).
    virtual bool reload_changes_main_pid() { return false; }
};
// --status, restart (graceful, then hard), reload, stop, --status, start.
void check_operations(DaemonUnderTest& t);
// A restart with a line the configuration test rejects: refused, daemon untouched.
void check_broken_configuration_refused(DaemonUnderTest& t);

// Appends a line to a file / removes it again by restoring the old text.
class ConfigEdit {
public:
    ConfigEdit(std::string path, const std::string& line);
    ~ConfigEdit();

private:
    std::string path_, old_;
    bool existed_;
};

// Makes the distribution's daemons start inside a throwaway root (an
// instance's overlay, or a private mount namespace): IMAP/POP3 without
// certificates, the host name resolvable. `root` prefixes every path.
void prepare_daemons(const std::string& root, const std::string& hostname);
// Installs the definitions from the source tree below `root`, as the
// program's package does, and with tree=true the panel's log and state
// folders too (tree=false removes them).
void panel_tree(const std::string& root, bool tree);

}  // namespace norvik::test::realhost

// In a driver's SetUp: leaves the test when the suite's instance did not boot
// (skipped with the reason, or failed where the kit is known to boot).
#define NORVIK_SHARED_REAL_SYSTEMD_OR_SKIP(rs, why)                                                          \
    do {                                                                                                     \
        if (norvik::test::inside_real_systemd()) GTEST_SKIP() << "outer driver";                             \
        if (!(rs)) {                                                                                         \
            if (norvik::test::real_systemd_required()) FAIL() << "the real systemd did not boot: " << (why); \
            GTEST_SKIP() << "no real systemd on this machine: " << (why);                                    \
        }                                                                                                    \
    } while (0)
