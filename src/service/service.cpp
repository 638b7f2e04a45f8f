#include "service/service.hpp"

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

namespace norvik::servicemanager {

namespace {

const char* const DEFAULT_PROCESSOWNER = "root";
const char* const PLACEHOLDER_LOCK_NAME = "restartsrv_base";

const char* const PROGRESS_MARKER = ".";
const char* const SUCCESS_WORD = "Done";
const char* const FAILURE_WORD = "Failed";

constexpr double STATUS_POLL = 0.05;
constexpr int STATUS_WAIT_LIMIT = 120;
// A stat or a read of the PID file is cheap next to the start it waits for;
// a short poll keeps the wait from adding up to a whole interval to it (the
// daemon often writes the file just after systemd's job returns). An inotify
// watch would wake sooner, but closing one costs a kernel grace period.
constexpr double PIDFILE_POLL = 0.005;
// The file most often comes within a few ms of the job: the first polls are
// shorter still.
constexpr double PIDFILE_FIRST_POLL = 0.001;
constexpr int PIDFILE_FIRST_POLLS = 20;
constexpr double PIDFILE_FILL_WAIT = 0.9;

bool env_true(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool is_plain_file(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool path_exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// A pid whose /proc entry exists and is not a zombie.
// First line of a file without its line end; nullopt when it cannot be opened.
std::optional<std::string> read_first_line(const std::string& path) {
    auto text = loadfile::read_plain_file_head(path, 4097);
    if (!text) return std::nullopt;
    auto nl = text->find('\n');
    if (nl != std::string::npos) text->resize(nl);
    if (!text->empty() && text->back() == '\r') text->pop_back();
    return text;
}

long parse_pid(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    long v = 0;
    bool any = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        any = true;
        v = v * 10 + (s[i] - '0');
        if (v > 4194304L * 16) return 0;
    }
    return any ? v : 0;
}

// Makes the process a child subreaper while it lives, then puts back what was.
class SubreaperScope {
public:
    explicit SubreaperScope(bool on) {
        if (!on || ::prctl(PR_GET_CHILD_SUBREAPER, &previous_) != 0) return;
        active_ = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    }
    ~SubreaperScope() {
        if (active_) ::prctl(PR_SET_CHILD_SUBREAPER, previous_);
    }
    SubreaperScope(const SubreaperScope&) = delete;
    SubreaperScope& operator=(const SubreaperScope&) = delete;

private:
    int previous_ = 0;
    bool active_ = false;
};

// Ends the processes matching the rules (never the program's own ancestry);
// with an owner given, only root's and that owner's ("" none).
bool end_doomed_processes(const std::vector<std::string>& rules, bool verbose,
                          const std::optional<std::string>& owner) {
    if (rules.empty()) return false;
    psparser::AllowedOwners owners;
    if (owner) {
        owners = std::vector<std::string>{psparser::SUPERUSER_NAME};
        if (!owner->empty()) owners->push_back(*owner);
    }
    return restartsrv::doomedprocess(psparser::ProcName(rules), verbose, 0, owners) != 0;
}

double debug_start_time = -1;

// ---- option type checks ---------------------------------------------------

enum class Kind { Text, Bool, Int, TextList, IntList, TextOrList };

const std::map<std::string, Kind>& attribute_kinds() {
    static const std::map<std::string, Kind> kinds = {
        {"service", Kind::Text},
        {"service_override", Kind::Text},
        {"service_binary", Kind::Text},
        {"service_package", Kind::TextOrList},
        {"service_to_suspend", Kind::Text},
        {"suspend_time", Kind::Int},
        {"service_argv_action", Kind::Text},
        {"service_status", Kind::Text},
        {"is_enabled", Kind::Bool},
        {"verbose", Kind::Int},
        {"startup_timeout", Kind::Int},
        {"support_reload", Kind::Bool},
        {"graceful_by_default", Kind::Bool},
        {"is_configured", Kind::Bool},
        {"not_configured_reason", Kind::Text},
        {"can_check_service_status", Kind::Bool},
        {"block_fresh_install", Kind::Bool},
        {"call_with_force", Kind::Bool},
        {"disable_output_partial", Kind::Bool},
        {"_pretend_not_called_from_restart", Kind::Bool},
        {"command_line_regex", Kind::Text},
        {"has_single_pid", Kind::Bool},
        {"is_norvik_service", Kind::Bool},
        {"processowner", Kind::Text},
        {"pidfile", Kind::Text},
        {"pid_exe", Kind::Text},
        {"ports", Kind::IntList},
        {"doomed_rules", Kind::TextList},
        {"shares_daemon_with", Kind::TextList},
        {"restart_attempts", Kind::Int},
        {"current_restart_attempt", Kind::Int},
        {"startup_args", Kind::TextList},
        {"restart_args", Kind::TextList},
        {"shutdown_args", Kind::TextList},
        {"is_graceful_restart_enabled", Kind::Bool},
    };
    return kinds;
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Text: return "a text";
        case Kind::Bool: return "a boolean (true/false or 0/1)";
        case Kind::Int: return "an integer";
        case Kind::TextList: return "a list of texts";
        case Kind::IntList: return "a list of integers";
        case Kind::TextOrList: return "a text or a list of texts";
    }
    return "?";
}

bool kind_matches(Kind k, const nlohmann::json& v) {
    auto all = [&](auto pred) {
        if (!v.is_array()) return false;
        for (const auto& e : v)
            if (!pred(e)) return false;
        return true;
    };
    switch (k) {
        case Kind::Text: return v.is_string();
        case Kind::Bool: return v.is_boolean() || (v.is_number_integer() && (v.get<long>() == 0 || v.get<long>() == 1));
        case Kind::Int: return v.is_number_integer();
        case Kind::TextList: return all([](const nlohmann::json& e) { return e.is_string(); });
        case Kind::IntList: return all([](const nlohmann::json& e) { return e.is_number_integer(); });
        case Kind::TextOrList: return v.is_string() || all([](const nlohmann::json& e) { return e.is_string(); });
    }
    return false;
}

bool as_bool(const nlohmann::json& v) { return v.is_boolean() ? v.get<bool>() : v.get<long>() != 0; }

std::vector<std::string> as_texts(const nlohmann::json& v) {
    if (v.is_string()) return {v.get<std::string>()};
    std::vector<std::string> out;
    for (const auto& e : v) out.push_back(e.get<std::string>());
    return out;
}

}  // namespace

// Definition files check their attributes with the same table.
bool definition_attribute_known(const std::string& name) { return attribute_kinds().count(name) != 0; }

std::string definition_attribute_type_error(const std::string& name, const nlohmann::json& value) {
    auto it = attribute_kinds().find(name);
    if (it == attribute_kinds().end()) return "unknown attribute \"" + name + "\"";
    if (!kind_matches(it->second, value))
        return "attribute \"" + name + "\" must be " + kind_name(it->second) + ", not " + value.dump();
    return "";
}

// ---- construction ----------------------------------------------------------

Base::Base(const nlohmann::json& opts) {
    if (!opts.is_object() && !opts.is_null())
        throw PlainError("Norvik::ServiceManager::Base: the constructor takes a map of named options");
    pid_ = ::getpid();
    has_single_pid_ = true;
    processowner_ = DEFAULT_PROCESSOWNER;
    if (opts.is_object())
        for (auto it = opts.begin(); it != opts.end(); ++it) apply_option(it.key(), it.value());
}

void Base::apply_option(const std::string& name, const nlohmann::json& v) {
    auto it = attribute_kinds().find(name);
    if (it == attribute_kinds().end()) return;  // not an attribute: ignored
    if (v.is_null()) return;
    if (!kind_matches(it->second, v))
        throw PlainError(class_name() + ": the option \"" + name + "\" must be " + kind_name(it->second));
    const std::string& n = name;
    if (n == "service") service_ = v.get<std::string>();
    else if (n == "service_override") service_override_ = v.get<std::string>();
    else if (n == "service_binary") service_binary_ = v.get<std::string>();
    else if (n == "service_package") service_package_ = as_texts(v);
    else if (n == "service_to_suspend") service_to_suspend_ = v.get<std::string>();
    else if (n == "suspend_time") suspend_time_ = v.get<int>();
    else if (n == "service_argv_action") service_argv_action_ = v.get<std::string>();
    else if (n == "service_status") service_status_ = v.get<std::string>();
    else if (n == "is_enabled") is_enabled_ = as_bool(v) ? 1 : 0;
    else if (n == "verbose") verbose_ = v.get<int>();
    else if (n == "startup_timeout") startup_timeout_ = v.get<int>();
    else if (n == "support_reload") support_reload_ = as_bool(v);
    else if (n == "graceful_by_default") graceful_by_default_ = as_bool(v);
    else if (n == "is_configured") is_configured_ = as_bool(v);
    else if (n == "not_configured_reason") not_configured_reason_ = v.get<std::string>();
    else if (n == "can_check_service_status") can_check_service_status_ = as_bool(v);
    else if (n == "block_fresh_install") block_fresh_install_ = as_bool(v);
    else if (n == "call_with_force") call_with_force_ = as_bool(v);
    else if (n == "disable_output_partial") disable_output_partial_ = as_bool(v);
    else if (n == "_pretend_not_called_from_restart") pretend_not_called_from_restart_ = as_bool(v);
    else if (n == "command_line_regex") command_line_regex_ = v.get<std::string>();
    else if (n == "has_single_pid") has_single_pid_ = as_bool(v);
    else if (n == "is_norvik_service") is_norvik_service_ = as_bool(v);
    else if (n == "processowner") processowner_ = v.get<std::string>();
    else if (n == "pidfile") pidfile_ = v.get<std::string>();
    else if (n == "pid_exe") pid_exe_ = v.get<std::string>();
    else if (n == "ports") ports_ = v.get<std::vector<int>>();
    else if (n == "doomed_rules") doomed_rules_ = as_texts(v);
    else if (n == "shares_daemon_with") shares_daemon_with_ = as_texts(v);
    else if (n == "restart_attempts") restart_attempts_ = v.get<int>();
    else if (n == "current_restart_attempt") current_restart_attempt_ = v.get<int>();
    else if (n == "startup_args") startup_args_ = as_texts(v);
    else if (n == "restart_args") restart_args_ = as_texts(v);
    else if (n == "shutdown_args") shutdown_args_ = as_texts(v);
}

Base::~Base() {
    // A forked child's copy must never drop the parent's lock.
    if (lock_ && ::getpid() == _pid()) {
        try {
            lock_->release();
        } catch (...) {
        }
    }
}

void Base::BUILD() {
    debug("Building the service object for " + (service_ ? *service_ : std::string("(unnamed)")));
    services::setuppath();
    (void)lock();
}

std::string Base::class_name() const {
    if (definition_) return definition_->class_name;
    return "Norvik::ServiceManager::Base";
}

// ---- attributes --------------------------------------------------------------

std::string Base::_build_service() {
    static const std::string prefix = "Norvik::ServiceManager::Services::";
    std::string cn = class_name();
    if (cn.size() > prefix.size() && cn.compare(0, prefix.size(), prefix) == 0) return lower(cn.substr(prefix.size()));
    return "";
}

const std::string& Base::service() {
    if (!service_) service_ = _build_service();
    return *service_;
}
void Base::service(const std::string& v) { service_ = v; }
std::string Base::service_override() const { return service_override_.value_or(""); }
void Base::service_override(const std::string& v) { service_override_ = v; }

const std::string& Base::service_name() {
    if (!service_name_) service_name_ = !service_override().empty() ? service_override() : service();
    return *service_name_;
}

std::string Base::_build_service_binary() {
    try {
        return binaries::path(lower(service()));
    } catch (...) {
        return "";
    }
}
const std::string& Base::service_binary() {
    if (!service_binary_) service_binary_ = _build_service_binary();
    return *service_binary_;
}
void Base::service_binary(const std::string& v) { service_binary_ = v; }

const std::vector<std::string>& Base::service_package() const {
    static const std::vector<std::string> none;
    return service_package_ ? *service_package_ : none;
}
void Base::service_package(const std::vector<std::string>& v) { service_package_ = v; }

Manager& Base::service_manager() {
    if (!service_manager_) service_manager_ = _build_service_manager();
    return *service_manager_;
}

std::string _get_systemd_name(const std::string& name) {
    try {
        auto map = os::systemd_service_name_map();
        auto it = map.find(name);
        if (it != map.end() && !it->second.empty()) return it->second;
    } catch (...) {
    }
    return name;
}

namespace {
// Process 1's command name, which /proc shows to every user.
bool pid1_is_systemd() {
    int fd = ::open("/proc/1/comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[32] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    return n > 0 && std::string(buf, static_cast<size_t>(n)) == "systemd\n";
}
}  // namespace

std::unique_ptr<Manager> Base::_build_service_manager() {
    if (request_.use_initd || request_.started_by_init) {
        debug("Using the init.d back end for " + service_name() + " (started by the init system or asked to)");
        auto m = std::make_unique<manager::Initd>(service_name(), true, request_.started_by_init);
        // Asked for by hand, the init script is used even for a unit; a run
        // that systemd started must not call a script that calls systemd.
        if (!request_.started_by_init) m->script_even_for_units(true);
        return m;
    }
    std::string unit = _get_systemd_name(service_name());
    if (auto rec = restartsrv::systemd::has_service_via_systemd(unit)) {
        debug("Using the systemd back end for " + service_name() + " (unit " + unit + ")");
        return std::make_unique<manager::Systemd>(unit, *rec);
    }
    // Without systemd as process 1 no service has a unit: saying so is noise.
    if (!pid1_is_systemd()) debug("No systemd unit was found for the service " + service_name());
    else if (!env_true("NORVIK_BASE_INSTALL")) logger().warn("No systemd unit was found for the service " + service_name());
    debug("Using the init.d back end for " + service_name());
    return std::make_unique<manager::Initd>(service_name(), false, false);
}

const std::string& Base::service_to_suspend() {
    if (!service_to_suspend_) service_to_suspend_ = service();
    return *service_to_suspend_;
}
void Base::service_to_suspend(const std::string& v) { service_to_suspend_ = v; }
int Base::suspend_time() {
    if (!suspend_time_) suspend_time_ = 600;
    return *suspend_time_;
}
void Base::suspend_time(int v) { suspend_time_ = v; }
const std::string& Base::service_argv_action() {
    if (!service_argv_action_) service_argv_action_ = "";
    return *service_argv_action_;
}
void Base::service_argv_action(const std::string& v) { service_argv_action_ = v; }
const std::optional<std::string>& Base::service_status() const { return service_status_; }
void Base::service_status(const std::optional<std::string>& v) { service_status_ = v; }

norvik::Logger& Base::logger() {
    if (!logger_) logger_ = norvik::Logger::create();
    return *logger_;
}

std::shared_ptr<const config::NkConf> Base::nkconf() {
    if (!nkconf_) nkconf_ = config::loadnkconf::loadnkconf_not_copy();
    return nkconf_;
}

std::string Base::systemd_unit() {
    Manager& m = service_manager();
    return m.has_service_via_systemd() ? m.service() : std::string();
}

std::string Base::init_script() {
    auto* initd = dynamic_cast<manager::Initd*>(&service_manager());
    return initd ? initd->init_script() : std::string();
}

int Base::lock_fd() {
    auto* l = lock();
    return l && l->is_held() ? l->fd() : -1;
}

std::unique_ptr<restartsrv::Lock> Base::_build_lock() {
    if (request_.started_by_init || ::geteuid() != 0) return nullptr;
    std::string name = service_ && !service_->empty() ? *service_ : PLACEHOLDER_LOCK_NAME;
    if (!request_.is_query()) return restartsrv::Lock::create(name);
    // A query changes nothing: it never waits behind a restart, it answers
    // with what it sees and says that a restart is under way.
    try {
        restart_under_way_ = restartsrv::Lock::is_held_elsewhere(name);
    } catch (const restartsrv::LockError& e) {
        // On a tree where the lock file cannot be made (read-only, say) it
        // still answers.
        std::string text = e.text() + "; answering without the restart lock.";
        bool on_stderr = false;
        try {
            logger().warn(text);
            on_stderr = logger().usingstderr();  // its log is on the same tree
        } catch (const std::exception&) {
        }
        if (!on_stderr) std::fprintf(stderr, "warning: %s\n", text.c_str());
    }
    return nullptr;
}
restartsrv::Lock* Base::lock() {
    if (!lock_built_) {
        lock_ = _build_lock();
        lock_built_ = true;
    }
    return lock_.get();
}
void Base::lock(std::unique_ptr<restartsrv::Lock> v) {
    lock_ = std::move(v);
    lock_built_ = true;
}

int Base::_build_is_enabled() {
    // The installed test cannot see the back end from below; lend it ours.
    services::installed::ScopedBackendProbe probe([this](const std::string& name) {
        if (name != service()) return false;
        try {
            return service_manager().has_service_via_systemd() || restartsrv::initd::has_service_via_initd(service_name());
        } catch (...) {
            return false;
        }
    });
    return services::enabled::is_enabled(service()) ? 1 : 0;
}
int Base::is_enabled() {
    if (!is_enabled_) is_enabled_ = _build_is_enabled();
    return *is_enabled_;
}
void Base::is_enabled(int v) { is_enabled_ = v ? 1 : 0; }
int Base::verbose() { return verbose_.value_or(0); }
void Base::verbose(int v) { verbose_ = v; }
int Base::startup_timeout() { return startup_timeout_.value_or(10); }
int Base::init_script_timeout() const { return startup_timeout_.value_or(INIT_SCRIPT_TIMEOUT); }
bool Base::support_reload() { return support_reload_.value_or(false); }
bool Base::graceful_by_default() { return graceful_by_default_.value_or(true); }
void Base::graceful_by_default(bool v) { graceful_by_default_ = v; }
bool Base::is_configured() { return is_configured_.value_or(true); }
void Base::is_configured(bool v) { is_configured_ = v; }
std::string Base::not_configured_reason() const { return not_configured_reason_.value_or(""); }
void Base::not_configured_reason(const std::string& v) { not_configured_reason_ = v; }
bool Base::can_check_service_status() { return can_check_service_status_.value_or(true); }
void Base::can_check_service_status(bool v) { can_check_service_status_ = v; }
bool Base::block_fresh_install() { return block_fresh_install_.value_or(false); }
void Base::block_fresh_install(bool v) { block_fresh_install_ = v; }
bool Base::call_with_force() { return call_with_force_.value_or(false); }
void Base::call_with_force(bool v) { call_with_force_ = v; }
bool Base::disable_output_partial() { return disable_output_partial_.value_or(false); }
void Base::disable_output_partial(bool v) { disable_output_partial_ = v; }
bool Base::_pretend_not_called_from_restart() { return pretend_not_called_from_restart_.value_or(false); }
void Base::_pretend_not_called_from_restart(bool v) { pretend_not_called_from_restart_ = v; }
std::string Base::command_line_regex() const { return command_line_regex_.value_or(""); }
bool Base::has_single_pid() const { return has_single_pid_.value_or(true); }
bool Base::is_norvik_service() const { return is_norvik_service_.value_or(false); }
const std::string& Base::processowner() const {
    static const std::string none;
    return processowner_ ? *processowner_ : none;
}
void Base::processowner(const std::string& v) { processowner_ = v; }
std::string Base::pidfile() const { return pidfile_.value_or(""); }
void Base::pidfile(const std::string& v) { pidfile_ = v; }
std::string Base::pid_exe() const { return pid_exe_.value_or(""); }
void Base::pid_exe(const std::string& v) { pid_exe_ = v; }
proc::pidfile::Identity Base::pidfile_identity() {
    return {service_name(), service_binary(), processowner(), pid_exe()};
}
const std::vector<int>& Base::ports() const {
    static const std::vector<int> none;
    return ports_ ? *ports_ : none;
}
void Base::ports(const std::vector<int>& v) { ports_ = v; }
const std::vector<std::string>& Base::doomed_rules() const {
    static const std::vector<std::string> none;
    return doomed_rules_ ? *doomed_rules_ : none;
}
void Base::doomed_rules(const std::vector<std::string>& v) { doomed_rules_ = v; }
const std::vector<std::string>& Base::shares_daemon_with() const {
    static const std::vector<std::string> none;
    return shares_daemon_with_ ? *shares_daemon_with_ : none;
}
void Base::shares_daemon_with(const std::vector<std::string>& v) { shares_daemon_with_ = v; }
std::optional<int> Base::restart_attempts() const { return restart_attempts_; }
void Base::restart_attempts(std::optional<int> v) { restart_attempts_ = v; }
std::optional<int> Base::current_restart_attempt() const { return current_restart_attempt_; }
void Base::current_restart_attempt(std::optional<int> v) { current_restart_attempt_ = v; }
const std::vector<std::string>& Base::startup_args() const {
    static const std::vector<std::string> none;
    return startup_args_ ? *startup_args_ : none;
}
void Base::startup_args(const std::vector<std::string>& v) { startup_args_ = v; }
const std::vector<std::string>& Base::restart_args() const {
    static const std::vector<std::string> none;
    return restart_args_ ? *restart_args_ : none;
}
void Base::restart_args(const std::vector<std::string>& v) { restart_args_ = v; }
const std::vector<std::string>& Base::shutdown_args() const {
    static const std::vector<std::string> none;
    return shutdown_args_ ? *shutdown_args_ : none;
}
void Base::shutdown_args(const std::vector<std::string>& v) { shutdown_args_ = v; }

norvik::Output& Base::output_obj() {
    if (!output_obj_) output_obj_ = output::output_for(request_.json_lines, false);
    return *output_obj_;
}
void Base::set_output_obj(std::shared_ptr<norvik::Output> o) { output_obj_ = std::move(o); }

// ---- messages ----------------------------------------------------------------

void Base::output(const std::string& text) {
    output_obj().out(text, output::SOURCE_LOCAL, output::COMPLETE_MESSAGE);
}

void Base::output_partial(const std::string& text) {
    if (disable_output_partial()) return;
    output_obj().out(text, output::SOURCE_LOCAL, output::PARTIAL_MESSAGE);
}

bool Base::is_debug_enabled() { return verbose() == 2; }

void Base::debug(const std::vector<std::string>& parts) {
    if (!is_debug_enabled()) return;
    double now = timehires::time();
    if (debug_start_time < 0) debug_start_time = now;
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[+%.6fs]", now - debug_start_time);
    std::vector<std::string> all;
    all.reserve(parts.size() + 1);
    all.emplace_back(prefix);
    all.insert(all.end(), parts.begin(), parts.end());
    logger().info(join(all, " "));
}

void Base::info(const std::vector<std::string>& parts) {
    if (is_debug_enabled()) return debug(parts);
    logger().info(join(parts, " "));
}

void Base::warn(const std::vector<std::string>& parts) {
    if (is_debug_enabled()) return debug(parts);
    logger().warn(join(parts, " "));
}

// ---- exception generators ---------------------------------------------------------

nlohmann::json Base::exception_params() { return nlohmann::json{{"service", service()}}; }

namespace {
[[noreturn]] void raise_service_exception(const std::string& type, const nlohmann::json& p) {
    services::register_service_exceptions();
    exception::raise(type, p);
}
}  // namespace

void Base::_generate_start_exception(const nlohmann::json& p) { raise_service_exception(services::START_ERROR, p); }
void Base::_generate_restart_exception(const nlohmann::json& p) { raise_service_exception(services::RESTART_ERROR, p); }
void Base::_generate_reload_exception(const nlohmann::json& p) { raise_service_exception(services::RELOAD_ERROR, p); }
void Base::_generate_stop_exception(const nlohmann::json& p) { raise_service_exception(services::STOP_ERROR, p); }
void Base::_generate_is_down_exception(const nlohmann::json& p) {
    services::register_service_exceptions();
    ExceptionPtr e;
    {
        exception::StackTraceSuppressor quiet;
        e = exception::create(services::DOWN, p);
    }
    e->raise();
    __builtin_unreachable();
}
void Base::_generate_disabled_exception(const nlohmann::json& p) { raise_service_exception(services::DISABLED, p); }
void Base::_generate_not_configured_exception(const nlohmann::json& p) {
    nlohmann::json q = p;
    q["reason"] = not_configured_reason();
    raise_service_exception(services::NOT_CONFIGURED, q);
}
void Base::_generate_not_installed_exception(const nlohmann::json& p) { raise_service_exception(services::NOT_INSTALLED, p); }
void Base::_generate_config_test_exception(const nlohmann::json& p) {
    nlohmann::json q = p;
    q["output"] = last_hook_output_;
    raise_service_exception(services::CONFIG_TEST_FAILED, q);
}
void Base::_generate_binary_not_found_exception(const nlohmann::json& p) { raise_service_exception(services::BINARY_NOT_FOUND, p); }
std::shared_ptr<norvik::Exception> Base::_no_roles_exception() {
    services::register_service_exceptions();
    return exception::create(services::NOT_ALLOWED_BY_ROLES, nlohmann::json{{"service", service_name()}});
}

// ---- hooks -----------------------------------------------------------------------

bool Base::run_hook(const std::string& name, const std::vector<std::string>& extra) {
    if (!definition_ || !definition_->has_hook(name)) return true;
    std::vector<std::string> argv = definition_->hooks.at(name);
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string out, err;
    int st = run_argv(argv, &out, &err);
    debug("Hook " + name + " of " + service() + " ended with status " + std::to_string(st));
    if (st != 0 && !err.empty()) debug("Hook " + name + " said: " + err);
    // The complaint first: checks print it on standard error.
    std::string said = err;
    if (!said.empty() && said.back() != '\n' && !out.empty()) said += '\n';
    last_hook_output_ = hook_report(argv[0], st, said + out);
    return st == 0;
}

// What a hook printed (its tail, when long), or how it ended when it printed
// nothing.
std::string Base::hook_report(const std::string& program, int status, std::string said) {
    constexpr size_t LIMIT = 8192;
    if (said.size() > LIMIT) said = "..." + said.substr(said.size() - LIMIT);
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty() || status == 0) return said;
    if (status < 0) return program + " could not be run.";
    if (status & 127) return program + " was killed by signal " + std::to_string(status & 127) + ".";
    return program + " exited with status " + std::to_string(status >> 8) + ".";
}

bool Base::has_start_check() const { return definition_ && definition_->has_hook("start_check"); }
bool Base::start_check() { return run_hook("start_check"); }
bool Base::has_stop_check() const { return definition_ && definition_->has_hook("stop_check"); }
bool Base::stop_check() { return run_hook("stop_check"); }
bool Base::has_restart_check() const { return definition_ && definition_->has_hook("restart_check"); }
bool Base::restart_check() { return run_hook("restart_check"); }
bool Base::has_restart_attempt() const { return definition_ && definition_->has_hook("restart_attempt"); }
bool Base::restart_attempt(int attempt) { return run_hook("restart_attempt", {std::to_string(attempt)}); }
bool Base::has_pidfile_precheck() const { return definition_ && definition_->has_hook("pidfile_precheck"); }
bool Base::pidfile_precheck() { return run_hook("pidfile_precheck"); }

bool Base::has_custom_action(const std::string& word) const { return definition_ && definition_->has_action(word); }

void Base::run_custom_action(const std::string& word) {
    if (!has_custom_action(word)) throw PlainError("The service " + service() + " has no action \"" + word + "\"");
    const auto& argv = definition_->actions.at(word);
    std::string out, err;
    int st = run_argv(argv, &out, &err);
    if (!out.empty()) std::fwrite(out.data(), 1, out.size(), stdout);
    if (!err.empty()) std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stdout);
    if (st != 0) {
        std::string how = st == TIMED_OUT ? "did not finish within its time limit"
                          : st < 0             ? "could not be run"
                          : (st & 127)         ? "was killed by signal " + std::to_string(st & 127)
                                               : "exited with status " + std::to_string(st >> 8);
        throw PlainError("The action \"" + word + "\" of the service " + service() + " " + how + ".");
    }
}

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
            if (!stop()) _generate_stop_exception(params);
        } else if (req.action == Action::Restart) {
            service_argv_action("RESTART");
            std::string r = restart(req.graceful);
            if (r.empty()) _generate_restart_exception(params);
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

int Base::_service_is_role_aware_and_disabled() {
    return server::type::profile::roles::is_service_allowed(service()) ? 0 : 1;
}

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

std::string Base::restart(std::optional<bool> graceful) {
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
    bool role_off = _service_is_role_aware_and_disabled() != 0;

    if (disabled && !role_off && running && services::enabled::is_enabled_apart_from_installed(service()) != 0) {
        // Only the installed test says no: that never stops a running daemon.
        info("The service " + service() + " is running but does not count as installed; it was left running.");
        _generate_not_installed_exception(params);
    }
    if (disabled && !role_off && running) {
        for (const std::string& other : shares_daemon_with()) {
            if (services::enabled::is_enabled(other) == 0) continue;
            info("The service " + service() + " is disabled, but its daemon also serves " + other +
                 "; it was left running.");
            _generate_disabled_exception(params);
        }
    }
    if ((role_off || disabled) && running) {
        service_argv_action("STOP");
        _pretend_not_called_from_restart(true);
        if (!stop()) return "";
        if (disabled) {
            info("The service " + service() + " is disabled and was stopped.");
            _generate_disabled_exception(params);
        }
        auto e = _no_roles_exception();
        info(e->to_string_no_id());
        e->raise();
    }

    if (!running) {
        debug("The service " + service() + " is not running; it will be started.");
        check_sanity();
        _terminate_orphaned_processes();
        if (verbose() == 1) output_partial("Starting " + service() + " ");
    }

    if (running && has_stop_check()) stop_check();

    // The word that ends a progress line in verbose runs.
    auto report_outcome = [this](bool ok) {
        if (verbose() != 1) return;
        output(ok ? SUCCESS_WORD : FAILURE_WORD);
        output("");
    };
    if (running && is_enabled()) {
        if (has_stop_check()) stop_check();
        // A configuration the daemon would refuse must not cost the running
        // daemon: refuse the restart before anything is stopped.
        if (has_restart_check() && !restart_check()) _generate_config_test_exception(params);
        bool use_graceful = graceful.has_value() ? *graceful : graceful_by_default();
        if (is_enabled() && has_restart_gracefully() && use_graceful) {
            if (verbose() == 1) output_partial("Restarting " + service() + " gracefully ");
            else debug("Restarting " + service() + " gracefully");
            if (restart_gracefully() && !wait_for_service_status(0).empty()) {
                report_outcome(true);
                return "1";
            }
            report_outcome(false);
            if (verbose() != 1) debug("The graceful restart of " + service() + " failed; a full restart follows.");
        }
        if (is_enabled() && has_restart_args() && service_manager().has_restart()) {
            if (verbose() == 1) output_partial("Restarting " + service() + " ");
            else debug("Restarting " + service() + " through its back end");
            bool restarted = false;
            try {
                restarted = service_manager().restart(*this) && !wait_for_service_status(0).empty();
            } catch (const std::exception& e) {
                // It may have stopped the service: the stop and start below finish the job.
                warn("The back end's restart of " + service() + " failed (" + exception::get_string(e) + ").");
            }
            if (restarted) {
                report_outcome(true);
                return "1";
            }
            report_outcome(false);
        }
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
            warn("The stop of " + service() + " failed (" + exception::get_string(stop_error) + "); starting it all the same.");
        }
    } else if (!is_enabled()) {
        _generate_disabled_exception(params);
    }

    int started = start();
    if (stop_error) std::rethrow_exception(stop_error);
    if (!started) return "";
    std::string result = service_status().value_or("");
    if (result.empty()) result = "1";
    debug("The restart of " + service() + " " + (result.empty() ? "failed" : "succeeded"));
    return result;
}

