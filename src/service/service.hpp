// The service object: one object stands for one managed service for the
// whole run. It carries every attribute the lifecycle operations need, owns
// the back end (systemd or init script), the output object, the logger and
// the per-service restart lock.
//
// Attributes follow one pattern: a std::optional member filled on first read
// by _build_<name>() (lazy default) or by the constructor options. Read-only
// attributes have only the getter; read-write ones also have a one-argument
// setter of the same name. Attributes without a default read as "" / empty
// list / std::nullopt while unset.
//
// Its code is cut along its seams: service.cpp (construction, attributes,
// messages, errors), lifecycle.cpp (what the request asks; restart, start,
// stop, reload), status.cpp (status, check and the waits) and hooks.cpp (a
// definition's hooks and custom actions).
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/nkconf.hpp"
#include "exception/exception.hpp"
#include "proc/pid_file.hpp"
#include "proc/family.hpp"
#include "backend/backend.hpp"
#include "service/request.hpp"
#include "service/settings.hpp"

namespace norvik {
class Logger;
class Output;
namespace service {
class Lock;
}
}  // namespace norvik

namespace norvik::service {

class Definition;

// The unit name of the system's service-name map for `name` ("crond" ->
// "cron" on Debian), else `name` itself.
std::string _get_systemd_name(const std::string& name);

class Base : public backend::ManagedService {
public:
    // Named options: every attribute of the table under its own name (plus
    // the internal "_from_factory" flag). Names that are not attributes are
    // ignored; a value of the wrong type raises a PlainError naming the class
    // and the attribute. The constructor takes nothing else: the factory
    // calls prepare() right after construction.
    explicit Base(const nlohmann::json& opts = nlohmann::json::object());
    // Releases the lock, only in the process that took it.
    virtual ~Base();
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    // Debug line, PATH set (services::setuppath), lock taken.
    virtual void prepare();

    // "Norvik::ServiceManager::Base", "Norvik::ServiceManager::Hot" or
    // "Norvik::ServiceManager::Services::<Suffix>" for a defined service.
    virtual std::string class_name() const;

    // ---- attributes -------------------------------------------------------
    const std::string& service();  // rw, lazy _build_service
    void service(const std::string& v);
    std::string service_override() const;  // rw, none
    void service_override(const std::string& v);
    const std::string& service_name() override;    // ro, lazy: override || service
    const std::string& service_binary() override;  // rw, lazy: Binaries path of lc(service), "" on failure
    void service_binary(const std::string& v);
    const std::vector<std::string>& service_package() const;  // rw, none (one name or several)
    void service_package(const std::vector<std::string>& v);
    backend::Manager& service_manager();  // ro, lazy _build_service_manager
    bool has_service_manager_built() const { return static_cast<bool>(service_manager_); }
    const std::string& service_to_suspend();  // rw, lazy: service
    void service_to_suspend(const std::string& v);
    int suspend_time();  // rw, lazy 600
    void suspend_time(int v);
    const std::string& service_argv_action() override;  // rw, lazy ""
    void service_argv_action(const std::string& v);
    const std::optional<std::string>& service_status() const;  // rw, none
    void service_status(const std::optional<std::string>& v);
    norvik::Logger& logger();                                // ro, lazy new Logger
    std::shared_ptr<const norvik::config::NkConf> nkconf();  // ro, lazy: loadnkconf_not_copy()
    norvik::service::Lock* lock();                           // rw, lazy _build_lock (nullptr = no lock)
    void lock(std::unique_ptr<norvik::service::Lock> v);
    bool is_enabled();  // rw, lazy _build_is_enabled
    void is_enabled(bool v);
    int verbose() override;  // rw, lazy 0 (0, 1, 2)
    void verbose(int v);
    int startup_timeout();  // ro, lazy 10
    // Seconds one init-script call may take: startup_timeout when the
    // service sets one, else INIT_SCRIPT_TIMEOUT.
    static constexpr int INIT_SCRIPT_TIMEOUT = 120;
    int init_script_timeout() const override;
    bool support_reload();       // ro, lazy 0
    bool graceful_by_default();  // rw, lazy 1
    void graceful_by_default(bool v);
    bool is_configured();  // rw, lazy 1
    void is_configured(bool v);
    std::string not_configured_reason() const;  // rw, none
    void not_configured_reason(const std::string& v);
    bool can_check_service_status();  // rw, lazy 1
    void can_check_service_status(bool v);
    bool block_fresh_install();  // rw, lazy 0
    void block_fresh_install(bool v);
    bool call_with_force();  // rw, lazy 0
    void call_with_force(bool v);
    bool disable_output_partial();  // rw, lazy 0
    void disable_output_partial(bool v);
    bool _pretend_not_called_from_restart();  // rw, lazy 0
    void _pretend_not_called_from_restart(bool v);
    pid_t _pid() const { return pid_.value_or(0); }    // ro, at construction: getpid()
    std::string command_line_regex() const;            // ro, none
    bool has_single_pid() const override;              // ro, at construction 1
    bool is_norvik_service() const override;           // ro, none (false)
    const std::string& processowner() const override;  // rw, at construction "root"
    void processowner(const std::string& v);
    std::string pidfile() const override;  // rw, none ("" when unset)
    void pidfile(const std::string& v);
    std::string pid_exe() const;  // rw, none (a regex, searched)
    void pid_exe(const std::string& v);
    // What a PID-file process must be to count as this service's.
    proc::Identity pidfile_identity() override;
    const std::vector<int>& ports() const;  // rw, none
    void ports(const std::vector<int>& v);
    const std::vector<std::string>& doomed_rules() const override;  // rw, none (program names)
    void doomed_rules(const std::vector<std::string>& v);
    // Services served by the same daemon (imap and pop): while one of them is
    // enabled, a restart of this one, disabled, leaves the daemon running.
    const std::vector<std::string>& shares_daemon_with() const;  // rw, none
    void shares_daemon_with(const std::vector<std::string>& v);
    std::optional<int> restart_attempts() const;  // rw, none (treated as 1)
    void restart_attempts(std::optional<int> v);
    std::optional<int> current_restart_attempt() const;  // rw, none
    void current_restart_attempt(std::optional<int> v);
    const std::vector<std::string>& startup_args() const override;  // rw, none
    void startup_args(const std::vector<std::string>& v);
    const std::vector<std::string>& restart_args() const override;  // rw, none
    void restart_args(const std::vector<std::string>& v);
    bool has_restart_args() const { return settings_.restart_args.has_value() && !settings_.restart_args->empty(); }
    const std::vector<std::string>& shutdown_args() const override;  // rw, none
    void shutdown_args(const std::vector<std::string>& v);

