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

namespace norvik::servicemanager {

using namespace internal;

namespace {

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
    else if (n == "is_enabled") is_enabled_ = as_bool(v);
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
        } catch (const std::exception&) {
            // A destructor must not throw; the flock goes with the descriptor at exit.
        }
    }
}

void Base::prepare() {
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
    } catch (const std::exception&) {
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
    } catch (const std::exception&) {
        // No map of the system's names: the panel's name is the unit's.
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

bool Base::_build_is_enabled() {
    // The installed test cannot see the back end from below; lend it ours.
    services::installed::ScopedBackendProbe probe([this](const std::string& name) {
        if (name != service()) return false;
        try {
            return service_manager().has_service_via_systemd() || restartsrv::initd::has_service_via_initd(service_name());
        } catch (const std::exception&) {
            return false;
        }
    });
    return services::enabled::is_enabled(service()) != 0;
}
bool Base::is_enabled() {
    if (!is_enabled_) is_enabled_ = _build_is_enabled();
    return *is_enabled_;
}
void Base::is_enabled(bool v) { is_enabled_ = v; }
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

}  // namespace norvik::servicemanager
