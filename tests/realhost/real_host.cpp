#include "real_host.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace norvik::test::realhost {

namespace fs = std::filesystem;

const std::vector<Daemon>& daemons() {
    static const std::vector<Daemon> all = {
        {.panel = "httpd",
         .unit = "apache2",
         .initd = "apache2",
         .pidfile = "/run/apache2/apache2.pid",
         .ports = {80},
         .reloads = true,
         .bad_file = "/etc/apache2/apache2.conf",
         .bad_text = "Norvik_broken on\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/apache2/apache2.conf",
         .fatal_text = "Norvik_broken on\n",
         .graceful = true},
        {.panel = "exim",
         .unit = "exim4",
         .initd = "exim4",
         .pidfile = "/run/exim4/exim.pid",
         .ports = {25},
         .reloads = true,
         .bad_file = "/etc/exim4/exim4.conf",
         .bad_text = "norvik_broken = 1\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/exim4/exim4.conf",
         .fatal_text = "norvik_broken = 1\n"},
        {.panel = "named",
         .unit = "bind9",
         .initd = "named",
         .pidfile = "/run/named/named.pid",
         .ports = {53},
         .reloads = true,
         .bad_file = "/etc/bind/named.conf.local",
         .bad_text = "norvik_broken yes;\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/bind/named.conf.local",
         .fatal_text = "norvik_broken yes;\n"},
        {.panel = "mysql",
         .unit = "mariadb",
         .initd = "mariadb",
         .pidfile = "/run/mysqld/mysqld.pid",
         .ports = {3306},
         .reloads = false,
         .bad_file = "",
         .bad_text = "",
         .bad_marker = "",
         .fatal_file = "/etc/mysql/mariadb.conf.d/99-norvik.cnf",
         .fatal_text = "[mysqld]\nnorvik_broken = 1\n"},
        // The panel reaches IMAP/POP3 by the name of the protocol.
        {.panel = "imap",
         .unit = "dovecot",
         .initd = "dovecot",
         .pidfile = "/run/dovecot/master.pid",
         .ports = {143, 110},
         .reloads = true,
         .bad_file = "/etc/dovecot/conf.d/99-norvik.conf",
         .bad_text = "norvik_broken = yes\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/dovecot/conf.d/99-norvik.conf",
         .fatal_text = "norvik_broken = yes\n"},
        {.panel = "ftpd",
         .unit = "proftpd",
         .initd = "proftpd",
         .pidfile = "/run/proftpd.pid",
         .ports = {21},
         .reloads = true,
         .bad_file = "/etc/proftpd/proftpd.conf",
         .bad_text = "Norvik_broken on\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/proftpd/proftpd.conf",
         .fatal_text = "Norvik_broken on\n"},
        {.panel = "sshd",
         .unit = "ssh",
         .initd = "ssh",
         .pidfile = "/run/sshd.pid",
         .ports = {22},
         .reloads = true,
         .bad_file = "/etc/ssh/sshd_config",
         .bad_text = "Norvik_broken yes\n",
         .bad_marker = "norvik_broken",
         .fatal_file = "/etc/ssh/sshd_config",
         .fatal_text = "Norvik_broken yes\n"},
        {.panel = "crond",
         .unit = "cron",
         .initd = "cron",
         .pidfile = "/run/crond.pid",
         .ports = {},
         .reloads = false,
         .bad_file = "",
         .bad_text = "",
         .bad_marker = "",
         .fatal_file = "",
         .fatal_text = ""},
        // Debian 12 ships rsyslog without an init script. Its configuration
        // test names the file of a bad line, not the line.
        {.panel = "rsyslogd",
         .unit = "rsyslog",
         .initd = "",
         .pidfile = "/run/rsyslogd.pid",
         .ports = {},
         .reloads = false,
         .bad_file = "/etc/rsyslog.d/99-norvik.conf",
         .bad_text = "norvik_broken(\n",
         .bad_marker = "99-norvik.conf",
         .fatal_file = "",
         .fatal_text = ""},
        // A Perl daemon (its executable is the interpreter) that takes a
        // second or two to compile its rules; no configuration test.
        {.panel = "spamd",
         .unit = "spamd",
         .initd = "spamd",
         .pidfile = "/run/spamd.pid",
         .ports = {783},
         .reloads = true,
         .bad_file = "",
         .bad_text = "",
         .bad_marker = "",
         .fatal_file = "/etc/default/spamd",
         .fatal_text = "OPTIONS=\"--norvik_broken\"\n",
         .initd_reload_new_pid = true,
         .ready_by_pidfile = true},
    };
    return all;
}

const Daemon& daemon_named(const std::string& panel) {
    for (const auto& d : daemons())
        if (d.panel == panel) return d;
    throw std::invalid_argument("no daemon " + panel);
}

