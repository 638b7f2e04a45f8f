#include "pkgr/role_commands.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/hires_clock.hpp"
#include "log/logger.hpp"
#include "os/os.hpp"
#include "proc/fuser.hpp"
#include "run/errno_names.hpp"

namespace norvik::pkgr {
namespace {

constexpr const char* LOCKED_IN_PARENT = "NORVIK_RPM_LOCKED_IN_PARENT";
constexpr const char* LANG_VALUE = "C.UTF-8";
const char* const SPECIAL_LANG_ENV_VARS[] = {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE"};

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void random_pause() {
    // Random source for lock back-off, seeded once.
    static std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> extra(0, 49);
    foundation::hires_sleep((100 + extra(rng)) / 1000.0);
}

std::string joined(const std::vector<std::string>& args) {
    std::string out;
    for (auto& a : args) out += (out.empty() ? "" : " ") + a;
    return out;
}

bool executable_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A pseudo-terminal to give a tool as its standard input (both ends).
struct Pty {
    int master = -1, slave = -1;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return;
        char name[128];
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
            ::close(master);
            master = -1;
            return;
        }
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
};

}  // namespace

HeldLock::HeldLock(foundation::Flock lock) : lock_(std::move(lock)), owner_(::getpid()) {
    ::setenv(LOCKED_IN_PARENT, std::to_string(owner_).c_str(), 1);
}

HeldLock::~HeldLock() {
    if (::getpid() != owner_) return;
    const char* v = ::getenv(LOCKED_IN_PARENT);
    if (v && std::to_string(owner_) == v) ::unsetenv(LOCKED_IN_PARENT);
}

const std::string& Cmd::bin() {
    if (!bin_) {
        if (options_.bin) {
            if (!executable_file(*options_.bin))
                throw PlainError("The program “" + *options_.bin + "” of “" + tool_class() + "” is not executable.");
            bin_ = *options_.bin;
        } else {
            bin_ = bin_path();
        }
    }
    return *bin_;
}

double Cmd::lock_timeout() const {
    if (options_.lock_timeout) return *options_.lock_timeout;
    return ::getenv("NORVIK_BASE_INSTALL") ? DEFAULT_LOCK_TIMEOUT_FRESH_INSTALL : DEFAULT_LOCK_TIMEOUT;
}

bool Cmd::needs_lock(const std::vector<std::string>&) const { return false; }

std::string Cmd::find_program(const std::string& name, const std::vector<std::string>& fallbacks) const {
    const char* path_env = ::getenv("PATH");
    std::string path = path_env ? path_env : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && dir[0] == '/' && executable_file(dir + "/" + name)) return dir + "/" + name;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    for (auto& f : fallbacks)
        if (executable_file(f)) return f;
    throw PlainError("The program “" + name + "” of “" + tool_class() + "” is not installed or not executable.\n" +
                     exception::stack_trace(2));
}

std::map<std::string, std::string> Cmd::_setup_envs() {
    std::map<std::string, std::string> env;
    for (const char* name : SPECIAL_LANG_ENV_VARS) env[name] = LANG_VALUE;
    const char* py = ::getenv("PYTHONIOENCODING");
    env["PYTHONIOENCODING"] = py ? py : "utf-8";
    env["DEBIAN_FRONTEND"] = "noninteractive";
    return env;
}

CmdResult Cmd::cmd(const std::vector<std::string>& args) { return _cmd_with_logger(true, nullptr, args); }

CmdResult Cmd::cmd_with_logger(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args) {
    return _cmd_with_logger(true, logger, args);
}

CmdResult Cmd::cmd_with_logger_no_timeout(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args) {
    return _cmd_with_logger(false, logger, args);
}

CmdResult Cmd::_cmd_with_logger(bool enable_timeout, const std::shared_ptr<Logger>& logger,
                                const std::vector<std::string>& args) {
    std::string buffer;
    RunOptions ro;
    ro.args = args;
    ro.stdout_buffer = &buffer;
    ro.logger = logger;
    if (!enable_timeout) {
        ro.timeout = 0;
        ro.read_timeout = 0;
    }
    auto result = run(std::move(ro));
    if (logger && result.wait_status() != 0) logger->warn(result.autopsy().value_or("") + ": " + buffer);
    return CmdResult{buffer, result.wait_status()};
}

