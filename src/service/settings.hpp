// A service's settings: what its definition, the factory and the caller
// set, by attribute name. Unset ones read as nothing; the service object
// gives each its default where it reads it.
//
// Adding one: a line here and a line in the reader table (settings.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik::service {

struct Settings {
    std::optional<std::string> service;
    std::optional<std::string> service_override;
    std::optional<std::string> service_binary;
    std::optional<std::vector<std::string>> service_package;
    std::optional<std::string> service_to_suspend;
    std::optional<int> suspend_time;
    std::optional<std::string> service_argv_action;
    std::optional<std::string> service_status;
    std::optional<bool> is_enabled;
    std::optional<int> verbose;
    std::optional<int> startup_timeout;
    std::optional<bool> support_reload;
    std::optional<bool> graceful_by_default;
    std::optional<bool> is_configured;
    std::optional<std::string> not_configured_reason;
    std::optional<bool> can_check_service_status;
    std::optional<bool> block_fresh_install;
    std::optional<bool> call_with_force;
    std::optional<bool> disable_output_partial;
    std::optional<bool> pretend_not_called_from_restart;
    std::optional<std::string> command_line_regex;
    std::optional<bool> has_single_pid;
    std::optional<bool> is_norvik_service;
    std::optional<std::string> processowner;
    std::optional<std::string> pidfile;
    std::optional<std::string> pid_exe;
    std::optional<std::vector<int>> ports;
    std::optional<std::vector<std::string>> doomed_rules;
    std::optional<std::vector<std::string>> shares_daemon_with;
    std::optional<int> restart_attempts;
    std::optional<int> current_restart_attempt;
    std::optional<std::vector<std::string>> startup_args;
    std::optional<std::vector<std::string>> restart_args;
    std::optional<std::vector<std::string>> shutdown_args;
    std::optional<bool> is_graceful_restart_enabled;
};

// True when `name` is a setting.
bool is_setting(const std::string& name);
// True when `value` is of the kind the setting `name` takes.
bool setting_accepts(const std::string& name, const nlohmann::json& value);
// The kind a setting's value must be ("a text", "an integer"...).
std::string setting_kind(const std::string& name);
// Stores `value` (of the kind it takes: check with setting_accepts) into
// the setting `name`; an unknown name is ignored.
void read_setting(Settings& settings, const std::string& name, const nlohmann::json& value);

}  // namespace norvik::service
