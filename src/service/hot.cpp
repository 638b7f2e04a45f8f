#include "service/hot.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "foundation/inotify.hpp"
#include "foundation/hires_clock.hpp"
#include "log/logger.hpp"

namespace norvik::service {

namespace {

bool stat_nonempty(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace

// A PID file may name a process that is not the daemon (a stale file whose
// number was reused, or one written to point elsewhere): only the service's
// own process is signalled.
bool Hot::pid_is_ours(pid_t pid) {
    const std::string why = proc::foreign_reason(pid, pidfile_identity());
    if (why.empty()) return true;
    logger().warn(proc::foreign_warning(pidfile(), service(), pid, why));
    return false;
}

Hot::Hot(const nlohmann::json& opts) : Base(nlohmann::json::object()) {
    // Base's constructor cannot reach our apply_option; replay the options.
    if (opts.is_object())
        for (auto it = opts.begin(); it != opts.end(); ++it) apply_option(it.key(), it.value());
}

std::string Hot::class_name() const {
    if (definition()) return Base::class_name();
    return "Norvik::ServiceManager::Hot";
}

void Hot::apply_option(const std::string& name, const nlohmann::json& value) {
    if (name == "is_graceful_restart_enabled" && (value.is_boolean() || value.is_number_integer())) {
        is_graceful_restart_enabled_ = value.is_boolean() ? value.get<bool>() : value.get<long>() != 0;
        return;
    }
    Base::apply_option(name, value);
}

pid_t Hot::_read_pid_from_pidfile() {
    auto read = proc::read_checked(pidfile(), processowner());
    if (!read.problem.empty())
        logger().warn("The PID file " + pidfile() + " of " + service() + " is not used because " + read.problem);
    return read.pid;
}

bool Hot::_send_usr1(const proc::PID& process) { return process.send_signal(SIGUSR1) == 0; }

bool Hot::restart_gracefully() {
    if (!is_graceful_restart_enabled()) {
        debug("The graceful restart of " + service() + " is switched off");
        return false;
    }
    std::string pf = pidfile();
    struct stat st;
    if (pf.empty() || !stat_nonempty(pf, st)) return false;
    time_t before = st.st_mtime;
    time_t now = ::time(nullptr);
    if (before == now) {
        // Move the stamp back so a rewrite within this second still shows
        // (the file's own, never that of what a link points to).
        struct timespec ts[2];
        ts[0].tv_sec = ts[1].tv_sec = now - 1;
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        if (::utimensat(AT_FDCWD, pf.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0) before = now - 1;
    }
    const pid_t pid = _read_pid_from_pidfile();
    if (pid <= 1) return false;
    // Held before it is judged, so that the signal reaches the process judged.
    std::optional<proc::PID> process;
    try {
        process.emplace(pid);
    } catch (const proc::ProcessEndedError&) {
        return false;
    }
    if (!pid_is_ours(pid)) return false;

    std::unique_ptr<foundation::Inotify> watch;
    try {
        watch = std::make_unique<foundation::Inotify>(std::vector<std::string>{"NONBLOCK"});
        watch->add(pf, {"MODIFY", "ATTRIB", "CLOSE_WRITE", "DELETE_SELF", "MOVE_SELF"});
    } catch (const std::exception& e) {
        watch.reset();
        logger().warn(std::string("No change watch on the PID file: ") + e.what());
    }
    if (!_send_usr1(*process)) return false;

    for (int pass = 1; pass <= GRACEFUL_PASSES; ++pass) {
        if (verbose() == 1) output_partial(".");
        if (watch) {
            struct pollfd p {
                watch->fileno(), POLLIN, 0
            };
            int r = ::poll(&p, 1, static_cast<int>(GRACEFUL_PASS_SECONDS * 1000));
            if (r < 0 && errno == EINTR) continue;
            // Drain what arrived, so a half-written file (truncated, not yet
            // rewritten) does not turn the remaining passes into a busy loop.
            if (r > 0) {
                while (!watch->poll().empty()) {}
            }
        } else {
            foundation::hires_sleep(GRACEFUL_PASS_SECONDS);
        }
        struct stat now_st;
        if (stat_nonempty(pf, now_st) && now_st.st_mtime && now_st.st_mtime != before) {
            if (verbose() == 2) std::printf("The PID file of %s was rewritten.\n", service_name().c_str());
            std::fflush(stdout);
            return true;
        }
        if (pass == 1 && verbose() == 2) {
            std::printf("Waiting for %s to restart gracefully.\n", service_name().c_str());
            std::fflush(stdout);
        }
    }
    if (verbose() != 0) {
        std::printf("%s did not confirm the graceful restart in time.\n", service_name().c_str());
        std::fflush(stdout);
    }
    return false;
}

}  // namespace norvik::service
