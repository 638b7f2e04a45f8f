// The plain-function front the foundation uses for its own diagnostics; all
// calls go to one shared logger. errno is preserved across every call.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "log/logger.hpp"

namespace norvik::log {

// The front's logger: made on first use with Logger::create().
Logger& logger();
void set_logger(std::shared_ptr<Logger> lg);

int log_error(const std::string& text);
int log_warn(const std::string& text);
int log_warn_no_backtrace(const std::string& text);
int log_invalid(const std::string& text);
int log_deprecated(const std::string& text);
int log_info(const std::string& text);
int log_debug(const std::string& text);
[[noreturn]] void log_panic(const std::string& text);
[[noreturn]] void log_die(const std::string& text);

// The process-wide debug level (unset by default).
std::optional<int> debug_level();
std::optional<int> debug_level(int level);
void clear_debug_level();

// Sends the foundation's warnings to this front's logger (the entry does
// this at start).
void route_foundation_diagnostics();

}  // namespace norvik::log
