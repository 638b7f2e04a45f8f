#include "service_manager/ServiceManager_Manager_Systemd.hpp"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "exception/Exception.hpp"
#include "foundation/Paths.hpp"
#include "restartsrv/RestartSrv_Initd.hpp"
#include "restartsrv/RestartSrv_Systemd.hpp"
#include "run/SafeRun_Object.hpp"
#include "service_manager/ServiceManager_Base.hpp"

namespace norvik::servicemanager::manager {

namespace {

double& recheck_sleep() {
    static double s = 1.0;
    return s;
}

constexpr double JOB_TIMEOUT = 600;
constexpr double QUERY_TIMEOUT = 120;

struct Ran {
    int status = 127 << 8;
    std::optional<int> error_code() const {
        if (status == 0) return std::nullopt;
        return status >> 8;
    }
    std::string autopsy;
    std::string output;
};

Ran run_systemctl(const std::vector<std::string>& args, double timeout) {
    Ran r;
    saferun::Options o;
    o.program = Systemd::gl_systemctl_binary();
    o.args = args;
    o.keep_env = true;
    o.merge_stderr = true;
    o.timeout = timeout;
    try {
        saferun::Object run(std::move(o));
        r.status = run.CHILD_ERROR();
        if (run.exec_failed() && r.status == 0) r.status = 127 << 8;
        r.autopsy = run.autopsy().value_or("");
        if (const std::string* out = run.stdout_r()) r.output = *out;
    } catch (const std::exception& e) {
        r.status = 127 << 8;
        r.autopsy = e.what();
    }
    return r;
}

std::string code_text(const Ran& r) {
    auto c = r.error_code();
    return c ? std::to_string(*c) : "0";
}

}  // namespace

Systemd::Systemd(std::string unit, UnitRecord record) : service_(std::move(unit)), record_(std::move(record)) { BUILD(); }

void Systemd::BUILD() {
    if (::getppid() == 1)
        throw PlainError("The systemd back end cannot manage “" + service_ + "” in a run that the init system started.");
}

std::string Systemd::gl_systemctl_binary() { return paths::systemctl(); }

void Systemd::set_recheck_sleep_for_testing(double seconds) { recheck_sleep() = seconds; }

bool Systemd::start(Base& srv) {
    const std::string unit = service_ + restartsrv::systemd::UNIT_SUFFIX;
    Ran r = run_systemctl({"start", unit, "--no-ask-password"}, JOB_TIMEOUT);
    if (r.status != 0) {
        srv.info("The system failed to start the unit “" + unit + "”: " + r.autopsy + ": " + r.output);
    } else if (srv.is_debug_enabled()) {
        srv.info("The unit “" + unit + "” was started.");
    }
    return r.status == 0;
}

bool Systemd::stop(Base& srv, const std::string& type) {
    const std::string unit = service_ + "." + (type.empty() ? std::string(STOP_TYPE) : type);
    Ran r = run_systemctl({"stop", unit}, JOB_TIMEOUT);
    if (r.status != 0)
        srv.debug("Stopping “" + service_ + "” (type " + type + ") failed with error code " + code_text(r) + ".");
    else
        srv.debug("Stopped “" + service_ + "” (type " + type + ").");
    return r.status == 0;
}

bool Systemd::reload(Base& srv) {
    Ran r = run_systemctl({"reload", service_ + restartsrv::systemd::UNIT_SUFFIX}, JOB_TIMEOUT);
    if (r.status != 0)
        srv.debug("Reloading “" + service_ + "” failed with error code " + code_text(r) + ".");
    else
        srv.debug("Reloaded “" + service_ + "”.");
    return r.status == 0;
}

int Systemd::restart_attempt(Base& srv, int attempt) {
    if (attempt == 1 && !srv.doomed_rules().empty()) {
        srv.debug("Killing the left-over processes of “" + srv.service_name() + "” before the first retry.");
        restartsrv::doomedprocess(srv.doomed_rules(), srv.verbose() != 0);
    }
    return 1;
}

std::string Systemd::status_helper(Base& srv) {
    const std::string pidfile = srv.pidfile();
    auto type = record_.find("Type");
    if (type != record_.end() && type->second == "forking") {
        // For forking units the PID file decides, not systemd's activity state.
        restartsrv::CheckServiceOptions o;
        o.service = srv.service_name();
        o.user = srv.processowner();
        o.pidfile = pidfile;
        o.binary = srv.service_binary();
        o.pid_exe = srv.pid_exe();
        o.warn = [&srv](const std::string& m) { srv.warn(m); };
        return restartsrv::check_service(o);
    }
    if (!is_active(srv)) return "";
    if (srv.has_single_pid()) {
        if (pid_t pid = restartsrv::systemd::get_pid_via_systemd(service_)) {
            restartsrv::CheckServiceOptions o;
            o.service = srv.service_name();
            o.user = srv.processowner();
            o.pid = pid;
            o.check_method = CHECK_METHOD;
            return restartsrv::check_service(o);
        }
    }
    std::string out;
    for (pid_t pid : restartsrv::systemd::get_pids_via_systemd(service_)) {
        restartsrv::CheckServiceOptions o;
        o.service = srv.service_name();
        o.user = srv.processowner();
        o.pid = pid;
        o.check_method = CHECK_METHOD;
        out += restartsrv::check_service(o);
    }
    return out;
}

bool Systemd::_systemctl_is_active(const std::string& unit) {
    Ran r = run_systemctl({"--quiet", "is-active", restartsrv::systemd::unit_name(unit)}, QUERY_TIMEOUT);
    return r.status == 0;
}

bool Systemd::is_active(Base& srv) {
    auto st = record_.find("ActiveState");
    const bool recorded = st != record_.end() && st->second == restartsrv::systemd::ACTIVE_WORD;
    bool live = _systemctl_is_active(service_);
    if (recorded != live) {
        // A unit changing state gets a moment to settle; one that turns
        // inactive ends the wait at once.
        for (int i = 0; i < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::duration<double>(recheck_sleep()));
            live = _systemctl_is_active(service_);
            if (!live) {
                srv.debug("The unit “" + service_ + "” is not active.");
                break;
            }
        }
    }
    srv.debug(std::string("The unit “") + service_ + "” is " + (live ? "active." : "inactive."));
    return live;
}

}  // namespace norvik::servicemanager::manager
