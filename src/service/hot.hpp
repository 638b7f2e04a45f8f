// A service object for daemons that restart themselves in place on SIGUSR1
// and then rewrite their PID file.
#pragma once

#include "proc/pid.hpp"
#include "service/service.hpp"

namespace norvik::service {

class Hot : public Base {
public:
    explicit Hot(const nlohmann::json& opts = nlohmann::json::object());

    std::string class_name() const override;

    bool is_graceful_restart_enabled() const { return is_graceful_restart_enabled_; }  // rw, 1
    void is_graceful_restart_enabled(bool v) { is_graceful_restart_enabled_ = v; }

    bool has_restart_gracefully() const override { return true; }
    // 1 when the daemon rewrote its PID file after the signal, else 0.
    bool restart_gracefully() override;

    // The pid in the PID file, checked and read through one descriptor; 0
    // (with a warning when the file is not trusted) when there is none.
    pid_t _read_pid_from_pidfile();
    // Number of processes SIGUSR1 reached (0 or 1).
    bool _send_usr1(const proc::PID& process);
    // True only for the service's own process (see proc::foreign_reason);
    // warns naming the PID file otherwise.
    bool pid_is_ours(pid_t pid);

    // Pass count and pass length of the wait for the rewrite.
    static constexpr int GRACEFUL_PASSES = 600;
    static constexpr double GRACEFUL_PASS_SECONDS = 0.025;

protected:
    void apply_option(const std::string& name, const nlohmann::json& value) override;

private:
    bool is_graceful_restart_enabled_ = true;
};

}  // namespace norvik::service
