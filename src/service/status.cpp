#include "service/service.hpp"

#include "service/service_internal.hpp"

#include "foundation/load_file.hpp"
#include "proc/process_table.hpp"
#include "proc/proc_root.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>

#include "config/nkconf.hpp"
#include "foundation/paths.hpp"
#include "foundation/hires_clock.hpp"
#include "log/logger.hpp"
#include "output/output.hpp"
#include "pkgr/binaries.hpp"
#include "pkgr/pkgr.hpp"
#include "proc/kill.hpp"
#include "proc/port_holders.hpp"
#include "service/lock.hpp"
#include "run/ionice.hpp"
#include "run/rlimit_unset.hpp"
#include "server/profile_roles.hpp"
#include "service/definition.hpp"
#include "service/hook_runner.hpp"
#include "backend/initd_backend.hpp"
#include "backend/systemd_backend.hpp"
#include "initd/scripts.hpp"
#include "output/medium.hpp"
#include "services/search_path.hpp"
#include "systemd/unit_facts.hpp"
#include "systemd/units.hpp"
#include "proc/service_check.hpp"
#include "services/enabled.hpp"
#include "services/installed.hpp"
#include "services/exceptions.hpp"
#include "servmon/suspension.hpp"
#include "os/os.hpp"

namespace norvik::service {

// ---- status and health -------------------------------------------------------------

std::string Base::get_status_string() {
    if (!can_check_service_status()) return "The status of " + service_name() + " cannot be checked.";
    backend::Manager& m = service_manager();
    if (m.has_status_helper()) return m.status_helper(*this);
    proc::CheckServiceOptions o;
    o.service = service_name();
    o.user = processowner();
    o.pidfile = pidfile();
    if (!request_.ignore_systemd) o.unit = systemd::unit_facts(service_name());
    o.binary = service_binary();
    o.pid_exe = pid_exe();
    o.warn = [this](const std::string& m) { warn(m); };
    std::string text = proc::check_service(o);
    return text.empty() ? m.status_fallback(*this) : text;
}

std::string Base::status() {
    bool in_restart = _called_from_restart();
    std::string text = get_status_string();
    service_status(text);
    last_status_ = text;
    if (!text.empty()) return text;
    if (!in_restart) check_sanity();
    _generate_is_down_exception(exception_params());
}

int Base::check() {
    std::string text = status();
    check_sanity();
    backend::Manager& m = service_manager();
    if (!m.has_check()) return 1;
    debug("Asking the back end to check " + service());
    return m.check(*this, text);
}

std::pair<int, std::string> Base::check_with_message() {
    struct Restore {
        std::optional<std::string>& slot;
        std::optional<std::string> saved;
        ~Restore() { slot = std::move(saved); }
    } restore{last_status_, last_status_};
    last_status_.reset();
    int verdict = check();
    std::string message = last_status_ && !last_status_->empty() ? *last_status_ : get_status_string();
    return {verdict, message};
}

bool Base::wait_for_service_status(int attempt) {
    if (!can_check_service_status()) return true;
    if (attempt == 0) {
        if (verbose() == 1) output_partial("Waiting for " + service() + " to come up ");
        else debug("Waiting for " + service() + " to come up");
    }
    service_status(std::nullopt);
    time_t start = ::time(nullptr);
    long elapsed = 0;
    long marked = -1;
    std::string result;
    while (elapsed < STATUS_WAIT_LIMIT) {
        if (verbose() == 1 && marked != elapsed) output_partial(PROGRESS_MARKER);
        try {
            result = status();
        } catch (const norvik::Exception&) {
            result.clear();
        } catch (const PlainError&) {
            result.clear();
        }
        if (!result.empty()) break;
        if (service_manager().start_gave_up(*this)) break;
        // The next poll must see the service's state as it is then.
        systemd::forget_service_info();
        elapsed = static_cast<long>(::time(nullptr) - start);
        if (marked != elapsed) {
            debug("Still waiting for " + service() + " after " + std::to_string(elapsed) + " s");
            marked = elapsed;
        }
        foundation::hires_sleep(STATUS_POLL);
    }
    service_status(result);
    return !result.empty();
}

int Base::check_sanity() {
    nlohmann::json params = exception_params();
    _verify_role();
    if (!is_configured()) _generate_not_configured_exception(params);
    if (can_check_service_status() && !is_enabled()) {
        if (verbose()) {
            for (const std::string& f :
                 {foundation::disable_file_plain(service()), foundation::disable_file_dotted(service())})
                if (path_exists(f)) debug("The service " + service() + " is disabled by " + f);
        }
        _generate_disabled_exception(params);
    }
    const std::string& bin = service_binary();
    auto executable = [&](int* err) {
        errno = 0;
        bool ok = !bin.empty() && ::faccessat(AT_FDCWD, bin.c_str(), X_OK, AT_EACCESS) == 0 && is_plain_file(bin);
        if (!ok && err) *err = errno;
        return ok;
    };
    if (!executable(nullptr) && settings_.service_package && !settings_.service_package->empty()) {
        debug("Checking the packages of " + service());
        for (const auto& pkg : *settings_.service_package) {
            auto v = pkgr::get_package_version(pkg);
            if (!v || v->empty()) {
                if (verbose()) info("The package " + pkg + " of the service " + service() + " is not installed.");
                nlohmann::json q = params;
                q["package"] = pkg;
                _generate_not_installed_exception(q);
            }
        }
    }
    int err = 0;
    if (!bin.empty() && !executable(&err)) {
        nlohmann::json q = params;
        q["binary"] = bin;
        q["error"] = err ? std::string(std::strerror(err)) : std::string("not an executable file");
        _generate_binary_not_found_exception(q);
    }
    return 1;
}

bool Base::is_up(const std::string& via) {
    backend::Manager& m = service_manager();
    if (m.has_is_up()) return m.is_up(*this, via);
    std::string text = get_status_string();
    if (!via.empty()) {
        // The name must stand as a word of its own in the report.
        for (size_t pos = text.find(via); pos != std::string::npos; pos = text.find(via, pos + 1)) {
            size_t end = pos + via.size();
            if (end >= text.size() || !(std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
                return true;
        }
        return false;
    }
    return !text.empty();
}

bool Base::is_up_via_pidfile() {
    std::string pf = pidfile();
    if (pf.empty()) return false;
    struct stat st;
    if (::stat(proc::proc_root().c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw PlainError("The process file system /proc is not mounted; process checks are impossible.\n" +
                         exception::stack_trace());
    double deadline = foundation::hires_time() + startup_timeout();
    bool found = is_plain_file(pf);
    for (int polls = 0; !found && foundation::hires_time() <= deadline; ++polls) {
        if (service_manager().start_gave_up(*this)) return false;
        foundation::hires_sleep(polls < PIDFILE_FIRST_POLLS ? PIDFILE_FIRST_POLL : PIDFILE_POLL);
        found = is_plain_file(pf);
    }
    if (!found) {
        auto saved = log::enable_backtrace();
        log::set_enable_backtrace(false);
        logger().warn("The PID file " + pf + " of " + service() + " did not appear within " +
                      std::to_string(startup_timeout()) + " seconds");
        log::set_enable_backtrace(saved);
        return false;
    }
    if (has_pidfile_precheck()) pidfile_precheck();
    // A file made but not yet written gets up to 0.9 s to gain its number.
    long pid = 0;
    const double read_deadline = foundation::hires_time() + PIDFILE_FILL_WAIT;
    for (;;) {
        if (auto line = read_first_line(pf)) pid = parse_pid(*line);
        double left = read_deadline - foundation::hires_time();
        if (pid != 0 || left <= 0) break;
        foundation::hires_sleep(std::min(left, PIDFILE_POLL));
    }
    if (pid == 0) return false;
    // A forking daemon may name its parent first and rewrite the file from
    // the child, so a dead or foreign PID is read again until the start
    // has plainly failed.
    for (;;) {
        if (proc::pid_is_alive(static_cast<pid_t>(pid)) &&
            proc::foreign_reason(static_cast<pid_t>(pid), pidfile_identity()).empty())
            return true;
        if (foundation::hires_time() > deadline || service_manager().start_gave_up(*this)) return false;
        foundation::hires_sleep(PIDFILE_POLL);
        if (auto line = read_first_line(pf)) pid = parse_pid(*line);
    }
}

}  // namespace norvik::service
