// The seam between the service object and the two back ends that really
// start and stop a service (systemd through systemctl, or the service's init
// script). Both back ends derive from Manager; operations that only one of
// them offers are announced through has_<operation>() so the service object
// can ask before it calls, the way it asks a per-service class for a hook.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "proc/pid_file.hpp"

namespace norvik {
class Output;
}

#include "systemd/unit_record.hpp"

namespace norvik::backend {

// What a back end asks of the service it drives: its settings, its voice,
// and the one action it may ask for. The service object is one; a back end
// never reaches further into it.
class ManagedService {
public:
    virtual ~ManagedService() = default;

    virtual const std::string& service_name() = 0;
    virtual std::string pidfile() const = 0;
    virtual proc::Identity pidfile_identity() = 0;
    virtual bool has_single_pid() const = 0;
    virtual const std::string& service_binary() = 0;
    virtual bool is_norvik_service() const = 0;
    virtual const std::string& processowner() const = 0;
    virtual int init_script_timeout() const = 0;
    virtual const std::vector<std::string>& doomed_rules() const = 0;
    virtual const std::vector<std::string>& startup_args() const = 0;
    virtual const std::vector<std::string>& restart_args() const = 0;
    virtual const std::vector<std::string>& shutdown_args() const = 0;

    // What the run is doing ("STOP", "RESTART"...), and how much it says.
    virtual const std::string& service_argv_action() = 0;
    virtual int verbose() = 0;
    virtual bool is_debug_enabled() = 0;

    virtual void debug(const std::string& text) = 0;
    virtual void info(const std::string& text) = 0;
    virtual void warn(const std::string& text) = 0;
    virtual norvik::Output& output_obj() = 0;

    // Ends whatever holds the service's ports (not the given addresses).
    virtual bool kill_apps_on_ports(const std::vector<std::string>& exclude_ips = {}, bool for_start = false) = 0;
};

using UnitRecord = systemd::UnitRecord;

class Manager {
public:
    virtual ~Manager() = default;

    // "Systemd" or "Initd", for debug lines.
    virtual std::string kind() const = 0;
    // The name the back end was built with (unit name or service name).
    virtual std::string service() const = 0;

    // Always offered by both back ends.
    virtual bool start(ManagedService& srv) = 0;
    virtual bool stop(ManagedService& srv) = 0;
    virtual bool reload(ManagedService& srv) = 0;
    virtual bool has_reload() const { return true; }
    // True when the program itself was started by the init system; stop()
    // of the service object then always goes to the back end.
    virtual bool this_process_was_executed_by_systemd() const = 0;

    // Optional operations: the default answers mean "not offered".
    virtual bool has_restart() const { return false; }
    virtual bool restart(ManagedService& /*srv*/) { throw std::logic_error("back end has no restart"); }

    virtual bool has_restart_attempt() const { return false; }
    virtual int restart_attempt(ManagedService& /*srv*/, int /*attempt*/) { return 1; }

    virtual bool has_status_helper() const { return false; }
    virtual std::string status_helper(ManagedService& /*srv*/) { return {}; }

    virtual bool has_check() const { return false; }
    virtual int check(ManagedService& /*srv*/, const std::string& /*status_text*/) { return 1; }

    // The last word on whether the service runs when the process checks
    // found nothing: a status text, or "" (not running, or cannot tell).
    virtual std::string status_fallback(ManagedService& /*srv*/) { return {}; }

    // Why the back end refuses to start, restart or reload the service (a
    // masked unit), or "" when it does not. Asked before anything is stopped.
    virtual std::string refuses_to_start(ManagedService& /*srv*/) { return {}; }

    // Whether waiting for the service to come up after this run's start is
    // pointless: the back end knows the start failed.
    virtual bool start_gave_up(ManagedService& /*srv*/) { return false; }

    virtual bool has_is_up() const { return false; }
    virtual bool is_up(ManagedService& /*srv*/, const std::string& /*via*/) { return false; }

    // The unit record taken when the systemd back end was built; only that
    // back end has one.
    virtual bool has_service_via_systemd() const { return false; }
    virtual const UnitRecord& service_via_systemd() const { throw std::logic_error("back end has no unit record"); }
};

}  // namespace norvik::backend
