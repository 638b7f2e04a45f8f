// Building the IO::* exceptions the file helpers raise: a readable message
// plus the named params callers may inspect ("path", "error", "errno"...).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exception/exception.hpp"

namespace norvik::foundation {

// errno's text.
std::string error_text(int err);

// The exception `type` with the message template/args and the params set;
// `err` (when non-zero) adds "error" and "errno".
ExceptionPtr make_io_error(const std::string& type, const std::string& message_template,
                           const std::vector<std::string>& args, const nlohmann::json& params, int err);
[[noreturn]] void raise_io_error(const std::string& type, const std::string& message_template,
                                 const std::vector<std::string>& args, const nlohmann::json& params, int err);

}  // namespace norvik::foundation