// ---- status and health -------------------------------------------------------------

std::string Base::get_status_string() {
    if (!can_check_service_status()) return "The status of " + service_name() + " cannot be checked.";
    Manager& m = service_manager();
    if (m.has_status_helper()) return m.status_helper(*this);
    proc::CheckServiceOptions o;
    o.service = service_name();
    o.user = processowner();
    o.pidfile = pidfile();
    if (!request_.ignore_systemd) o.unit = restartsrv::systemd::unit_facts(service_name());
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
    Manager& m = service_manager();
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

std::string Base::wait_for_service_status(int attempt) {
    if (!can_check_service_status()) return "1";
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
        restartsrv::systemd::forget_service_info();
        elapsed = static_cast<long>(::time(nullptr) - start);
        if (marked != elapsed) {
            debug("Still waiting for " + service() + " after " + std::to_string(elapsed) + " s");
            marked = elapsed;
        }
        timehires::sleep(STATUS_POLL);
    }
    service_status(result);
    return result;
}

int Base::check_sanity() {
    nlohmann::json params = exception_params();
    _verify_role();
    if (!is_configured()) _generate_not_configured_exception(params);
    if (can_check_service_status() && !is_enabled()) {
        if (verbose()) {
            for (const std::string& f : {paths::disable_file_plain(service()), paths::disable_file_dotted(service())})
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
    if (!executable(nullptr) && service_package_ && !service_package_->empty()) {
        debug("Checking the packages of " + service());
        for (const auto& pkg : *service_package_) {
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
    Manager& m = service_manager();
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

int Base::is_up_via_pidfile() {
    std::string pf = pidfile();
    if (pf.empty()) return 0;
    struct stat st;
    if (::stat("/proc", &st) != 0 || !S_ISDIR(st.st_mode))
        throw PlainError("The process file system /proc is not mounted; process checks are impossible.\n" +
                         exception::stack_trace());
    double deadline = timehires::time() + startup_timeout();
    bool found = is_plain_file(pf);
    for (int polls = 0; !found && timehires::time() <= deadline; ++polls) {
        if (service_manager().start_gave_up(*this)) return 0;
        timehires::sleep(polls < PIDFILE_FIRST_POLLS ? PIDFILE_FIRST_POLL : PIDFILE_POLL);
        found = is_plain_file(pf);
    }
    if (!found) {
        auto saved = logger_settings::enable_backtrace();
        logger_settings::set_enable_backtrace(false);
        logger().warn("The PID file " + pf + " of " + service() + " did not appear within " +
                      std::to_string(startup_timeout()) + " seconds");
        logger_settings::set_enable_backtrace(saved);
        return 0;
    }
    if (has_pidfile_precheck()) pidfile_precheck();
    // A file made but not yet written gets up to 0.9 s to gain its number.
    long pid = 0;
    const double read_deadline = timehires::time() + PIDFILE_FILL_WAIT;
    for (;;) {
        if (auto line = read_first_line(pf)) pid = parse_pid(*line);
        double left = read_deadline - timehires::time();
        if (pid != 0 || left <= 0) break;
        timehires::sleep(std::min(left, PIDFILE_POLL));
    }
    if (pid == 0) return 0;
    // A forking daemon may name its parent first and rewrite the file from
    // the child, so a dead or foreign PID is read again until the start
    // has plainly failed.
    for (;;) {
        if (psparser::pid_is_alive(static_cast<pid_t>(pid)) &&
            proc::pidfile::foreign_reason(static_cast<pid_t>(pid), pidfile_identity()).empty())
            return 1;
        if (timehires::time() > deadline || service_manager().start_gave_up(*this)) return 0;
        timehires::sleep(PIDFILE_POLL);
        if (auto line = read_first_line(pf)) pid = parse_pid(*line);
    }
}

// ---- start, stop, reload ------------------------------------------------------------

int Base::start() {
    bool in_restart = _called_from_restart();
    if (!in_restart) {
        check_sanity();
        _terminate_orphaned_processes();
    }
    nlohmann::json params = exception_params();
    if (!is_enabled()) return 0;
    if (has_start_check() && !start_check()) return 0;
    _exit_if_block_fresh_install();

    debug("Checking the log directory");
    {
        // The tool's own tree is never a reason to leave a service down: a log
        // directory that cannot be made only sends the log to standard error.
        if (int err = make_logs_dir())
            warn("The log directory " + paths::logs_dir() + " could not be created: " + std::strerror(err));
    }
    debug("Setting the file-creation mask to 0022");
    ::umask(022);
    debug("Lifting the resource limits");
    setrlimits();
    debug("Resetting the priorities");
    resetnice();

    if (verbose() == 1 && !in_restart) output_partial("Starting " + service() + " ");
    else debug("Starting " + service());

    std::optional<int> cra = current_restart_attempt();
    int attempt = cra.value_or(0);
    int max = restart_attempts().value_or(0);
    if (max == 0) max = 1;
    int ports_known = static_cast<int>(ports().size());
    if (max < 2 && ports_known) max = max + 1;

    // An init script's daemon leaves our process tree by forking twice; as a
    // subreaper for the start this run keeps it, so whatever a failed
    // attempt left behind can be ended. (A systemd unit's control group
    // does this for units.)
    const bool contain = service_manager().kind() == "Initd";
    SubreaperScope subreaper(contain);
    std::vector<proc::family::Member> before;
    if (contain) before = proc::family::descendants(::getpid());
    auto end_left_behind = [&] {
        if (!contain) return;
        auto left = proc::family::added_since(before, proc::family::descendants(::getpid()));
        if (left.empty()) return;
        info("Ending " + std::to_string(left.size()) + " process(es) left behind by the failed start of " +
             service_name() + ".");
        proc::family::end_members(left, kill::DEFAULT_WAIT_TIME, is_debug_enabled());
    };

    bool started = false;
    while (cra.has_value() || attempt < max) {
        if (verbose() == 1) output_partial(PROGRESS_MARKER);
        if (attempt != 0) {
            debug("Start attempt " + std::to_string(attempt) + " for " + service());
            if (attempt == 1 && ports_known) kill_apps_on_ports({}, true);
            Manager& m = service_manager();
            if (m.has_restart_attempt()) m.restart_attempt(*this, attempt);
            if (has_restart_attempt()) restart_attempt(attempt);
        }
        std::string pf = pidfile();
        if (!pf.empty() && path_exists(pf)) {
            // A PID file of a dead process, or of one that is not the
            // service's, would be taken for the new one.
            long pid = 0;
            if (auto line = read_first_line(pf)) pid = parse_pid(*line);
            if (!psparser::pid_is_alive(static_cast<pid_t>(pid)) ||
                !proc::pidfile::foreign_reason(static_cast<pid_t>(pid), pidfile_identity()).empty()) {
                debug("Removing the stale PID file " + pf);
                ::unlink(pf.c_str());
            }
        }
        if (service_manager().start(*this) && (pf.empty() || is_up_via_pidfile()) &&
            !wait_for_service_status(attempt).empty()) {
            started = true;
            break;
        }
        end_left_behind();
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
    return 1;
}

int Base::stop() {
    bool in_restart = _called_from_restart();
    Manager& m = service_manager();
    if (!m.this_process_was_executed_by_systemd() && !is_up()) {
        if (verbose() == 1 && !in_restart) {
            output("The service " + service() + " is not running.");
            output("");
        } else {
            debug("The service " + service() + " is not running");
        }
        return 1;
    }
    if (has_stop_check()) stop_check();
    if (verbose() == 1 && !in_restart) output_partial("Stopping " + service() + " ");
    else debug("Stopping " + service());
    servmon::tiny::suspend_service(service_to_suspend(), suspend_time());
    if (verbose() == 1) output_partial(PROGRESS_MARKER);
    _learn_port_binds();
    // Taken before the stop: a daemon may drop its PID file and live on.
    std::vector<proc::family::Member> own;
    if (auto pid = _own_pidfile_process())
        if (auto start = proc::family::start_time(*pid)) own.push_back({*pid, *start});
    bool backend_ok = m.stop(*this);
    if (!in_restart) _terminate_orphaned_processes();
    // A stop job systemd completed leaves the unit inactive and its control
    // group ended: only what may have escaped it is checked then. A status
    // that cannot be checked says nothing either: the PID file and the ports
    // decide.
    const bool ask_status = !(backend_ok && m.has_service_via_systemd()) && can_check_service_status();
    bool success = true;
    if (_still_up_after_stop(own, ask_status)) {
        // What the back end left running of the service's own is ended.
        info("The service " + service_name() + " is still running after its stop; ending its processes.");
        proc::family::end_members(own, kill::DEFAULT_WAIT_TIME, is_debug_enabled());
        kill_apps_on_ports();
        if (!doomed_rules().empty()) end_doomed_processes(doomed_rules(), is_debug_enabled(), processowner());
        success = !_still_up_after_stop(own, ask_status);
        if (!success) warn("The service " + service_name() + " is still running after its stop.");
    } else if (!backend_ok) {
        debug("The back end reported a failed stop of " + service_name() + ", but nothing of it runs.");
    }
    if (verbose() == 1 && !in_restart) {
        output(success ? SUCCESS_WORD : FAILURE_WORD);
        output("");
    }
    return success ? 1 : 0;
}

int Base::reload() {
    nlohmann::json params = exception_params();
    if (!is_enabled()) _generate_disabled_exception(params);
    if (!support_reload()) return 1;
    std::string text;
    try {
        text = status();
        if (!text.empty()) check_sanity();
    } catch (const services::Down&) {
    } catch (const services::NotConfigured&) {
    } catch (const services::NotInstalled&) {
    }
    // Like a reload of an inactive unit: nothing runs that could take it.
    if (text.empty()) _generate_is_down_exception(params);
    Manager& m = service_manager();
    if (is_enabled() && m.has_reload()) {
        if (verbose()) logger().info("Reloading " + service());
        return m.reload(*this) ? 1 : 0;
    }
    return 1;
}

std::optional<pid_t> Base::_own_pidfile_process() {
    const std::string pf = pidfile();
    if (pf.empty()) return std::nullopt;
    auto read = proc::pidfile::read_checked(pf, processowner());
    if (read.pid <= 1 || !psparser::pid_is_alive(read.pid)) return std::nullopt;
    if (!proc::pidfile::foreign_reason(read.pid, pidfile_identity()).empty()) return std::nullopt;
    return read.pid;
}

bool Base::_still_up_after_stop(const std::vector<proc::family::Member>& own, bool ask_status) {
    for (const auto& m : own)
        if (proc::family::still_running(m)) {
            debug("The process " + std::to_string(m.pid) + " of " + service_name() + " still runs.");
            return true;
        }
    if (!ports().empty()) {
        // Another user's listener on another address of the port is not
        // the service's, and does not keep it from starting.
        kill::appport::Service mine{processowner(), port_binds_, false};
        for (const auto& l : kill::appport::service_listeners(kill::appport::find_listeners(ports(), {}), mine)) {
            debug("The process " + std::to_string(l.pid) + " still holds " + l.address + " port " +
                  std::to_string(l.port) + " of " + service_name() + ".");
            return true;
        }
    }
    return ask_status && is_up();
}

void Base::_learn_port_binds() {
    if (ports().empty()) return;
    kill::appport::Service mine{processowner(), {}, false};
    kill::appport::learn_binds(kill::appport::find_listeners(ports(), {}), mine);
    for (const auto& [port, addresses] : mine.binds) port_binds_[port].insert(addresses.begin(), addresses.end());
}

bool Base::kill_apps_on_ports(const std::vector<std::string>& exclude_ips, bool for_start) {
    if (ports().empty()) return false;
    _learn_port_binds();
    std::vector<std::string> ps;
    for (int p : ports()) ps.push_back(std::to_string(p));
    debug("Ending the programs that hold the ports " + join(ps, ", "));
    kill::appport::Args args;
    args.ports = ports();
    args.verbose = kill::appport::VERBOSE();
    args.exclude_ips = exclude_ips;
    args.service = kill::appport::Service{processowner(), port_binds_, for_start};
    args.warn = [this](const std::string& m) { warn(m); };
    kill::appport::kill_apps_on_ports(args);
    return true;
}

void Base::resetnice() {
    debug("Resetting the scheduling and I/O priority");
    errno = 0;
    if (::setpriority(PRIO_PROCESS, 0, 0) != 0)
        warn("Could not reset the scheduling priority: " + std::string(std::strerror(errno)));
    try {
        ionice::reset();
    } catch (const std::exception& e) {
        warn(std::string("Could not reset the I/O priority: ") + e.what());
    }
}

void Base::setrlimits() {
    debug("Lifting the inherited resource limits");
    rlimit::unset::unset_rlimits();
}

void Base::_terminate_orphaned_processes() {
    Manager& m = service_manager();
    if (!m.has_service_via_systemd()) return;
    const UnitRecord& rec = m.service_via_systemd();
    auto it = rec.find("SubState");
    if (it == rec.end() || it->second != "dead") return;
    if (doomed_rules().empty()) return;
    if (end_doomed_processes(doomed_rules(), is_debug_enabled(), std::nullopt))
        info("Left-over processes of the stopped unit of " + service_name() + " were terminated.");
}

}  // namespace norvik::servicemanager
