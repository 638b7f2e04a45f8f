// The back end for services that systemd knows as units: start, stop and
// reload through systemctl, running state from systemd's view plus the
// process checks, left-over processes killed before the first retry.
//
// The unit's state is asked for once per change: the record taken when the
// back end was built serves until a job runs, and one `show` after each job
// (or after each "not running" answer while a caller waits) gives the next.
#pragma once

#include <string>
#include <vector>

#include "backend/backend.hpp"

namespace norvik::backend {

class Systemd : public norvik::backend::Manager {
public:
    static constexpr const char* STOP_TYPE = "service";
    static constexpr const char* CHECK_METHOD = "systemd";

    // unit: the unit name without ".service"; record: has_service_via_systemd's
    // answer, kept unchanged. Raises a PlainError when the parent is process 1.
    // A run the init system started never drives systemd: it is the unit.
    Systemd(std::string unit, UnitRecord record, bool started_by_init = false);

    std::string kind() const override { return "Systemd"; }
    std::string service() const override { return service_; }

    bool start(ManagedService& srv) override;
    bool stop(ManagedService& srv) override { return stop(srv, STOP_TYPE); }
    bool stop(ManagedService& srv, const std::string& type);
    bool reload(ManagedService& srv) override;
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    void this_process_was_executed_by_systemd(bool v) { executed_by_systemd_ = v; }

    bool has_restart_attempt() const override { return true; }
    int restart_attempt(ManagedService& srv, int attempt) override;
    bool has_status_helper() const override { return true; }
    std::string status_helper(ManagedService& srv) override;
    // After this run's own start job: systemd gave the unit up (failed,
    // stopped again, or waiting to restart after a failure).
    bool start_gave_up(ManagedService& srv) override;
    // A masked unit is never started, restarted or reloaded.
    std::string refuses_to_start(ManagedService& srv) override;

    bool has_service_via_systemd() const override { return true; }
    const UnitRecord& service_via_systemd() const override { return record_; }

private:
    // The unit's current record: the kept one, or a fresh `show`.
    UnitRecord live_record();
    // Runs a job (start, stop, reload...) under the service's time limit;
    // past it the job is cancelled and the error says how the unit is left.
    bool run_job(ManagedService& srv, const std::vector<std::string>& args, std::string* said);

    std::string service_;
    UnitRecord record_;
    bool executed_by_systemd_ = false;
    bool started_ = false;
    double started_at_ = 0;  // when this run's start job ended (monotonic)
    UnitRecord last_seen_;
};

}  // namespace norvik::backend
