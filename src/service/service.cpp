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

namespace {

// The first debug line's time, so that lines show the time since.
double debug_start_time = -1;

}  // namespace

// Definition files check their attributes with the same table.
bool definition_attribute_known(const std::string& name) { return is_setting(name); }

std::string definition_attribute_type_error(const std::string& name, const nlohmann::json& value) {
    if (!is_setting(name)) return "unknown attribute \"" + name + "\"";
    if (!setting_accepts(name, value))
        return "attribute \"" + name + "\" must be " + setting_kind(name) + ", not " + value.dump();
    return "";
}

// ---- construction ----------------------------------------------------------

Base::Base(const nlohmann::json& opts) {
    if (!opts.is_object() && !opts.is_null())
        throw PlainError("Norvik::ServiceManager::Base: the constructor takes a map of named options");
    pid_ = ::getpid();
    settings_.has_single_pid = true;
    settings_.processowner = DEFAULT_PROCESSOWNER;
    if (opts.is_object())
        for (auto it = opts.begin(); it != opts.end(); ++it) apply_option(it.key(), it.value());
}

void Base::apply_option(const std::string& name, const nlohmann::json& v) {
    if (!is_setting(name) || v.is_null()) return;  // not an attribute: ignored
    if (!setting_accepts(name, v))
        throw PlainError(class_name() + ": the option \"" + name + "\" must be " + setting_kind(name));
    read_setting(settings_, name, v);
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
    debug("Building the service object for " + (settings_.service ? *settings_.service : std::string("(unnamed)")));
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
    if (!settings_.service) settings_.service = _build_service();
    return *settings_.service;
}
void Base::service(const std::string& v) { settings_.service = v; }
std::string Base::service_override() const { return settings_.service_override.value_or(""); }
void Base::service_override(const std::string& v) { settings_.service_override = v; }

const std::string& Base::service_name() {
    if (!service_name_) service_name_ = !service_override().empty() ? service_override() : service();
    return *service_name_;
}

std::string Base::build_service_binary() {
    try {
        return pkgr::path(lower(service()));
    } catch (const std::exception&) {
        return "";
    }
}
const std::string& Base::service_binary() {
    if (!settings_.service_binary) settings_.service_binary = build_service_binary();
    return *settings_.service_binary;
}
void Base::service_binary(const std::string& v) { settings_.service_binary = v; }

const std::vector<std::string>& Base::service_package() const {
    static const std::vector<std::string> none;
    return settings_.service_package ? *settings_.service_package : none;
}
void Base::service_package(const std::vector<std::string>& v) { settings_.service_package = v; }

backend::Manager& Base::service_manager() {
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
    // The real kernel's init system, whatever process table a test reads.
    int fd = ::open("/proc/1/comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[32] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    return n > 0 && std::string(buf, static_cast<size_t>(n)) == "systemd\n";
}
}  // namespace

std::unique_ptr<backend::Manager> Base::_build_service_manager() {
    if (request_.use_initd || request_.started_by_init) {
        debug("Using the init.d back end for " + service_name() + " (started by the init system or asked to)");
        auto m = std::make_unique<backend::Initd>(service_name(), true, request_.started_by_init);
        // Asked for by hand, the init script is used even for a unit; a run
        // that systemd started must not call a script that calls systemd.
        if (!request_.started_by_init) m->script_even_for_units(true);
        return m;
    }
    std::string unit = _get_systemd_name(service_name());
    if (auto rec = systemd::has_service_via_systemd(unit)) {
        debug("Using the systemd back end for " + service_name() + " (unit " + unit + ")");
        return std::make_unique<backend::Systemd>(unit, *rec, request_.started_by_init);
    }
    // Without systemd as process 1 no service has a unit: saying so is noise.
    if (!pid1_is_systemd()) debug("No systemd unit was found for the service " + service_name());
    else if (!env_true("NORVIK_BASE_INSTALL"))
        logger().warn("No systemd unit was found for the service " + service_name());
    debug("Using the init.d back end for " + service_name());
    return std::make_unique<backend::Initd>(service_name(), false, false);
}

const std::string& Base::service_to_suspend() {
    if (!settings_.service_to_suspend) settings_.service_to_suspend = service();
    return *settings_.service_to_suspend;
}
void Base::service_to_suspend(const std::string& v) { settings_.service_to_suspend = v; }
int Base::suspend_time() {
    if (!settings_.suspend_time) settings_.suspend_time = 600;
    return *settings_.suspend_time;
}
void Base::suspend_time(int v) { settings_.suspend_time = v; }
const std::string& Base::service_argv_action() {
    if (!settings_.service_argv_action) settings_.service_argv_action = "";
    return *settings_.service_argv_action;
}
void Base::service_argv_action(const std::string& v) { settings_.service_argv_action = v; }
const std::optional<std::string>& Base::service_status() const { return settings_.service_status; }
void Base::service_status(const std::optional<std::string>& v) { settings_.service_status = v; }