run::Extra Cmd::run(RunOptions o) {
    const std::string program = bin();

    std::optional<Pty> pty;
    if (::geteuid() == 0 && program.size() >= 7 && program.compare(program.size() - 7, 7, "bin/rpm") == 0) {
        bool hack = false;
        try {
            hack = os::retry_rpm_cmd_no_tty_hack();
        } catch (const std::exception&) {}
        if (hack) pty.emplace();
    }

    run::ExtraOptions eo;
    eo.base.program = program;
    eo.base.args = o.args;
    eo.base.timeout = o.timeout;
    eo.base.read_timeout = o.read_timeout;
    if (o.stdin_text) eo.base.stdin_text = o.stdin_text;
    else if (pty && pty->slave >= 0) eo.base.stdin_fd = pty->slave;
    eo.env = _setup_envs();
    eo.logger = o.logger;
    eo.buffer = o.buffer;
    eo.stdout_buffer = o.stdout_buffer;
    eo.stderr_buffer = o.stderr_buffer;

    auto lock = get_lock_for_cmd(o.logger, o.args);
    return o.die_on_error ? run::Extra::new_or_die(std::move(eo)) : run::Extra(std::move(eo));
}

std::unique_ptr<HeldLock> Cmd::get_lock_for_cmd(const std::shared_ptr<Logger>& logger,
                                                const std::vector<std::string>& args) {
    if (!needs_lock(args)) return nullptr;
    if (const char* parent = ::getenv(LOCKED_IN_PARENT)) {
        if (logger) logger->info("The package lock is held by the parent process " + std::string(parent) + ".");
        wait_for_locks(logger, args);
        return nullptr;
    }
    auto held = hold_lock(logger, args);
    wait_for_locks(logger, args);
    return std::make_unique<HeldLock>(std::move(held));
}

foundation::Flock Cmd::hold_lock(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args) {
    const std::string name = lock_to_hold();
    if (name.find('/') != std::string::npos) throw PlainError("The lock name “" + name + "” must not contain “/”.");
    if (name.empty()) throw PlainError("“" + tool_class() + "” has no lock to hold.");
    const std::string dir = foundation::binaries_lock_dir();
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
        // Parents as needed; the lock directory itself is private.
        for (size_t pos = 1; (pos = dir.find('/', pos)) != std::string::npos; ++pos)
            ::mkdir(dir.substr(0, pos).c_str(), 0755);
        ::mkdir(dir.c_str(), 0700);
    }
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw PlainError("The lock directory “" + dir + "” is not a directory.");
    const std::string file = dir + "/" + name;
    int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        throw PlainError("The system failed to open the lock file “" + file + "”: " + run::strerror_text(err));
    }
    foundation::Flock handle(fd);
    const double deadline = monotonic() + lock_timeout();
    int failures = 0;
    for (;;) {
        if (foundation::flock(handle, {"EX", "NB"})) return handle;
        if (logger && failures % 40 == 0)
            logger->info("Waiting for the package lock “" + file + "” to run “" + bin() + " " + joined(args) + "”.");
        ++failures;
        if (monotonic() >= deadline) break;
        random_pause();
    }
    throw PlainError("The system failed to obtain the package lock “" + file + "” within " +
                     std::to_string(static_cast<long long>(lock_timeout())) + " seconds.");
}

int Cmd::wait_for_locks(const std::shared_ptr<Logger>& logger, const std::vector<std::string>&) {
    const auto files = locks_to_wait_for();
    if (files.empty()) return 1;
    const double deadline = monotonic() + lock_timeout();
    for (int round = 0;; ++round) {
        auto holders = proc::check(files);
        if (holders.empty()) return 1;
        if (logger && round % 40 == 0) {
            std::string text = "Waiting for other package tools to finish:";
            for (auto& [f, pids] : holders) {
                text += " " + f + " (";
                for (size_t i = 0; i < pids.size(); ++i) text += (i ? " " : "") + std::to_string(pids[i]);
                text += ")";
            }
            logger->info(text);
        }
        if (monotonic() >= deadline) break;
        random_pause();
    }
    throw PlainError("Other processes kept the package database of “" + bin() + "” locked for " +
                     std::to_string(static_cast<long long>(lock_timeout())) + " seconds.");
}

}  // namespace norvik::pkgr