std::vector<Case> cases(bool initd, bool breakable) {
    std::vector<Case> out;
    for (const auto& d : daemons()) {
        if (initd && d.initd.empty()) continue;
        if (breakable && d.fatal_file.empty()) continue;
        out.push_back({d.panel, false, initd});
        // A daemon whose own name is the panel's has one case, not two alike.
        if ((initd ? d.initd : d.unit) != d.panel) out.push_back({d.panel, true, initd});
    }
    return out;
}

std::string case_label(const Case& c) { return c.name() + (c.by_unit ? "_by_unit_name" : "_by_panel_name"); }
void PrintTo(const Case& c, std::ostream* os) { *os << case_label(c); }

std::unique_ptr<RealSystemd> boot_copied(const std::string& prefix, std::string* why) {
    if (inside_real_systemd()) return nullptr;
    auto rs = std::make_unique<RealSystemd>(prefix + std::to_string(::getpid()));
    rs->copy_programs(true);
    if (!rs->start()) {
        *why = rs->why();
        return nullptr;
    }
    return rs;
}

namespace {
// NORVIK_REALHOST_ALL=1 runs the pending cases too, to see where the product stands.
bool run_all_cases() {
    const char* e = std::getenv("NORVIK_REALHOST_ALL");
    return e && std::string(e) == "1";
}
}  // namespace

std::string filter_without(const std::string& positive, const std::vector<Pending>& pending) {
    std::string f = positive;
    if (run_all_cases()) return f;
    for (size_t i = 0; i < pending.size(); ++i) f += (i ? ":" : "-") + pending[i].pattern;
    return f;
}

std::vector<std::string> without_pending(const std::vector<std::string>& tests, const std::vector<Pending>& pending) {
    std::vector<std::string> out;
    for (const auto& t : tests) {
        bool skip = false;
        if (run_all_cases()) {
            out.push_back(t);
            continue;
        }
        for (const auto& p : pending) skip = skip || ::fnmatch(p.pattern.c_str(), t.c_str(), 0) == 0;
        if (!skip) out.push_back(t);
    }
    return out;
}

