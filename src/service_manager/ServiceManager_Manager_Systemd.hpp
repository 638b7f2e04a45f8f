// The back end for services that systemd knows as units: start, stop and
// reload through systemctl, running state from systemd's view plus the
// process checks, left-over processes killed before the first retry.
#pragma once

#include <string>

#include "service_manager/ServiceManager_Manager.hpp"

namespace norvik::servicemanager::manager {

class Systemd : public norvik::servicemanager::Manager {
public:
    static constexpr const char* STOP_TYPE = "service";
    static constexpr const char* CHECK_METHOD = "systemd";

    // unit: the unit name without ".service"; record: has_service_via_systemd's
    // answer, kept unchanged. Raises a PlainError when the parent is process 1.
    Systemd(std::string unit, UnitRecord record);

    // The fixed path of systemctl.
    static std::string gl_systemctl_binary();

    std::string kind() const override { return "Systemd"; }
    std::string service() const override { return service_; }
    void service(const std::string& v) { service_ = v; }

    bool start(Base& srv) override;
    bool stop(Base& srv) override { return stop(srv, STOP_TYPE); }
    bool stop(Base& srv, const std::string& type);
    bool reload(Base& srv) override;
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    void this_process_was_executed_by_systemd(bool v) { executed_by_systemd_ = v; }

    bool has_restart_attempt() const override { return true; }
    int restart_attempt(Base& srv, int attempt) override;
    bool has_status_helper() const override { return true; }
    std::string status_helper(Base& srv) override;
    bool is_active(Base& srv);

    bool has_service_via_systemd() const override { return true; }
    const UnitRecord& service_via_systemd() const override { return record_; }
    void service_via_systemd(const UnitRecord& r) { record_ = r; }

    // True when systemctl reports the unit active.
    static bool _systemctl_is_active(const std::string& unit);

    // Test hook: the pause between is-active re-checks (default 1 s).
    static void set_recheck_sleep_for_testing(double seconds);

private:
    void BUILD();

    std::string service_;
    UnitRecord record_;
    bool executed_by_systemd_ = false;
};

}  // namespace norvik::servicemanager::manager
