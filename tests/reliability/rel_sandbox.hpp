// Shared by the reliability tests: a private NORVIK_ROOT with the demo
// service nkdemo (the demo daemon behind a generated init script), runs of
// the real restartsrv_nkdemo in it, and small /proc probes.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace norvik::reltest {

using norvik::test::RunResult;
using norvik::test::TempDir;
using Clock = std::chrono::steady_clock;
using Event = norvik::test::DemoEvent;

using norvik::test::demod_path;

inline char state_of(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    if (!std::getline(f, s)) return 0;
    auto rp = s.rfind(')');
    return rp != std::string::npos && rp + 2 < s.size() ? s[rp + 2] : 0;
}
inline bool alive(pid_t pid) {
    char c = state_of(pid);
    return pid > 0 && c != 0 && c != 'Z';
}

// Live processes whose parent is `ppid`.
inline std::vector<pid_t> children_of(pid_t ppid) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) return out;
    while (auto* e = ::readdir(d)) {
        pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
        if (p <= 0) continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string s;
        if (!std::getline(f, s)) continue;
        auto rp = s.rfind(')');
        if (rp == std::string::npos) continue;
        std::istringstream rest(s.substr(rp + 2));
        char st;
        long pp;
        rest >> st >> pp;
        if (pp == ppid && st != 'Z') out.push_back(p);
    }
    ::closedir(d);
    return out;
}

inline std::string cmdline_of(pid_t pid) {
    std::string s = norvik::test::read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(s.begin(), s.end(), '\0', ' ');
    return s;
}

// Every path below dir (relative), for before/after comparisons.
inline void walk(const std::string& dir, const std::string& rel, std::set<std::string>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (auto* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        out.insert(rel + "/" + n);
        struct stat st {};
        if (::lstat((dir + "/" + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(dir + "/" + n, rel + "/" + n, out);
    }
    ::closedir(d);
}
inline std::set<std::string> tree(const std::string& dir) {
    std::set<std::string> out;
    walk(dir, "", out);
    return out;
}

inline int next_port() {
    static int n = 0;
    return 42000 + (static_cast<int>(::getpid()) * 11 + (n++) * 5) % 15000;
}

// A started run that the test can signal; output goes to a file.
struct Async {
    pid_t pid = -1;
    std::string out_file;
    int wait_status(double timeout) {
        auto end = Clock::now() + std::chrono::duration<double>(timeout);
        int st = 0;
        while (Clock::now() < end) {
            pid_t r = ::waitpid(pid, &st, WNOHANG);
            if (r == pid) return st;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        return -1;
    }
};

class Sandbox {
public:
    // `daemon_args` go to the daemon through the init script; `attributes`
    // are added to (or replace) those of the service definition.
    explicit Sandbox(const std::string& daemon_args = "", const nlohmann::json& attributes = nlohmann::json::object())
        : dir_("rel"), root_(dir_.path() + "/root"), port_(next_port()) {
        norvik::test::become_subreaper();
        pidfile_ = root_ + "/var/run/nkdemo.pid";
        events_ = root_ + "/var/log/nkdemo.events";
        norvik::test::write_demo_service(
            root_, pidfile_, "--events " + events_ + " --port " + std::to_string(port_) + " " + daemon_args);
        write_definition(attributes);
        link_ = norvik::test::link_binary(dir_.path() + "/bin", "restartsrv_nkdemo");
    }
    ~Sandbox() { kill_daemons(); }
    // Ends every daemon of this root (they are our children, as subreaper).
    void kill_daemons() {
        if (alive(pid()) && cmdline_of(pid()).find(root_) != std::string::npos) ::kill(pid(), SIGKILL);
        for (pid_t p : children_of(::getpid()))
            if (cmdline_of(p).find(root_) != std::string::npos) ::kill(p, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        norvik::test::reap_zombies();
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The standard definition of nkdemo with `attributes` merged in; a
    // null value removes an attribute.
    void write_definition(const nlohmann::json& attributes, const nlohmann::json& extra = nlohmann::json::object()) {
        nlohmann::json attrs = {{"pidfile", "${NORVIK_ROOT}/var/run/nkdemo.pid"},
                                {"service_binary", demod_path()},
                                {"pid_exe", "norvik_demod"},
                                {"startup_timeout", 10}};
        for (auto it = attributes.begin(); it != attributes.end(); ++it) {
            if (it.value().is_null()) attrs.erase(it.key());
            else attrs[it.key()] = it.value();
        }
        nlohmann::json def = {{"base", "Base"}, {"attributes", attrs}};
        for (auto it = extra.begin(); it != extra.end(); ++it) def[it.key()] = it.value();
        norvik::test::write_file(root_ + "/var/norvik/custom/services/Nkdemo.json", def.dump());
    }

    RunResult rs(std::vector<std::string> args, bool reap = true, double timeout = 60,
                 std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), link_);
        env["NORVIK_ROOT"] = root_;
        auto r = norvik::test::run(link_, args, env, timeout);
        if (reap) norvik::test::reap_zombies();
        return r;
    }

    Async start(std::vector<std::string> args) {
        Async a;
        a.out_file = dir_.path() + "/async.out";
        args.insert(args.begin(), link_);
        std::vector<char*> av;
        for (auto& s : args) av.push_back(s.data());
        av.push_back(nullptr);
        std::string rootenv = "NORVIK_ROOT=" + root_;
        a.pid = ::fork();
        if (a.pid == 0) {
            int fd = ::open(a.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::setpgid(0, 0);
            ::putenv(rootenv.data());
            ::execv(link_.c_str(), av.data());
            ::_exit(127);
        }
        return a;
    }

    // The pid in the PID file; 0 unless it is a plain file (a FIFO would block).
    pid_t pid() const {
        struct stat st {};
        if (::stat(pidfile_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
        return norvik::test::read_pid_file(pidfile_);
    }
    std::vector<Event> events() const { return norvik::test::read_demo_events(events_); }
    // True when the run lock of the service can be taken right now.
    bool lock_free() const {
        int fd = ::open((root_ + "/var/norvik/restartsrv/locks/nkdemo").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return true;  // no lock file: nobody holds it
        bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return ok;
    }
    // The standard log of the sandbox ("" when there is none).
    std::string error_log() const {
        const std::string p = root_ + "/usr/local/norvik/logs/error_log";
        return norvik::test::exists(p) ? norvik::test::read_file(p) : std::string();
    }
    const std::string& root() const { return root_; }
    const std::string& link() const { return link_; }
    const std::string& dir() const { return dir_.path(); }
    const std::string& pidfile() const { return pidfile_; }
    int port() const { return port_; }

private:
    TempDir dir_;
    std::string root_, link_, pidfile_, events_;
    int port_;
};

inline std::string all(const RunResult& r) { return r.out + r.err; }

}  // namespace norvik::reltest