std::string describe(const std::vector<Pending>& pending) {
    std::string s;
    for (const auto& p : pending) s += "  not run yet: " + p.pattern + " (" + p.reason + ")\n";
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool port_open(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

bool ports_become(const std::vector<int>& ports, bool open, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
        bool all = true;
        for (int p : ports) all = all && port_open(p) == open;
        if (all) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool pid_running(pid_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return false;
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = st.rfind(')');
    return close != std::string::npos && close + 2 < st.size() && st[close + 2] != 'Z';
}

pid_t live_pid_in(const std::string& pidfile) {
    pid_t pid = read_pid_file(pidfile);
    return pid_running(pid) ? pid : 0;
}

ToolRun timed(const std::string& path, const std::vector<std::string>& argv, double timeout) {
    ToolRun t;
    auto t0 = std::chrono::steady_clock::now();
    t.r = run(path, argv, {}, timeout);
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return t;
}

int run_quiet(const std::string& path, const std::vector<std::string>& argv, double timeout) {
    std::vector<char*> cargv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        ::execv(path.c_str(), cargv.data());
        ::_exit(127);
    }
    if (pid < 0) return -1;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(timeout * 1000));
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun timed_quiet(const std::string& path, const std::vector<std::string>& argv, double timeout) {
    ToolRun t;
    auto t0 = std::chrono::steady_clock::now();
    t.r.exit_code = run_quiet(path, argv, timeout);
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return t;
}

ToolRun tool(const std::string& dir, const std::string& name, const std::vector<std::string>& args, double timeout) {
    const std::string link = link_binary(dir, "restartsrv_" + name);
    std::vector<std::string> argv{link};
    argv.insert(argv.end(), args.begin(), args.end());
    return timed(link, argv, timeout);
}

ConfigEdit::ConfigEdit(std::string path, const std::string& line) : path_(std::move(path)), existed_(exists(path_)) {
    if (existed_) old_ = read_file(path_);
    write_file(path_, old_ + line);
}

ConfigEdit::~ConfigEdit() {
    if (existed_) write_file(path_, old_);
    else ::unlink(path_.c_str());
}

namespace {
// A daemon that re-executes itself on a reload rewrites its PID file.
pid_t settled_main_pid(DaemonUnderTest& t) {
    pid_t pid = t.main_pid();
    for (int i = 0; i < 40 && pid == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = t.main_pid();
    }
    return pid;
}
}  // namespace

void check_operations(DaemonUnderTest& t) {
    const Daemon& d = t.daemon();
    pid_t before = t.main_pid();
    ASSERT_GT(before, 0) << d.pidfile << " holds '" << read_file(d.pidfile) << "'";
    ToolRun status = t.tool({"--status"});
    ASSERT_EQ(status.r.exit_code, 0) << status.text();

    if (d.graceful) {
        ToolRun graceful = t.tool({});
        EXPECT_EQ(graceful.r.exit_code, 0) << graceful.text();
        EXPECT_EQ(settled_main_pid(t), before) << "a graceful restart replaced the main process";
        EXPECT_TRUE(ports_become(d.ports, true, 2)) << "the port does not answer after a graceful restart";
    }
    ToolRun restart = t.tool({"--hard"});
    EXPECT_EQ(restart.r.exit_code, 0) << restart.text();
    pid_t after = settled_main_pid(t);
    EXPECT_GT(after, 0);
    EXPECT_NE(after, before) << "the restart kept the old main process";
    EXPECT_TRUE(t.running());
    EXPECT_TRUE(ports_become(d.ports, true, 2)) << "the port does not answer after the restart";

    if (d.reloads) {
        ToolRun reload = t.tool({"--reload"});
        EXPECT_EQ(reload.r.exit_code, 0) << reload.text();
        if (t.reload_changes_main_pid()) {
            // Back only once it serves again: a stop in between, by the tool
            // or by the init script itself, finds no daemon to stop.
            pid_t again = 0;
            for (int i = 0; i < 200 && (again == 0 || again == after); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                again = t.main_pid();
            }
            EXPECT_TRUE(again > 0 && again != after) << "the reloaded daemon did not come back";
            EXPECT_TRUE(ports_become(d.ports, true, 5)) << "the port does not answer after the reload";
        } else {
            EXPECT_EQ(settled_main_pid(t), after) << "a reload replaced the main process";
        }
        EXPECT_TRUE(t.running());
    }

    ToolRun stop = t.tool({"--stop"});
    EXPECT_EQ(stop.r.exit_code, 0) << stop.text();
    EXPECT_TRUE(t.stopped());
    EXPECT_TRUE(ports_become(d.ports, false, 2)) << "a port is still open after the stop";
    ToolRun down = t.tool({"--status"});
    EXPECT_EQ(down.r.exit_code, 255) << down.text();

    // Both starts count until the daemon serves: the job of a simple unit
    // (spamd) ends at the exec, long before it is up.
    auto until_serving = [&](double limit) {
        auto t0 = std::chrono::steady_clock::now();
        auto waited = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
        EXPECT_TRUE(ports_become(d.ports, true, limit)) << "the ports do not answer after a start";
        while (d.ready_by_pidfile && live_pid_in(d.pidfile) == 0 && waited() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return waited();
    };
    ToolRun start = t.tool({"--start"});
    EXPECT_EQ(start.r.exit_code, 0) << start.text();
    EXPECT_TRUE(t.running());
    const double tool_start = start.seconds + until_serving(2);
    ToolRun own = t.own_stop_and_start();
    ASSERT_EQ(own.r.exit_code, 0) << own.text();
    const double own_start = own.seconds + until_serving(30);
    EXPECT_LE(tool_start, own_start + 2.0) << "tool " << tool_start << " s, the back end's own " << own_start << " s\n"
                                           << start.text();
}

void check_broken_configuration_refused(DaemonUnderTest& t) {
    const Daemon& d = t.daemon();
    if (d.bad_file.empty()) return;
    pid_t before = t.main_pid();
    ASSERT_GT(before, 0) << d.pidfile << " holds '" << read_file(d.pidfile) << "'";
    ToolRun refused;
    {
        ConfigEdit broken(d.bad_file, d.bad_text);
        refused = t.tool({});
    }
    EXPECT_EQ(refused.r.exit_code, 255) << refused.text();
    EXPECT_NE(lower(refused.text()).find(d.bad_marker), std::string::npos)
        << "the configuration test's output is not shown:\n"
        << refused.text();
    EXPECT_EQ(t.main_pid(), before) << "the running daemon was touched";
    EXPECT_TRUE(t.running());
}

void prepare_daemons(const std::string& root, const std::string& hostname) {
    // IMAP/POP3 without the certificates the package would have made.
    write_file(root + "/etc/dovecot/conf.d/10-ssl.conf", "ssl = no\n");
    // The FTP daemon refuses to start when its host name does not resolve.
    std::string hosts = read_file(root + "/etc/hosts");
    write_file(root + "/etc/hosts", hosts + "127.0.1.1 " + hostname + "\n");
}

void panel_tree(const std::string& root, bool tree) {
    std::error_code ec;
    fs::remove_all(root + "/usr/local/norvik", ec);
    fs::remove_all(root + "/var/norvik", ec);
    // The definitions come with the program's own package, so a bare host
    // has them too; what it lacks is everything else of the panel.
    make_dirs(root + "/usr/local/norvik/etc/services", 0755);
    fs::copy(std::string(NORVIK_SOURCE_DIR) + "/data/services", root + "/usr/local/norvik/etc/services",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    if (!tree) return;
    make_dirs(root + "/usr/local/norvik/logs", 0700);
    make_dirs(root + "/var/norvik", 0755);
}

}  // namespace norvik::test::realhost
