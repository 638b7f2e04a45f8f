#include "service/service.hpp"

#include "service/service_internal.hpp"

#include "foundation/load_file.hpp"
#include "proc/process_table.hpp"

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

// ---- dispatch and restart ---------------------------------------------------------

void Base::run() {
    const Request& req = request_;
    if (req.force) call_with_force(true);
    set_output_obj(output::output_for(req.json_lines, req.html));
    verbose(req.verbose);
    if (req.restart_attempt) current_restart_attempt(*req.restart_attempt - 1);

    nlohmann::json params = exception_params();

    using Action = Request::Action;
    if (!req.is_query()) {
        if (req.action == Action::Restart || req.action == Action::Reload) {
            // Refused before anything is stopped: the back end could not
            // bring the service back.
            const std::string why = service_manager().refuses_to_start(*this);
            if (!why.empty()) throw PlainError(why);
        }
        if (req.action == Action::Stop) {
            service_argv_action("STOP");
            if (!stop()) generate_stop_exception(params);
        } else if (req.action == Action::Restart) {
            service_argv_action("RESTART");
            if (!restart(req.graceful)) _generate_restart_exception(params);
        } else if (req.action == Action::Reload && support_reload()) {
            service_argv_action("RELOAD");
            if (!reload()) _generate_reload_exception(params);
        }
        return;
    }
    if (restart_under_way_)
        output_obj().warn("A restart of " + service() + " is under way: this is its state at this moment.");
    if (req.action == Action::Check) {
        service_argv_action("CHECK");
        auto [verdict, message] = check_with_message();
        if (verdict) {
            if (!message.empty() && message.back() == '\n') message.pop_back();
            std::string line = "Service check: " + service() + " is running";
            if (!message.empty()) line += " :: " + message;
            output_obj().out(line);
        }
        return;
    }
    service_argv_action("STATUS");
    std::string text = status();
    // It embeds command lines: the output object escapes it for its medium.
    if (!text.empty() && text.back() == '\n') text.pop_back();
    output_obj().out(text);
}

bool Base::_called_from_restart() {
    if (_pretend_not_called_from_restart()) {
        _pretend_not_called_from_restart(false);
        return false;
    }
    return restart_depth_ > 0;
}

void Base::_exit_if_block_fresh_install() {
    if (env_true("NORVIK_BASE_INSTALL") && block_fresh_install() && !call_with_force()) {
        info(service_name() + " is not started during a base installation.");
        _exit(0);
    }
}

bool Base::_service_is_role_aware_and_disabled() { return !server::is_service_allowed(service()); }

void Base::_verify_role() {
    if (verify_role_) return;
    if (_service_is_role_aware_and_disabled()) _no_roles_exception()->raise();
    verify_role_ = true;
}

void Base::_exit(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (lock_ && ::getpid() == _pid()) lock_->release();
    std::exit(code);
}

// A disabled service (or one its roles turn off) is stopped, never
// restarted; raises why, or returns false when the stop failed. A daemon
// another enabled service shares, or one only the installed test turns
// off, is left running.
bool Base::stop_when_disabled(bool disabled, bool role_off, const nlohmann::json& params) {
    if (disabled && !role_off && services::is_enabled_apart_from_installed(service()).value_or(true)) {
        // Only the installed test says no: that never stops a running daemon.
        info("The service " + service() + " is running but does not count as installed; it was left running.");
        _generate_not_installed_exception(params);
    }
    if (disabled && !role_off) {
        for (const std::string& other : shares_daemon_with()) {
            if (services::is_enabled(other) == false) continue;
            info("The service " + service() + " is disabled, but its daemon also serves " + other +
                 "; it was left running.");
            _generate_disabled_exception(params);
        }
    }
    service_argv_action("STOP");
    _pretend_not_called_from_restart(true);
    if (!stop()) return false;
    if (disabled) {
        info("The service " + service() + " is disabled and was stopped.");
        _generate_disabled_exception(params);
    }
    auto e = _no_roles_exception();
    info(e->to_string_no_id());
    e->raise();
    return false;  // not reached: raise() throws
}

