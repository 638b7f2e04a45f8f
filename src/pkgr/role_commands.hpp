// The common part of the package-tool objects: finding the program (through
// PATH), running it with a fixed locale and, for commands that change the
// package database, holding this system's package lock and waiting until no
// other process holds the package tools' own lock files.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/flock.hpp"
#include "run/saferun_extra.hpp"

namespace norvik {
class Logger;
}

namespace norvik::pkgr {

// Seconds to wait for the package lock.
constexpr double DEFAULT_LOCK_TIMEOUT = 5400;
constexpr double DEFAULT_LOCK_TIMEOUT_FRESH_INSTALL = 10800;  // while NORVIK_BASE_INSTALL is set

struct CmdResult {
    std::string output{};  // everything the tool wrote to standard output
    int status = 0;        // wait status
};

struct CmdOptions {
    std::optional<std::string> bin{};  // program path (else found by bin_path())
    std::optional<double> lock_timeout{};
};

struct RunOptions {
    std::vector<std::string> args{};
    bool die_on_error = false;
    // Passed on to the runner.
    std::shared_ptr<Logger> logger{};
    std::optional<double> timeout{};
    std::optional<double> read_timeout{};
    std::optional<std::string> stdin_text{};
    std::string* buffer = nullptr;
    std::string* stdout_buffer = nullptr;
    std::string* stderr_buffer = nullptr;
};

// The held package lock; releasing it also clears NORVIK_RPM_LOCKED_IN_PARENT.
class HeldLock {
public:
    explicit HeldLock(foundation::Flock lock);
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    const foundation::Flock& lock() const { return lock_; }

private:
    foundation::Flock lock_;
    pid_t owner_;
};

class Cmd {
public:
    explicit Cmd(CmdOptions options = {}) : options_(std::move(options)) {}
    virtual ~Cmd() = default;

    // Name used in messages, e.g. "Norvik::Binaries::Rpm".
    virtual std::string tool_class() const = 0;
    // The program's path; raises when it is missing or not executable.
    virtual std::string bin_path() const = 0;
    // Cached bin_path() (or the path given in the options).
    const std::string& bin();
    double lock_timeout() const;

    virtual bool needs_lock(const std::vector<std::string>& args) const;
    virtual std::vector<std::string> locks_to_wait_for() const { return {}; }
    virtual std::string lock_to_hold() const { return ""; }

    CmdResult cmd(const std::vector<std::string>& args);
    CmdResult cmd_with_logger(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args);
    CmdResult cmd_with_logger_no_timeout(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args);

    run::Extra run(RunOptions options);

    std::unique_ptr<HeldLock> get_lock_for_cmd(const std::shared_ptr<Logger>& logger,
                                               const std::vector<std::string>& args);
    foundation::Flock hold_lock(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args);
    int wait_for_locks(const std::shared_ptr<Logger>& logger, const std::vector<std::string>& args);

    // The environment every tool run gets.
    static std::map<std::string, std::string> _setup_envs();

protected:
    // The first executable `name` on PATH, else the first executable
    // fallback; raises naming the tool class when there is none.
    std::string find_program(const std::string& name, const std::vector<std::string>& fallbacks) const;

private:
    CmdResult _cmd_with_logger(bool enable_timeout, const std::shared_ptr<Logger>& logger,
                               const std::vector<std::string>& args);

    CmdOptions options_;
    std::optional<std::string> bin_{};
};

}  // namespace norvik::pkgr
