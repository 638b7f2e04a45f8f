// Settings of a service that may go dormant (stop itself after a period
// without connections). The enable file is
// <dormant_services_dir>/<service>.dormant; its first line may set the delay
// in minutes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace norvik::services {

class Dormant {
public:
    static constexpr const char* ENABLE_SUFFIX = ".dormant";
    static constexpr const char* TEST_MODE_FILE = "test_mode";

    // Raises PlainError when service is empty or not a valid service name.
    explicit Dormant(const std::string& service, std::optional<int64_t> minimum_idle_timeout = std::nullopt);

    static std::string DORMANT_SERVICES_DIR();

    void got_an_active_connection();
    int64_t get_last_connection() const { return last_connection_; }
    bool is_enabled() const { return can_go_dormant_; }
    int64_t idle_timeout();
    // Minutes; may be fractional in test mode.
    double go_dormant_in_n_minutes();
    bool should_go_dormant();

    const std::string& service() const { return service_; }
    const std::string& enable_file() const { return enable_file_; }
    bool can_go_dormant() const { return can_go_dormant_; }

    // True when the delay already covers minimum_idle_timeout, else false
    // (after raising the delay and logging a warning).
    bool reconcile(int64_t minimum_idle_timeout);

private:
    std::string service_;
    std::string enable_file_;
    int64_t last_connection_ = 0;
    bool can_go_dormant_ = false;
    std::optional<int64_t> idle_timeout_;
    std::optional<double> dormant_in_n_minutes_;
};

}  // namespace norvik::services