// The restarts that keep the service up: graceful, then the back end's own.
// False when neither was tried or neither worked.
bool Base::restart_in_place(std::optional<bool> graceful, const nlohmann::json& params) {
    // The word that ends a progress line in verbose runs.
    auto report_outcome = [this](bool ok) {
        if (verbose() != 1) return;
        output(ok ? SUCCESS_WORD : FAILURE_WORD);
        output("");
    };
    if (has_stop_check()) stop_check();
    // A configuration the daemon would refuse must not cost the running
    // daemon: refuse the restart before anything is stopped.
    if (has_restart_check() && !restart_check()) generate_config_test_exception(params);
    bool use_graceful = graceful.has_value() ? *graceful : graceful_by_default();
    if (is_enabled() && has_restart_gracefully() && use_graceful) {
        if (verbose() == 1) output_partial("Restarting " + service() + " gracefully ");
        else debug("Restarting " + service() + " gracefully");
        if (restart_gracefully() && wait_for_service_status(0)) {
            report_outcome(true);
            return true;
        }
        report_outcome(false);
        if (verbose() != 1) debug("The graceful restart of " + service() + " failed; a full restart follows.");
    }
    if (is_enabled() && has_restart_args() && service_manager().has_restart()) {
        if (verbose() == 1) output_partial("Restarting " + service() + " ");
        else debug("Restarting " + service() + " through its back end");
        bool restarted = false;
        try {
            restarted = service_manager().restart(*this) && wait_for_service_status(0);
        } catch (const std::exception& e) {
            // It may have stopped the service: the stop and start below finish the job.
            warn("The back end's restart of " + service() + " failed (" + exception::get_string(e) + ").");
        }
        if (restarted) {
            report_outcome(true);
            return true;
        }
        report_outcome(false);
    }
    return false;
}

bool Base::restart(std::optional<bool> graceful) {
    RestartContext in_restart(*this);
    _exit_if_block_fresh_install();
    nlohmann::json params = exception_params();

    bool running = false;
    try {
        running = !status().empty();
    } catch (const services::Down&) {
        running = false;
    }

    bool disabled = !is_enabled();
    bool role_off = _service_is_role_aware_and_disabled();

    if ((role_off || disabled) && running && !stop_when_disabled(disabled, role_off, params)) return false;
    if (!running) {
        debug("The service " + service() + " is not running; it will be started.");
        check_sanity();
        _terminate_orphaned_processes();
        if (verbose() == 1) output_partial("Starting " + service() + " ");
    }

    if (running && has_stop_check()) stop_check();

    if (running && is_enabled()) {
        if (restart_in_place(graceful, params)) return true;
    } else if (!running) {
        service_argv_action("START");
    }

    // Once the stop half has run, the start half runs, whatever the stop
    // raised: a restart never leaves the service down on its own account.
    // The stop's error is still the restart's outcome.
    std::exception_ptr stop_error;
    if (running) {
        if (verbose() == 1) output_partial("Restarting " + service() + " ");
        else debug("Stopping " + service() + " for the restart");
        try {
            stop();
        } catch (...) {
            stop_error = std::current_exception();
            warn("The stop of " + service() + " failed (" + exception::get_string(stop_error) +
                 "); starting it all the same.");
        }
    } else if (!is_enabled()) {
        _generate_disabled_exception(params);
    }

    bool started = start();
    if (stop_error) std::rethrow_exception(stop_error);
    if (!started) return false;
    debug("The restart of " + service() + " succeeded");
    return true;
}

// ---- start, stop, reload ------------------------------------------------------------

namespace {

// An init script's daemon leaves our process tree by forking twice; as a
// subreaper for the start this run keeps it, so whatever a failed
// attempt left behind can be ended. (A systemd unit's control group
// does this for units.)
class StartContainment {
public:
    explicit StartContainment(bool on) : on_(on), subreaper_(on) {
        if (on_) before_ = proc::descendants(::getpid());
    }

    void end_left_behind(Base& service) const {
        if (!on_) return;
        auto left = proc::added_since(before_, proc::descendants(::getpid()));
        if (left.empty()) return;
        service.info("Ending " + std::to_string(left.size()) + " process(es) left behind by the failed start of " +
                     service.service_name() + ".");
        proc::end_members(left, proc::DEFAULT_WAIT_TIME, service.is_debug_enabled());
    }

private:
    bool on_;
    SubreaperScope subreaper_;
    std::vector<proc::Member> before_;
};

}  // namespace

bool Base::start() {
    bool in_restart = _called_from_restart();
    if (!in_restart) {
        check_sanity();
        _terminate_orphaned_processes();
    }
    nlohmann::json params = exception_params();
    if (!is_enabled()) return false;
    if (has_start_check() && !start_check()) return false;
    _exit_if_block_fresh_install();

    prepare_start_environment();
    if (verbose() == 1 && !in_restart) output_partial("Starting " + service() + " ");
    else debug("Starting " + service());

    start_attempts(params);
    return true;
}

