#include "proc/kill.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <optional>
#include <unordered_set>

#include "exception/exception.hpp"
#include "run/saferun.hpp"

namespace norvik::proc {

const std::map<std::string, int>& SIGNAL_NUMBER() {
    static const std::map<std::string, int> table = {
        {"HUP", 1}, {"KILL", 9}, {"USR1", 10}, {"USR2", 12}, {"ALRM", 14}, {"TERM", 15}, {"CHLD", 17},
    };
    return table;
}

namespace {

void real_sleep(double seconds) {
    if (seconds <= 0) return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - double(ts.tv_sec)) * 1e9);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

bool& pidfd_enabled() {
    // Test seam: forces the path without pidfds.
    static bool on = true;
    return on;
}

std::function<void(double)>& sleeper() {
    // Test seam: replaces the sleep between kill checks.
    static std::function<void(double)> fn = real_sleep;
    return fn;
}

void print_flush(std::FILE* to, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

void say(const std::string& text) { print_flush(stdout, text); }

void warn(const std::string& text) { print_flush(stderr, text + "\n"); }

std::string signal_label(int sig) {
    for (const auto& [name, num] : proc::SIGNAL_NUMBER())
        if (num == sig) return name;
    return std::to_string(sig);
}

std::string join_pids(const std::vector<pid_t>& pids, const char* sep) {
    std::string out;
    for (size_t i = 0; i < pids.size(); ++i) {
        if (i) out += sep;
        out += std::to_string(pids[i]);
    }
    return out;
}

// Waited time in microseconds: the sum of the requested sleeps, kept exact.
void nap(std::int64_t us, std::int64_t& waited) {
    sleeper()(double(us) / 1e6);
    waited += us;
}

// One process to end, held so that a later process given the same pid is
// never taken for it: by a pidfd where the kernel offers one, else by its
// start time, which is compared again right before every signal.
class Target {
public:
    explicit Target(pid_t pid) : pid_(pid) {
        long fd = pidfd_enabled() ? ::syscall(SYS_pidfd_open, pid, 0) : -1;
        if (fd >= 0) {
            pidfd_ = static_cast<int>(fd);
            return;
        }
        if (fd < 0 && pidfd_enabled() && errno == ESRCH) {
            gone_ = true;
            return;
        }
        start_ = proc::read_start_time(pid);
        if (!start_) gone_ = true;
    }
    ~Target() {
        if (pidfd_ >= 0) ::close(pidfd_);
    }
    Target(Target&& o) noexcept : pid_(o.pid_), pidfd_(o.pidfd_), start_(o.start_), gone_(o.gone_) { o.pidfd_ = -1; }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    Target& operator=(Target&& o) noexcept {
        if (this != &o) {
            if (pidfd_ >= 0) ::close(pidfd_);
            pid_ = o.pid_;
            pidfd_ = o.pidfd_;
            start_ = o.start_;
            gone_ = o.gone_;
            o.pidfd_ = -1;
        }
        return *this;
    }

    pid_t pid() const { return pid_; }

    // Ended (a zombie has ended too), or its pid now belongs to another process.
    bool gone() {
        if (gone_) return true;
        if (pidfd_ >= 0) {
            struct pollfd p {
                pidfd_, POLLIN, 0
            };
            if (::poll(&p, 1, 0) > 0) gone_ = true;
        } else if (!same_process() || proc::read_state_letter(pid_) == "Z") {
            gone_ = true;
        }
        return gone_;
    }

    // gone(), and a child of ours that ended is reaped, or it would linger
    // as a zombie.
    bool finished() {
        if (pidfd_ >= 0) {
            siginfo_t info{};
            ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG);
        } else if (!gone_ && same_process()) {
            int status = 0;
            ::waitpid(pid_, &status, WNOHANG);
        }
        return gone();
    }

    // 0 sent, else the errno; ESRCH once the process is gone. A pidfd
    // cannot reach another process; without one the start time is compared
    // right before the signal.
    int send(int sig) {
        if (gone_) return ESRCH;
        int rc = 0;
        if (pidfd_ >= 0) {
            rc = static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0));
        } else if (!same_process()) {
            gone_ = true;
            return ESRCH;
        } else {
            rc = ::kill(pid_, sig);
        }
        if (rc == 0) return 0;
        int err = errno;
        if (err == ESRCH) gone_ = true;
        return err;
    }