    // The output object (set by run(); a terminal one is made on
    // first use when nothing set it).
    norvik::Output& output_obj() override;
    void set_output_obj(std::shared_ptr<norvik::Output> o);

    // ---- messages ---------------------------------------------------------
    void output(const std::string& text);          // out(text, SOURCE_LOCAL, COMPLETE_MESSAGE)
    void output_partial(const std::string& text);  // nothing when disable_output_partial
    bool is_debug_enabled() override;              // verbose == 2
    void debug(const std::vector<std::string>& parts);
    void debug(const std::string& text) override { debug(std::vector<std::string>{text}); }
    void info(const std::vector<std::string>& parts);
    void info(const std::string& text) override { info(std::vector<std::string>{text}); }
    void warn(const std::vector<std::string>& parts);
    void warn(const std::string& text) override { warn(std::vector<std::string>{text}); }

    // ---- dispatch and restart ----------------------------------------------
    // What this run asks: set by the factory before prepare().
    const Request& request() const { return request_; }
    void request(const Request& r) { request_ = r; }
    // Does what the request asks (restart, stop, reload, status or check).
    void run();
    // The unit the back end drives ("" under init.d), the init script it
    // calls ("" under systemd), the restart lock's descriptor while it is
    // held (else -1): what the run's report names.
    std::string systemd_unit();
    std::string init_script();
    int lock_fd();
    // graceful: nullopt = graceful_by_default. False when the restart was
    // given up.
    virtual bool restart(std::optional<bool> graceful = std::nullopt);
    bool _called_from_restart();
    void _exit_if_block_fresh_install();
    bool _service_is_role_aware_and_disabled();
    void _verify_role();
    [[noreturn]] void _exit(int code);

    // ---- status and health -------------------------------------------------
    virtual std::string get_status_string();
    virtual std::string status();  // true text, or raises
    virtual int check();
    // (verdict, message)
    virtual std::pair<int, std::string> check_with_message();
    // Polls the status until it answers (or the back end gives up); true
    // when it did, or when the status cannot be checked at all.
    virtual bool wait_for_service_status(int attempt);
    virtual int check_sanity();
    virtual bool is_up(const std::string& via = "");
    virtual bool is_up_via_pidfile();