void Base::prepare_start_environment() {
    debug("Checking the log directory");
    {
        // The tool's own tree is never a reason to leave a service down: a log
        // directory that cannot be made only sends the log to standard error.
        if (int err = make_logs_dir())
            warn("The log directory " + foundation::logs_dir() + " could not be created: " + std::strerror(err));
    }
    debug("Setting the file-creation mask to 0022");
    ::umask(022);
    debug("Lifting the resource limits");
    setrlimits();
    debug("Resetting the priorities");
    resetnice();
}

// Tries the start until one attempt brings the service up: the given
// attempt alone, else up to the configured number (one more when the
// service has ports, the first retry ending what holds them). Reports the
// outcome; raises the start's error when no attempt did.
void Base::start_attempts(const nlohmann::json& params) {
    std::optional<int> cra = current_restart_attempt();
    int attempt = cra.value_or(0);
    int max = restart_attempts().value_or(0);
    if (max == 0) max = 1;
    int ports_known = static_cast<int>(ports().size());
    if (max < 2 && ports_known) max = max + 1;

    const StartContainment containment(service_manager().kind() == "Initd");
    bool started = false;
    while (cra.has_value() || attempt < max) {
        if (verbose() == 1) output_partial(PROGRESS_MARKER);
        if (attempt != 0) before_start_attempt(attempt, ports_known);
        std::string pf = pidfile();
        if (!pf.empty() && path_exists(pf)) remove_stale_pidfile(pf);
        if (service_manager().start(*this) && (pf.empty() || is_up_via_pidfile()) && wait_for_service_status(attempt)) {
            started = true;
            break;
        }
        containment.end_left_behind(*this);
        if (cra.has_value()) break;
        ++attempt;
    }
    if (!started) {
        if (verbose() == 1) {
            output(FAILURE_WORD);
            output("");
        }
        _generate_start_exception(params);
    }
    if (verbose() == 1) {
        output(SUCCESS_WORD);
        output("");
    }
}

void Base::before_start_attempt(int attempt, int ports_known) {
    debug("Start attempt " + std::to_string(attempt) + " for " + service());
    if (attempt == 1 && ports_known) kill_apps_on_ports({}, true);
    backend::Manager& m = service_manager();
    if (m.has_restart_attempt()) m.restart_attempt(*this, attempt);
    if (has_restart_attempt()) restart_attempt(attempt);
}

// A PID file of a dead process, or of one that is not the service's, would
// be taken for the new one.
void Base::remove_stale_pidfile(const std::string& pf) {
    long pid = 0;
    if (auto line = read_first_line(pf)) pid = parse_pid(*line);
    if (!proc::pid_is_alive(static_cast<pid_t>(pid)) ||
        !proc::foreign_reason(static_cast<pid_t>(pid), pidfile_identity()).empty()) {
        debug("Removing the stale PID file " + pf);
        ::unlink(pf.c_str());
    }
}

bool Base::stop() {
    bool in_restart = _called_from_restart();
    backend::Manager& m = service_manager();
    if (!m.this_process_was_executed_by_systemd() && !is_up()) {
        if (verbose() == 1 && !in_restart) {
            output("The service " + service() + " is not running.");
            output("");
        } else {
            debug("The service " + service() + " is not running");
        }
        return true;
    }
    if (has_stop_check()) stop_check();
    if (verbose() == 1 && !in_restart) output_partial("Stopping " + service() + " ");
    else debug("Stopping " + service());
    servmon::suspend_service(service_to_suspend(), suspend_time());
    if (verbose() == 1) output_partial(PROGRESS_MARKER);
    learn_port_binds();
    // Taken before the stop: a daemon may drop its PID file and live on.
    std::vector<proc::Member> own;
    if (auto pid = own_pidfile_process())
        if (auto start = proc::start_time(*pid)) own.push_back({*pid, *start});
    bool backend_ok = m.stop(*this);
    if (!in_restart) _terminate_orphaned_processes();
    // A stop job systemd completed leaves the unit inactive and its control
    // group ended: only what may have escaped it is checked then. A status
    // that cannot be checked says nothing either: the PID file and the ports
    // decide.
    const bool ask_status = !(backend_ok && m.has_service_via_systemd()) && can_check_service_status();
    bool success = true;
    if (still_up_after_stop(own, ask_status)) {
        // What the back end left running of the service's own is ended.
        info("The service " + service_name() + " is still running after its stop; ending its processes.");
        proc::end_members(own, proc::DEFAULT_WAIT_TIME, is_debug_enabled());
        kill_apps_on_ports();
        if (!doomed_rules().empty()) end_doomed_processes(doomed_rules(), is_debug_enabled(), processowner());
        success = !still_up_after_stop(own, ask_status);
        if (!success) warn("The service " + service_name() + " is still running after its stop.");
    } else if (!backend_ok) {
        debug("The back end reported a failed stop of " + service_name() + ", but nothing of it runs.");
    }
    if (verbose() == 1 && !in_restart) {
        output(success ? SUCCESS_WORD : FAILURE_WORD);
        output("");
    }
    return success;
}

