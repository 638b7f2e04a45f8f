// The seam between the service object and the two back ends that really
// start and stop a service (systemd through systemctl, or the service's init
// script). Both back ends derive from Manager; operations that only one of
// them offers are announced through has_<operation>() so the service object
// can ask before it calls, the way it asks a per-service class for a hook.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

#include "systemd/unit_record.hpp"

namespace norvik::servicemanager {

class Base;

using UnitRecord = systemd::UnitRecord;

class Manager {
public:
    virtual ~Manager() = default;

    // "Systemd" or "Initd", for debug lines.
    virtual std::string kind() const = 0;
    // The name the back end was built with (unit name or service name).
    virtual std::string service() const = 0;

    // Always offered by both back ends.
    virtual bool start(Base& srv) = 0;
    virtual bool stop(Base& srv) = 0;
    virtual bool reload(Base& srv) = 0;
    virtual bool has_reload() const { return true; }
    // True when the program itself was started by the init system; stop()
    // of the service object then always goes to the back end.
    virtual bool this_process_was_executed_by_systemd() const = 0;

    // Optional operations: the default answers mean "not offered".
    virtual bool has_restart() const { return false; }
    virtual bool restart(Base& /*srv*/) { throw std::logic_error("back end has no restart"); }

    virtual bool has_restart_attempt() const { return false; }
    virtual int restart_attempt(Base& /*srv*/, int /*attempt*/) { return 1; }

    virtual bool has_status_helper() const { return false; }
    virtual std::string status_helper(Base& /*srv*/) { return {}; }

    virtual bool has_check() const { return false; }
    virtual int check(Base& /*srv*/, const std::string& /*status_text*/) { return 1; }

    // The last word on whether the service runs when the process checks
    // found nothing: a status text, or "" (not running, or cannot tell).
    virtual std::string status_fallback(Base& /*srv*/) { return {}; }

    // Why the back end refuses to start, restart or reload the service (a
    // masked unit), or "" when it does not. Asked before anything is stopped.
    virtual std::string refuses_to_start(Base& /*srv*/) { return {}; }

    // Whether waiting for the service to come up after this run's start is
    // pointless: the back end knows the start failed.
    virtual bool start_gave_up(Base& /*srv*/) { return false; }

    virtual bool has_is_up() const { return false; }
    virtual bool is_up(Base& /*srv*/, const std::string& /*via*/) { return false; }

    // The unit record taken when the systemd back end was built; only that
    // back end has one.
    virtual bool has_service_via_systemd() const { return false; }
    virtual const UnitRecord& service_via_systemd() const {
        throw std::logic_error("back end has no unit record");
    }
};

}  // namespace norvik::servicemanager