    // ---- start, stop, reload -----------------------------------------------
    // True when the service is where the action should leave it.
    virtual bool start();
    virtual bool stop();
    virtual bool reload();
    // Returns false (nothing) when the service has no ports. Ends only the
    // service's own listeners (see proc::Service); for_start also
    // those of unknown bind, after a start that failed.
    bool kill_apps_on_ports(const std::vector<std::string>& exclude_ips = {}, bool for_start = false) override;
    virtual void resetnice();
    virtual void setrlimits();
    virtual void _terminate_orphaned_processes();
    // The live process named by a trusted PID file, when it is the
    // service's own (see pidfile_identity).
    std::optional<pid_t> own_pidfile_process();
    // Whether the service still shows signs of running after a stop: one
    // of `own` (taken before it) lives on, a port is held, or (with
    // ask_status) the status probe finds it.
    bool still_up_after_stop(const std::vector<norvik::proc::Member>& own, bool ask_status);
    // Records where the service's own listeners are bound, while they run.
    void learn_port_binds();

    // ---- exception generators (each raises; none returns) ------------------
    [[noreturn]] void _generate_start_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_restart_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_reload_exception(const nlohmann::json& params);
    [[noreturn]] void generate_stop_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_is_down_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_disabled_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_not_configured_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_not_installed_exception(const nlohmann::json& params);
    [[noreturn]] void _generate_binary_not_found_exception(const nlohmann::json& params);
    // restart_check said no: the exception carries the hook's output.
    [[noreturn]] void generate_config_test_exception(const nlohmann::json& params);
    std::shared_ptr<norvik::Exception> _no_roles_exception();
    nlohmann::json exception_params();  // {"service": service()}

    // ---- optional hooks (a per-service definition supplies them) ----------
    // A hook runs its argument list; exit status 0 means true.
    virtual bool has_start_check() const;
    virtual bool start_check();
    virtual bool has_stop_check() const;
    virtual bool stop_check();
    virtual bool has_restart_check() const;
    virtual bool restart_check();
    virtual bool has_restart_attempt() const;
    virtual bool restart_attempt(int attempt);  // the attempt number is appended
    virtual bool has_pidfile_precheck() const;
    virtual bool pidfile_precheck();
    // The graceful restart (Hot).
    virtual bool has_restart_gracefully() const { return false; }
    virtual bool restart_gracefully() { return false; }
    // Custom actions: word -> the action's method. run_custom_action records
    // the word through service_argv_action beforehand only if the caller did.
    virtual bool has_custom_action(const std::string& word) const;
    virtual void run_custom_action(const std::string& word);

    // The definition this object was made from (nullptr for a plain Base).
    const Definition* definition() const { return definition_.get(); }
    void set_definition(std::shared_ptr<const Definition> d) { definition_ = std::move(d); }

    // The restart context is a call-depth guard held by the base restart().
    class RestartContext {
    public:
        explicit RestartContext(Base& b) : b_(b) { ++b_.restart_depth_; }
        ~RestartContext() { --b_.restart_depth_; }
        RestartContext(const RestartContext&) = delete;
        RestartContext& operator=(const RestartContext&) = delete;

    private:
        Base& b_;
    };

protected:
    // Lazy builders.
    virtual std::string _build_service();
    virtual std::string build_service_binary();
    virtual std::unique_ptr<backend::Manager> _build_service_manager();
    virtual std::unique_ptr<norvik::service::Lock> _build_lock();
    virtual bool _build_is_enabled();

    // Applies named options to the attributes (used by the constructor and
    // by subclasses for their own extra attributes).
    virtual void apply_option(const std::string& name, const nlohmann::json& value);

    std::optional<std::string> service_name_;
    std::unique_ptr<backend::Manager> service_manager_;
    Request request_;
    Settings settings_;
    std::shared_ptr<norvik::Logger> logger_;
    std::shared_ptr<const norvik::config::NkConf> nkconf_;
    bool lock_built_ = false;
    std::unique_ptr<norvik::service::Lock> lock_;
    bool restart_under_way_ = false;  // a query found the lock held
    std::optional<pid_t> pid_;
    // port -> the addresses this run saw the service listen on.
    std::map<int, std::set<std::string>> port_binds_;

    // Fields without accessors.
    std::shared_ptr<norvik::Output> output_obj_;
    std::optional<std::string> last_status_;  // _last_status
    bool verify_role_ = false;                // _verify_role passed

    std::shared_ptr<const Definition> definition_;
    int restart_depth_ = 0;

private:
    bool stop_when_disabled(bool disabled, bool role_off, const nlohmann::json& params);
    bool restart_in_place(std::optional<bool> graceful, const nlohmann::json& params);
    void prepare_start_environment();
    void start_attempts(const nlohmann::json& params);
    void before_start_attempt(int attempt, int ports_known);
    void remove_stale_pidfile(const std::string& pf);
    bool run_hook(const std::string& name, const std::vector<std::string>& extra = {});
    static std::string hook_report(const std::string& program, int status, std::string said);
    std::string last_hook_output_;  // of the latest hook run
};

}  // namespace norvik::service