bool Base::reload() {
    nlohmann::json params = exception_params();
    if (!is_enabled()) _generate_disabled_exception(params);
    if (!support_reload()) return true;
    std::string text;
    try {
        text = status();
        if (!text.empty()) check_sanity();
    } catch (const services::Down&) {
    } catch (const services::NotConfigured&) {
    } catch (const services::NotInstalled&) {}
    // Like a reload of an inactive unit: nothing runs that could take it.
    if (text.empty()) _generate_is_down_exception(params);
    backend::Manager& m = service_manager();
    if (is_enabled() && m.has_reload()) {
        if (verbose()) logger().info("Reloading " + service());
        return m.reload(*this);
    }
    return true;
}

std::optional<pid_t> Base::own_pidfile_process() {
    const std::string pf = pidfile();
    if (pf.empty()) return std::nullopt;
    auto read = proc::read_checked(pf, processowner());
    if (read.pid <= 1 || !proc::pid_is_alive(read.pid)) return std::nullopt;
    if (!proc::foreign_reason(read.pid, pidfile_identity()).empty()) return std::nullopt;
    return read.pid;
}

bool Base::still_up_after_stop(const std::vector<proc::Member>& own, bool ask_status) {
    for (const auto& m : own)
        if (proc::still_running(m)) {
            debug("The process " + std::to_string(m.pid) + " of " + service_name() + " still runs.");
            return true;
        }
    if (!ports().empty()) {
        // Another user's listener on another address of the port is not
        // the service's, and does not keep it from starting.
        proc::Service mine{processowner(), port_binds_, false};
        for (const auto& l : proc::service_listeners(proc::find_listeners(ports(), {}), mine)) {
            debug("The process " + std::to_string(l.pid) + " still holds " + l.address + " port " +
                  std::to_string(l.port) + " of " + service_name() + ".");
            return true;
        }
    }
    return ask_status && is_up();
}

void Base::learn_port_binds() {
    if (ports().empty()) return;
    proc::Service mine{processowner(), {}, false};
    proc::learn_binds(proc::find_listeners(ports(), {}), mine);
    for (const auto& [port, addresses] : mine.binds) port_binds_[port].insert(addresses.begin(), addresses.end());
}

bool Base::kill_apps_on_ports(const std::vector<std::string>& exclude_ips, bool for_start) {
    if (ports().empty()) return false;
    learn_port_binds();
    std::vector<std::string> ps;
    for (int p : ports()) ps.push_back(std::to_string(p));
    debug("Ending the programs that hold the ports " + join(ps, ", "));
    proc::Args args;
    args.ports = ports();
    args.exclude_ips = exclude_ips;
    args.service = proc::Service{processowner(), port_binds_, for_start};
    args.warn = [this](const std::string& m) { warn(m); };
    proc::kill_apps_on_ports(args);
    return true;
}

void Base::resetnice() {
    debug("Resetting the scheduling and I/O priority");
    errno = 0;
    if (::setpriority(PRIO_PROCESS, 0, 0) != 0)
        warn("Could not reset the scheduling priority: " + std::string(std::strerror(errno)));
    try {
        run::reset_ionice();
    } catch (const std::exception& e) {
        warn(std::string("Could not reset the I/O priority: ") + e.what());
    }
}

void Base::setrlimits() {
    debug("Lifting the inherited resource limits");
    run::unset_rlimits();
}

void Base::_terminate_orphaned_processes() {
    backend::Manager& m = service_manager();
    if (!m.has_service_via_systemd()) return;
    const backend::UnitRecord& rec = m.service_via_systemd();
    auto it = rec.find("SubState");
    if (it == rec.end() || it->second != "dead") return;
    if (doomed_rules().empty()) return;
    if (end_doomed_processes(doomed_rules(), is_debug_enabled(), std::nullopt))
        info("Left-over processes of the stopped unit of " + service_name() + " were terminated.");
}

}  // namespace norvik::service