private:
    pid_t pid_;
    int pidfd_ = -1;
    std::optional<std::uint64_t> start_;
    bool gone_ = false;

    // Start times count clock ticks: a pid handed out again within the
    // same tick is not told apart, which only pidfds avoid.
    bool same_process() const { return proc::read_start_time(pid_) == start_; }
};

// Signals every target still there; the number reached. Targets seen gone
// are dropped from the list for good.
int signal_targets(int sig, std::vector<Target>& targets) {
    int count = 0;
    for (auto& t : targets) {
        int err = t.send(sig);
        if (err == 0) {
            ++count;
        } else if (err != ESRCH) {
            warn("Failed to send signal " + signal_label(sig) + " to pid " + std::to_string(t.pid()) + ": " +
                 std::strerror(err));
        }
    }
    targets.erase(std::remove_if(targets.begin(), targets.end(), [](Target& t) { return t.finished(); }),
                  targets.end());
    return count;
}

// True when every target is gone (a zombie counts as gone).
bool none_alive(std::vector<Target>& targets) {
    targets.erase(std::remove_if(targets.begin(), targets.end(), [](Target& t) { return t.finished(); }),
                  targets.end());
    return targets.empty();
}

}  // namespace

void set_pidfd_enabled(bool enabled) { pidfd_enabled() = enabled; }

void set_sleep_function(std::function<void(double)> fn) { sleeper() = fn ? std::move(fn) : real_sleep; }

int _kill_group(int sig, const std::vector<pid_t>& pids) {
    int count = 0;
    for (pid_t pid : pids) {
        if (!proc::is_signalable_pid(pid)) {
            if (sig != 0) warn("Refusing to send signal " + signal_label(sig) + " to pid " + std::to_string(pid));
            continue;
        }
        if (::kill(pid, sig) == 0) {
            // The probe: a zombie still answers signal 0, but it has ended.
            if (sig == 0 && proc::read_state_letter(pid) == "Z") continue;
            ++count;
            continue;
        }
        int err = errno;
        if (err == ESRCH) continue;
        warn("Failed to send signal " + signal_label(sig) + " to pid " + std::to_string(pid) + ": " +
             std::strerror(err));
    }
    return count;
}

int _safekill_multipid(const std::vector<pid_t>& pids_in, bool verbose, double wait_time_in_seconds,
                       const std::vector<pid_t>& immune, const std::string& display_name_in) {
    double budget = wait_time_in_seconds > 0 ? wait_time_in_seconds : DEFAULT_WAIT_TIME;
    const std::int64_t budget_us = static_cast<std::int64_t>(budget * 1e6);

    // The caller and the immune pids are never signalled, whoever passed them.
    std::unordered_set<pid_t> never(immune.begin(), immune.end());
    never.insert(::getpid());
    std::vector<pid_t> pids;
    for (pid_t p : pids_in)
        if (!never.count(p) && std::find(pids.begin(), pids.end(), p) == pids.end()) pids.push_back(p);

    std::string display = display_name_in.empty() ? join_pids(pids, ", ") : display_name_in;
    if (verbose) say("Waiting for \"" + display + "\" to shut down ... ");

    std::vector<Target> targets;
    targets.reserve(pids.size());
    for (pid_t p : pids) {
        if (!proc::is_signalable_pid(p)) {
            warn("Refusing to send signal " + signal_label(SIGTERM) + " to pid " + std::to_string(p));
            continue;
        }
        targets.emplace_back(p);
    }

    if (signal_targets(SIGTERM, targets) == 0) {
        if (verbose) say("no processes could be signalled.\n");
        return 0;
    }

    std::int64_t waited = 0;
    while (waited <= budget_us) {
        if (verbose) say(".");
        if (none_alive(targets)) {
            if (verbose) say("terminated.\n");
            return 1;
        }
        std::int64_t step = waited > 500000 ? 50000 : waited > 10000 ? 10000 : 2500;
        nap(step, waited);
    }

    if (verbose) say("\n\"" + display + "\" did not shut down after TERM; sending KILL ... ");
    if (signal_targets(SIGKILL, targets) == 0) {
        // Nothing left to signal: everything ended between the last probe
        // and the KILL, which is the outcome asked for.
        if (none_alive(targets)) {
            if (verbose) say("terminated.\n");
            return 1;
        }
        if (verbose) say("no processes could be signalled.\n");
        return 0;
    }
    while (waited <= 2 * budget_us) {
        if (verbose) say(".");
        if (none_alive(targets)) {
            if (verbose) say("killed.\n");
            return 1;
        }
        nap(100000, waited);
    }
    if (verbose) say("\n\"" + display + "\" could not be ended.\n");
    return 0;
}

