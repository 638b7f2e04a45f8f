// The simple runner with a choice of error-output handling; *_lines give the
// output split into lines at "\n". Status in norvik::child_status().
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvik::run {

// As the simple runner's saferunallerrors/-noerror/-onlyerrors, but the
// command is taken as given (one word is never split); names of their own
// keep the two sets from ever being one overload set.
std::optional<std::string> saferunallerrors_text(const std::vector<std::string>& command);
std::optional<std::string> saferunnoerror_text(const std::vector<std::string>& command);
std::optional<std::string> saferunonlyerrors_text(const std::vector<std::string>& command);

// Empty when the command could not be run.
std::vector<std::string> saferunallerrors_lines(const std::vector<std::string>& command);
std::vector<std::string> saferunnoerror_lines(const std::vector<std::string>& command);
std::vector<std::string> saferunonlyerrors_lines(const std::vector<std::string>& command);

// Splits at "\n" (a trailing newline gives no empty last line).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace norvik::run
