#include "backend/systemd_backend.hpp"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "exception/exception.hpp"
#include "initd/scripts.hpp"
#include "systemd/systemctl.hpp"
#include "systemd/units.hpp"
#include "output/output.hpp"
#include "initd/service_log.hpp"
#include "proc/service_check.hpp"

namespace norvik::backend {

namespace {

constexpr double QUERY_TIMEOUT = 60;
// Journal lines an error about a cancelled job carries.
constexpr size_t JOB_JOURNAL_LINES = 10;
// How long the main process of a simple unit must have lived, after this
// run's own start, before it counts as up.
constexpr double SIMPLE_SETTLE = 0.5;

double monotonic_now() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string field_of(const UnitRecord& r, const char* name) {
    auto it = r.find(name);
    return it == r.end() ? std::string() : it->second;
}

struct Ran {
    int status = 127 << 8;
    bool timed_out = false;
    std::optional<int> error_code() const {
        if (status == 0) return std::nullopt;
        return status >> 8;
    }
    std::string autopsy;
    std::string output;
};

Ran run_systemctl(const std::vector<std::string>& args, double timeout) {
    Ran r;
    const systemd::SystemctlResult got = systemd::systemctl().run({args, timeout, true});
    r.status = got.exec_failed && got.status == 0 ? systemd::NOT_RUNNABLE_STATUS : got.status;
    r.timed_out = got.timed_out;
    r.autopsy = got.autopsy;
    r.output = got.output;
    // A job changes the unit: what was kept about it is stale now.
    systemd::forget_service_info();
    return r;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string last_lines(const std::string& text, size_t n) {
    size_t pos = text.size();
    while (pos > 0 && text[pos - 1] == '\n') --pos;
    const size_t end = pos;
    for (size_t k = 0; k < n && pos > 0; ++k) {
        size_t nl = text.rfind('\n', pos - 1);
        pos = nl == std::string::npos ? 0 : nl;
    }
    return text.substr(pos == 0 ? 0 : pos + 1, end - (pos == 0 ? 0 : pos + 1));
}

}  // namespace

Systemd::Systemd(std::string unit, UnitRecord record, bool started_by_init)
    : service_(std::move(unit)), record_(std::move(record)) {
    if (started_by_init)
        throw PlainError("The systemd back end cannot manage “" + service_ +
                         "” in a run that the init system started.");
}

bool Systemd::start(ManagedService& srv) {
    const std::string unit = service_ + systemd::UNIT_SUFFIX;
    // A unit that requires its socket brings it back itself. Others are not
    // started with it: systemd refuses to start a socket whose service is
    // already running, and one job does not order the two.
    // A unit systemd still holds active (one that remains after its start
    // program exited, as those made from init scripts do) while the
    // processes are all gone would take a start as done: it is restarted.
    const bool held_active =
        systemd::is_up_state(last_seen_) && systemd::get_pids_via_systemd(service_, &last_seen_).empty();
    std::string said;
    const bool ok = run_job(srv, {held_active ? "restart" : "start", unit, "--no-ask-password"}, &said);
    started_ = true;
    // A state read before this job says nothing about how it went.
    last_seen_.clear();
    started_at_ = ok ? monotonic_now() : 0;
    if (!ok) {
        srv.info("The system failed to start the unit “" + unit + "”: " + said);
    } else if (srv.is_debug_enabled()) {
        srv.info("The unit “" + unit + "” was started.");
    }
    return ok;
}

bool Systemd::run_job(ManagedService& srv, const std::vector<std::string>& args, std::string* said) {
    const int limit = srv.init_script_timeout();
    Ran r = run_systemctl(args, limit);
    if (!r.timed_out) {
        if (said) *said = r.autopsy + ": " + r.output;
        return r.status == 0;
    }
    // Ending systemctl leaves the job to systemd, holding the service: it is
    // cancelled, and the error says where that left the unit.
    const std::string unit = service_ + systemd::UNIT_SUFFIX;
    const std::string job = trimmed(run_systemctl({"show", "-p", "Job", "--value", unit}, QUERY_TIMEOUT).output);
    if (!job.empty() && std::all_of(job.begin(), job.end(), [](char c) { return c >= '0' && c <= '9'; }))
        run_systemctl({"cancel", job}, QUERY_TIMEOUT);
    // A start cancelled halfway leaves its programs running (ExecStartPre
    // and the like): they are ended, as an init script's are at its limit.
    if (args.front() == "start" || args.front() == "restart")
        run_systemctl({"stop", "--no-block", unit}, QUERY_TIMEOUT);
    last_seen_.clear();
    const UnitRecord now = systemd::refresh_service_info(service_);
    std::string text = "The " + args.front() + " job of the unit “" + unit + "” did not finish within " +
                       std::to_string(limit) + " seconds and was cancelled; the unit is now " +
                       field_of(now, "ActiveState") + " (" + field_of(now, "SubState") + ").";
    auto [have, journal] = norvik::initd::fetch_service_startup_log(service_, true, true);
    if (have && !journal.empty()) text += "\nIts last journal lines:\n" + last_lines(journal, JOB_JOURNAL_LINES);
    throw PlainError(text);
}

std::string Systemd::refuses_to_start(ManagedService& /*srv*/) {
    const UnitRecord rec = systemd::get_service_info_via_systemd(service_);
    if (!systemd::is_masked(rec)) return {};
    const std::string unit = service_ + systemd::UNIT_SUFFIX;
    return "The unit “" + unit + "” is masked: systemd does not start it, so it is left as it is (" +
           (systemd::is_up_state(rec) ? "running" : "not running") + "). Unmask it first; a stop still works.";
}

bool Systemd::stop(ManagedService& srv, const std::string& type) {
    const std::string unit_type = type.empty() ? std::string(STOP_TYPE) : type;
    std::vector<std::string> args = {"stop", service_ + "." + unit_type};
    // Units that would start the service again on demand (its sockets,
    // paths, timers) stop with it, or the stop would not last. A restart
    // leaves them alone: its start would not bring back those the unit
    // does not require.
    if (unit_type == STOP_TYPE && srv.service_argv_action() == "STOP")
        for (const auto& t : systemd::triggering_units(record_)) args.push_back(t);
    // What was seen before the stop does not hold after it.
    last_seen_.clear();
    std::string said;
    Ran r;
    r.status = run_job(srv, args, &said) ? 0 : 1 << 8;
    if (r.status != 0) srv.debug("Stopping “" + service_ + "” (type " + type + ") failed: " + said);
    else srv.debug("Stopped “" + service_ + "” (type " + type + ").");
    return r.status == 0;
}

bool Systemd::reload(ManagedService& srv) {
    std::string said;
    Ran r;
    r.status = run_job(srv, {"reload", service_ + systemd::UNIT_SUFFIX}, &said) ? 0 : 1 << 8;
    if (r.status != 0) srv.debug("Reloading “" + service_ + "” failed: " + said);
    else srv.debug("Reloaded “" + service_ + "”.");
    return r.status == 0;
}

int Systemd::restart_attempt(ManagedService& srv, int attempt) {
    if (attempt == 1 && !srv.doomed_rules().empty()) {
        srv.debug("Killing the left-over processes of “" + srv.service_name() + "” before the first retry.");
        initd::doomedprocess(srv.doomed_rules(), srv.verbose() != 0);
    }
    return 1;
}

UnitRecord Systemd::live_record() {
    if (started_at_ > 0) {
        // Units whose start job ends at the exec (simple, exec, idle) are
        // "active" before their program has read its configuration. After
        // this run's own start, the main process (started before the job
        // ended) must live a moment before it counts, so that a daemon which
        // dies at once is reported failed. The one `show` comes after it.
        const std::string type = field_of(record_, "Type");
        if (type == "simple" || type == "exec" || type == "idle") {
            const double left = started_at_ + SIMPLE_SETTLE - monotonic_now();
            if (left > 0) ::usleep(static_cast<useconds_t>(left * 1e6));
        }
        started_at_ = 0;
    }
    last_seen_ = systemd::get_service_info_via_systemd(service_);
    return last_seen_;
}

std::string Systemd::status_helper(ManagedService& srv) {
    const UnitRecord rec = live_record();
    std::string out;
    if (systemd::is_up_state(rec)) {
        auto type = rec.find("Type");
        if (type != rec.end() && type->second == "oneshot") {
            out = srv.service_name() + " is a oneshot unit and is active (check method: " + CHECK_METHOD + ")\n";
        } else {
            // systemd's view decides which processes are the service's: its
            // main pid (for forking units read from the PID file by systemd
            // itself), else the unit's control group.
            std::vector<pid_t> pids;
            if (!srv.has_single_pid()) pids = systemd::get_pids_via_systemd(service_, &rec);
            else if (pid_t main = systemd::get_pid_via_systemd(service_, &rec)) pids.push_back(main);
            for (pid_t pid : pids) {
                proc::CheckServiceOptions o;
                o.service = srv.service_name();
                o.user = srv.processowner();
                o.pid = pid;
                o.check_method = CHECK_METHOD;
                out += proc::check_service(o);
            }
        }
    }
    if (systemd::is_masked(rec)) {
        const std::string note = "The unit “" + service_ + systemd::UNIT_SUFFIX + "” is masked" +
                                 (out.empty() ? " and not running." : " and still running.");
        if (out.empty()) srv.output_obj().warn(note);
        else out += note + "\n";
    }
    // "Not running" may change while a caller waits: ask again next time.
    if (out.empty()) systemd::forget_service_info();
    return out;
}

bool Systemd::start_gave_up(ManagedService& srv) {
    if (!started_ || last_seen_.empty()) return false;
    const std::string state = field_of(last_seen_, "ActiveState"), sub = field_of(last_seen_, "SubState");
    const bool gave_up = state == systemd::FAILED_WORD || state == systemd::INACTIVE_WORD || sub == "auto-restart";
    if (gave_up) srv.debug("systemd reports the unit “" + service_ + "” " + state + " (" + sub + "); no more waiting.");
    return gave_up;
}

}  // namespace norvik::backend