norvik::Logger& Base::logger() {
    if (!logger_) logger_ = norvik::Logger::create();
    return *logger_;
}

std::shared_ptr<const config::NkConf> Base::nkconf() {
    if (!nkconf_) nkconf_ = config::loadnkconf_not_copy();
    return nkconf_;
}

std::string Base::systemd_unit() {
    backend::Manager& m = service_manager();
    return m.has_service_via_systemd() ? m.service() : std::string();
}

std::string Base::init_script() {
    auto* initd = dynamic_cast<backend::Initd*>(&service_manager());
    return initd ? initd->init_script() : std::string();
}

int Base::lock_fd() {
    auto* l = lock();
    return l && l->is_held() ? l->fd() : -1;
}

std::unique_ptr<service::Lock> Base::_build_lock() {
    if (request_.started_by_init || ::geteuid() != 0) return nullptr;
    std::string name = settings_.service && !settings_.service->empty() ? *settings_.service : PLACEHOLDER_LOCK_NAME;
    if (!request_.is_query()) return service::Lock::create(name);
    // A query changes nothing: it never waits behind a restart, it answers
    // with what it sees and says that a restart is under way.
    try {
        restart_under_way_ = service::Lock::is_held_elsewhere(name);
    } catch (const service::LockError& e) {
        // On a tree where the lock file cannot be made (read-only, say) it
        // still answers.
        std::string text = e.text() + "; answering without the restart lock.";
        bool on_stderr = false;
        try {
            logger().warn(text);
            on_stderr = logger().usingstderr();  // its log is on the same tree
        } catch (const std::exception&) {}
        if (!on_stderr) std::fprintf(stderr, "warning: %s\n", text.c_str());
    }
    return nullptr;
}
service::Lock* Base::lock() {
    if (!lock_built_) {
        lock_ = _build_lock();
        lock_built_ = true;
    }
    return lock_.get();
}
void Base::lock(std::unique_ptr<service::Lock> v) {
    lock_ = std::move(v);
    lock_built_ = true;
}