int safekill_multipid(const std::vector<pid_t>& pids, bool verbose, double wait_time_in_seconds) {
    return _safekill_multipid(pids, verbose, wait_time_in_seconds, {}, "");
}

int safekill(const proc::ProcName& name, bool verbose, double wait_time_in_seconds,
             const std::vector<pid_t>& immune_pids, const proc::AllowedOwners& allowed_owners) {
    std::string display = name.display_name();
    std::unordered_set<pid_t> immune(immune_pids.begin(), immune_pids.end());
    immune.insert(::getpid());
    std::vector<pid_t> pids;
    for (pid_t p : proc::get_pids_by_name(name, allowed_owners))
        if (!immune.count(p)) pids.push_back(p);
    if (pids.empty()) {
        if (verbose) say("No \"" + display + "\" processes found.\n");
        return 0;
    }
    std::vector<pid_t> immune_list(immune.begin(), immune.end());
    return _safekill_multipid(pids, verbose, wait_time_in_seconds, immune_list, display);
}

std::pair<int, std::string> _verify_proc_mounted() {
    // The real mount, whatever tree the reads are pointed at.
    static const char* const probe = "/proc/self/stat";
    struct stat st;
    if (::stat(probe, &st) == 0) return {1, "/proc is mounted"};
    if (::geteuid() != 0) return {0, "/proc is not mounted, and only root can mount it"};
    say("/proc is not mounted.\n");
    say("Mounting /proc ... ");
    try {
        run::Options o;
        o.program = "mount";
        o.args = {"-t", "proc", "proc", "/proc"};
        o.timeout = 60;
        run::Object run(std::move(o));
        (void)run;
    } catch (const std::exception& e) {
        warn(std::string("mount failed: ") + e.what());
    }
    say("done.\n");
    if (::stat(probe, &st) == 0) return {1, "/proc has been mounted"};
    return {0, "/proc is not mounted and could not be mounted"};
}

KillallResult killall(const std::string& signal_in, const proc::ProcName& name, bool verbose,
                      const std::vector<pid_t>& immune_pids, const proc::AllowedOwners& allowed_owners) {
    std::string sig;
    for (char c : signal_in)
        if (c != '-' && c != ' ' && c != '\t' && c != '\n') sig += c;

    _verify_proc_mounted();

    auto is_digits = [](const std::string& s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!sig.empty() && !is_digits(sig)) {
        std::string key = sig;
        for (auto& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (key.rfind("SIG", 0) == 0) key.erase(0, 3);
        const auto& table = proc::SIGNAL_NUMBER();
        auto it = table.find(key);
        sig = it == table.end() ? std::string("?") : std::to_string(it->second);
    }
    if (!is_digits(sig) || sig.size() > 2 || name.empty()) return {0, 0, "Invalid signal or process name given"};
    int signum = std::stoi(sig);
    if (signum > 64) return {0, 0, "Invalid signal or process name given"};
    if (!name.is_pattern() && !name.is_list() && name.plain_name() == "init")
        throw PlainError("Refusing to signal the init process");

    std::unordered_set<pid_t> immune(immune_pids.begin(), immune_pids.end());
    immune.insert(::getpid());
    std::vector<pid_t> reached;
    for (pid_t p : proc::get_pids_by_name(name, allowed_owners)) {
        if (immune.count(p) || !proc::is_signalable_pid(p)) continue;
        if (::kill(p, signum) == 0) {
            reached.push_back(p);
        } else {
            warn("Failed to send signal " + sig + " to pid " + std::to_string(p) + ": " + std::strerror(errno));
        }
    }
    size_t n = reached.size();
    std::string message = std::to_string(n) + " process" + (n == 1 ? "" : "es") + " " +
                          (n ? join_pids(reached, " ") + " - " : std::string()) + name.display_name() +
                          " sent signal " + sig;
    if (verbose) say(message + "\n");
    return {1, static_cast<int>(n), message};
}

}  // namespace norvik::proc
