// The back end for services systemd does not manage, and for every run the
// init system started: the panel's daemons run from their binary, others
// through their init script or binary, always through the startup log.
// Stopping is layered: command, PID file, process rules, port holders.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "proc/family.hpp"
#include "backend/backend.hpp"

namespace norvik::backend {

class Initd : public norvik::backend::Manager {
public:
    static constexpr const char* START_WORD = "start";
    static constexpr const char* STOP_WORD = "stop";
    static constexpr const char* RELOAD_WORD = "reload";
    static constexpr const char* RESTART_WORD = "restart";
    static constexpr const char* STATUS_WORD = "status";
    // The init script's own status answers (LSB).
    static constexpr int STATUS_RUNNING = 0;
    static constexpr int STATUS_NOT_RUNNING = 3;
    // Seconds the PID stop waits for the process to go.
    static constexpr int PID_STOP_WAIT = 30;

    // executed_by_systemd: stop() always goes to the back end (started by
    // init, or the init script asked for by hand); started_by_init: the
    // parent is process 1.
    explicit Initd(std::string service, bool executed_by_systemd = false, bool started_by_init = false);

    std::string kind() const override { return "Initd"; }
    std::string service() const override { return service_; }
    void service(const std::string& v) { service_ = v; }

    // The service's init script ("" when it has none), found on first read.
    const std::string& init_script();
    void init_script(const std::string& v) { init_script_ = v; }
    bool wipe_startup_log() const { return wipe_startup_log_; }
    void wipe_startup_log(bool v) { wipe_startup_log_ = v; }
    // Set for a run that asked for the init script (--initd): a service
    // that systemd also knows still uses its script.
    bool script_even_for_units() const { return script_even_for_units_; }
    void script_even_for_units(bool v) { script_even_for_units_ = v; }
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    void this_process_was_executed_by_systemd(bool v) { executed_by_systemd_ = v; }

    bool start(ManagedService& srv) override;
    bool stop(ManagedService& srv) override;
    bool reload(ManagedService& srv) override;
    bool has_restart() const override { return true; }
    bool restart(ManagedService& srv) override;
    // For a service whose running state nothing else can tell (no PID
    // file, not one of the panel's daemons): its init script's status.
    std::string status_fallback(ManagedService& srv) override;
    // The start has plainly failed: its command returned, nothing it
    // started still runs, the PID file names no live process, and the init
    // script's status (when it has one) says not running.
    bool start_gave_up(ManagedService& srv) override;

    // The number of layers that stopped something in the last stop().
    int last_stop_successes() const { return last_successes_; }

    // Test hook: the PID stop's wait limit in seconds.
    static void set_pid_stop_wait_for_testing(int seconds);

private:
    // The result code of a waited-for run through the startup log; nothing
    // when the program could not be run at all.
    // A call past the service's init-script time limit has its session
    // ended and counts as failed.
    std::optional<int> run_logged(ManagedService& srv, bool wipe, const std::vector<std::string>& cmd);
    // 1 when the PID stop ended the process.
    int stop_by_pidfile(ManagedService& srv);
    // The init script's own status answer; -1 when it gave none.
    int script_status(ManagedService& srv, std::string* said);

    std::string service_;
    std::optional<std::string> init_script_;
    bool wipe_startup_log_ = true;
    bool executed_by_systemd_ = false;
    bool started_by_init_ = false;
    bool script_even_for_units_ = false;
    int last_successes_ = 0;
    // What the last start left: our descendants before it, whether its
    // command has returned, and when its script's status was last asked.
    std::vector<proc::Member> before_start_;
    bool start_returned_ = false;
    double status_asked_ = 0;
    double scanned_ = 0;
    static constexpr double SCAN_INTERVAL = 0.05;
};

}  // namespace norvik::backend