bool Base::_build_is_enabled() {
    // The installed test cannot see the back end from below; lend it ours.
    services::ScopedBackendProbe probe([this](const std::string& name) {
        if (name != service()) return false;
        try {
            return service_manager().has_service_via_systemd() || initd::has_service_via_initd(service_name());
        } catch (const std::exception&) {
            return false;
        }
    });
    return services::is_enabled(service()).value_or(true);
}
bool Base::is_enabled() {
    if (!settings_.is_enabled) settings_.is_enabled = _build_is_enabled();
    return *settings_.is_enabled;
}
void Base::is_enabled(bool v) { settings_.is_enabled = v; }
int Base::verbose() { return settings_.verbose.value_or(0); }
void Base::verbose(int v) { settings_.verbose = v; }
int Base::startup_timeout() { return settings_.startup_timeout.value_or(10); }
int Base::init_script_timeout() const { return settings_.startup_timeout.value_or(INIT_SCRIPT_TIMEOUT); }
bool Base::support_reload() { return settings_.support_reload.value_or(false); }
bool Base::graceful_by_default() { return settings_.graceful_by_default.value_or(true); }
void Base::graceful_by_default(bool v) { settings_.graceful_by_default = v; }
bool Base::is_configured() { return settings_.is_configured.value_or(true); }
void Base::is_configured(bool v) { settings_.is_configured = v; }
std::string Base::not_configured_reason() const { return settings_.not_configured_reason.value_or(""); }
void Base::not_configured_reason(const std::string& v) { settings_.not_configured_reason = v; }
bool Base::can_check_service_status() { return settings_.can_check_service_status.value_or(true); }
void Base::can_check_service_status(bool v) { settings_.can_check_service_status = v; }
bool Base::block_fresh_install() { return settings_.block_fresh_install.value_or(false); }
void Base::block_fresh_install(bool v) { settings_.block_fresh_install = v; }
bool Base::call_with_force() { return settings_.call_with_force.value_or(false); }
void Base::call_with_force(bool v) { settings_.call_with_force = v; }
bool Base::disable_output_partial() { return settings_.disable_output_partial.value_or(false); }
void Base::disable_output_partial(bool v) { settings_.disable_output_partial = v; }
bool Base::_pretend_not_called_from_restart() { return settings_.pretend_not_called_from_restart.value_or(false); }
void Base::_pretend_not_called_from_restart(bool v) { settings_.pretend_not_called_from_restart = v; }
std::string Base::command_line_regex() const { return settings_.command_line_regex.value_or(""); }
bool Base::has_single_pid() const { return settings_.has_single_pid.value_or(true); }
bool Base::is_norvik_service() const { return settings_.is_norvik_service.value_or(false); }
const std::string& Base::processowner() const {
    static const std::string none;
    return settings_.processowner ? *settings_.processowner : none;
}
void Base::processowner(const std::string& v) { settings_.processowner = v; }
std::string Base::pidfile() const { return settings_.pidfile.value_or(""); }
void Base::pidfile(const std::string& v) { settings_.pidfile = v; }
std::string Base::pid_exe() const { return settings_.pid_exe.value_or(""); }
void Base::pid_exe(const std::string& v) { settings_.pid_exe = v; }
proc::Identity Base::pidfile_identity() { return {service_name(), service_binary(), processowner(), pid_exe()}; }
const std::vector<int>& Base::ports() const {
    static const std::vector<int> none;
    return settings_.ports ? *settings_.ports : none;
}
void Base::ports(const std::vector<int>& v) { settings_.ports = v; }
const std::vector<std::string>& Base::doomed_rules() const {
    static const std::vector<std::string> none;
    return settings_.doomed_rules ? *settings_.doomed_rules : none;
}
void Base::doomed_rules(const std::vector<std::string>& v) { settings_.doomed_rules = v; }
const std::vector<std::string>& Base::shares_daemon_with() const {
    static const std::vector<std::string> none;
    return settings_.shares_daemon_with ? *settings_.shares_daemon_with : none;
}
void Base::shares_daemon_with(const std::vector<std::string>& v) { settings_.shares_daemon_with = v; }
std::optional<int> Base::restart_attempts() const { return settings_.restart_attempts; }
void Base::restart_attempts(std::optional<int> v) { settings_.restart_attempts = v; }
std::optional<int> Base::current_restart_attempt() const { return settings_.current_restart_attempt; }
void Base::current_restart_attempt(std::optional<int> v) { settings_.current_restart_attempt = v; }
const std::vector<std::string>& Base::startup_args() const {
    static const std::vector<std::string> none;
    return settings_.startup_args ? *settings_.startup_args : none;
}
void Base::startup_args(const std::vector<std::string>& v) { settings_.startup_args = v; }
const std::vector<std::string>& Base::restart_args() const {
    static const std::vector<std::string> none;
    return settings_.restart_args ? *settings_.restart_args : none;
}
void Base::restart_args(const std::vector<std::string>& v) { settings_.restart_args = v; }
const std::vector<std::string>& Base::shutdown_args() const {
    static const std::vector<std::string> none;
    return settings_.shutdown_args ? *settings_.shutdown_args : none;
}
void Base::shutdown_args(const std::vector<std::string>& v) { settings_.shutdown_args = v; }

norvik::Output& Base::output_obj() {
    if (!output_obj_) output_obj_ = output::output_for(request_.json_lines, false);
    return *output_obj_;
}
void Base::set_output_obj(std::shared_ptr<norvik::Output> o) { output_obj_ = std::move(o); }

// ---- messages ----------------------------------------------------------------

void Base::output(const std::string& text) { output_obj().out(text, output::SOURCE_LOCAL, output::COMPLETE_MESSAGE); }

void Base::output_partial(const std::string& text) {
    if (disable_output_partial()) return;
    output_obj().out(text, output::SOURCE_LOCAL, output::PARTIAL_MESSAGE);
}

bool Base::is_debug_enabled() { return verbose() == 2; }

void Base::debug(const std::vector<std::string>& parts) {
    if (!is_debug_enabled()) return;
    double now = foundation::hires_time();
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
void Base::generate_stop_exception(const nlohmann::json& p) { raise_service_exception(services::STOP_ERROR, p); }
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
void Base::_generate_not_installed_exception(const nlohmann::json& p) {
    raise_service_exception(services::NOT_INSTALLED, p);
}
void Base::generate_config_test_exception(const nlohmann::json& p) {
    nlohmann::json q = p;
    q["output"] = last_hook_output_;
    raise_service_exception(services::CONFIG_TEST_FAILED, q);
}
void Base::_generate_binary_not_found_exception(const nlohmann::json& p) {
    raise_service_exception(services::BINARY_NOT_FOUND, p);
}
std::shared_ptr<norvik::Exception> Base::_no_roles_exception() {
    services::register_service_exceptions();
    return exception::create(services::NOT_ALLOWED_BY_ROLES, nlohmann::json{{"service", service_name()}});
}

}  // namespace norvik::service
