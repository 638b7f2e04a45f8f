#include "services/dormant.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/service_name.hpp"
#include "log/debug.hpp"

namespace norvik::services {
namespace {

bool exists(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
}

const std::map<std::string, double>& default_delay_minutes() {
    static const std::map<std::string, double> t = {{"default", 10}, {"nkdavd", 10}, {"nklogtaild", 30}};
    return t;
}

const std::map<std::string, int64_t>& default_idle_timeout() {
    static const std::map<std::string, int64_t> t = {{"default", 1800}, {"nkdavd", 3600}};
    return t;
}

template <class M>
auto lookup(const M& m, const std::string& key) {
    auto it = m.find(key);
    return it != m.end() ? it->second : m.at("default");
}

}  // namespace

std::string Dormant::DORMANT_SERVICES_DIR() { return foundation::dormant_services_dir(); }

Dormant::Dormant(const std::string& service, std::optional<int64_t> minimum_idle_timeout) : service_(service) {
    if (service.empty()) throw PlainError("Dormant: a service is required.");
    if (!foundation::is_valid_service_name(service))
        throw PlainError("Dormant: the service name “" + service + "” is not valid.");
    enable_file_ = DORMANT_SERVICES_DIR() + "/" + service + ENABLE_SUFFIX;
    last_connection_ = static_cast<int64_t>(std::time(nullptr));
    if (minimum_idle_timeout) reconcile(*minimum_idle_timeout);
    if (exists(DORMANT_SERVICES_DIR() + "/" + TEST_MODE_FILE)) {
        idle_timeout_ = 5;
        dormant_in_n_minutes_ = 0.25;
    }
    can_go_dormant_ = exists(enable_file_);
}

void Dormant::got_an_active_connection() { last_connection_ = static_cast<int64_t>(std::time(nullptr)); }

int64_t Dormant::idle_timeout() {
    if (!idle_timeout_) idle_timeout_ = lookup(default_idle_timeout(), service_);
    return *idle_timeout_;
}

double Dormant::go_dormant_in_n_minutes() {
    if (dormant_in_n_minutes_) return *dormant_in_n_minutes_;
    double minutes = lookup(default_delay_minutes(), service_);
    if (exists(enable_file_)) {
        std::ifstream in(enable_file_);
        if (!in) throw PlainError("Dormant: the system failed to open “" + enable_file_ + "”: " + std::strerror(errno));
        std::string line;
        std::getline(in, line);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        double v = std::strtod(line.c_str(), nullptr);
        if (line.empty() || v == 0) v = 1;
        if (v > 1) minutes = v - 1;
    }
    dormant_in_n_minutes_ = minutes;
    return minutes;
}

bool Dormant::reconcile(int64_t minimum_idle_timeout) {
    const double delay = go_dormant_in_n_minutes();
    if (static_cast<double>(minimum_idle_timeout) > delay * 60) {
        const double new_delay = static_cast<double>(minimum_idle_timeout) / 60.0;
        log::log_warn("The dormant delay of “" + service_ + "” was raised from " + std::to_string(delay) + " to " +
                      std::to_string(new_delay) + " minutes to cover the minimum idle time-out.");
        dormant_in_n_minutes_ = new_delay;
        return false;
    }
    return true;
}

bool Dormant::should_go_dormant() {
    if (!can_go_dormant_) return false;
    const auto idle = static_cast<double>(static_cast<int64_t>(std::time(nullptr)) - last_connection_);
    return idle >= go_dormant_in_n_minutes() * 60;
}

}  // namespace norvik::services
