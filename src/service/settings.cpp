#include "service/settings.hpp"

#include <map>
#include <variant>

namespace norvik::service {

namespace {

enum class Kind { Text, Bool, Int, TextList, IntList, TextOrList };

using Field = std::variant<std::optional<std::string> Settings::*, std::optional<bool> Settings::*,
                           std::optional<int> Settings::*, std::optional<std::vector<std::string>> Settings::*,
                           std::optional<std::vector<int>> Settings::*>;

struct Reader {
    Kind kind;
    Field field;
};

const std::map<std::string, Reader>& readers() {
    static const std::map<std::string, Reader> table = {
        {"service", {Kind::Text, &Settings::service}},
        {"service_override", {Kind::Text, &Settings::service_override}},
        {"service_binary", {Kind::Text, &Settings::service_binary}},
        {"service_package", {Kind::TextOrList, &Settings::service_package}},
        {"service_to_suspend", {Kind::Text, &Settings::service_to_suspend}},
        {"suspend_time", {Kind::Int, &Settings::suspend_time}},
        {"service_argv_action", {Kind::Text, &Settings::service_argv_action}},
        {"service_status", {Kind::Text, &Settings::service_status}},
        {"is_enabled", {Kind::Bool, &Settings::is_enabled}},
        {"verbose", {Kind::Int, &Settings::verbose}},
        {"startup_timeout", {Kind::Int, &Settings::startup_timeout}},
        {"support_reload", {Kind::Bool, &Settings::support_reload}},
        {"graceful_by_default", {Kind::Bool, &Settings::graceful_by_default}},
        {"is_configured", {Kind::Bool, &Settings::is_configured}},
        {"not_configured_reason", {Kind::Text, &Settings::not_configured_reason}},
        {"can_check_service_status", {Kind::Bool, &Settings::can_check_service_status}},
        {"block_fresh_install", {Kind::Bool, &Settings::block_fresh_install}},
        {"call_with_force", {Kind::Bool, &Settings::call_with_force}},
        {"disable_output_partial", {Kind::Bool, &Settings::disable_output_partial}},
        {"_pretend_not_called_from_restart", {Kind::Bool, &Settings::pretend_not_called_from_restart}},
        {"command_line_regex", {Kind::Text, &Settings::command_line_regex}},
        {"has_single_pid", {Kind::Bool, &Settings::has_single_pid}},
        {"is_norvik_service", {Kind::Bool, &Settings::is_norvik_service}},
        {"processowner", {Kind::Text, &Settings::processowner}},
        {"pidfile", {Kind::Text, &Settings::pidfile}},
        {"pid_exe", {Kind::Text, &Settings::pid_exe}},
        {"ports", {Kind::IntList, &Settings::ports}},
        {"doomed_rules", {Kind::TextList, &Settings::doomed_rules}},
        {"shares_daemon_with", {Kind::TextList, &Settings::shares_daemon_with}},
        {"restart_attempts", {Kind::Int, &Settings::restart_attempts}},
        {"current_restart_attempt", {Kind::Int, &Settings::current_restart_attempt}},
        {"startup_args", {Kind::TextList, &Settings::startup_args}},
        {"restart_args", {Kind::TextList, &Settings::restart_args}},
        {"shutdown_args", {Kind::TextList, &Settings::shutdown_args}},
        {"is_graceful_restart_enabled", {Kind::Bool, &Settings::is_graceful_restart_enabled}},
    };
    return table;
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Text:
            return "a text";
        case Kind::Bool:
            return "a boolean (true/false or 0/1)";
        case Kind::Int:
            return "an integer";
        case Kind::TextList:
            return "a list of texts";
        case Kind::IntList:
            return "a list of integers";
        case Kind::TextOrList:
            return "a text or a list of texts";
    }
    return "?";
}

bool kind_matches(Kind k, const nlohmann::json& v) {
    auto all = [&](auto pred) {
        if (!v.is_array()) return false;
        for (const auto& e : v)
            if (!pred(e)) return false;
        return true;
    };
    switch (k) {
        case Kind::Text:
            return v.is_string();
        case Kind::Bool:
            return v.is_boolean() || (v.is_number_integer() && (v.get<long>() == 0 || v.get<long>() == 1));
        case Kind::Int:
            return v.is_number_integer();
        case Kind::TextList:
            return all([](const nlohmann::json& e) { return e.is_string(); });
        case Kind::IntList:
            return all([](const nlohmann::json& e) { return e.is_number_integer(); });
        case Kind::TextOrList:
            return v.is_string() || all([](const nlohmann::json& e) { return e.is_string(); });
    }
    return false;
}

std::vector<std::string> as_texts(const nlohmann::json& v) {
    if (v.is_string()) return {v.get<std::string>()};
    std::vector<std::string> out;
    for (const auto& e : v) out.push_back(e.get<std::string>());
    return out;
}

}  // namespace

bool is_setting(const std::string& name) { return readers().count(name) != 0; }

std::string setting_kind(const std::string& name) {
    auto it = readers().find(name);
    return it == readers().end() ? std::string() : kind_name(it->second.kind);
}

bool setting_accepts(const std::string& name, const nlohmann::json& value) {
    auto it = readers().find(name);
    return it != readers().end() && kind_matches(it->second.kind, value);
}

void read_setting(Settings& settings, const std::string& name, const nlohmann::json& v) {
    auto it = readers().find(name);
    if (it == readers().end()) return;
    std::visit(
        [&](auto member) {
            using T = typename std::remove_reference_t<decltype(settings.*member)>::value_type;
            if constexpr (std::is_same_v<T, bool>)
                settings.*member = v.is_boolean() ? v.get<bool>() : v.get<long>() != 0;
            else if constexpr (std::is_same_v<T, std::vector<std::string>>) settings.*member = as_texts(v);
            else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, int> ||
                               std::is_same_v<T, std::vector<int>>)
                settings.*member = v.get<T>();
            else static_assert(!std::is_same_v<T, T>, "a setting of a kind without a reader");
        },
        it->second.field);
}

}  // namespace norvik::service
