// Run a command and take its output: no shell, the caller's standard input,
// the wait status left in norvik::child_status() (-1 when the command could
// not be run at all).
//
//   auto out = norvik::run::saferun({"/usr/bin/id", "-u"});
//   if (out && norvik::child_status() == 0) ...
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvik::run {

// What happens to the command's error output.
enum Flag : int {
    KEEP_STDERR = 0,   // goes where the caller's goes
    MERGE_STDERR = 1,  // captured together with the output
    NULL_STDERR = 2,   // discarded
    NULL_STDOUT = 3,   // only the error output is captured
};

// A one-element command is split at blanks when it holds no shell
// characters, and refused (PlainError with a stack trace) when it does.
std::optional<std::string> saferun(const std::vector<std::string>& command);
std::optional<std::string> saferunallerrors(const std::vector<std::string>& command);
std::optional<std::string> saferunnoerror(const std::vector<std::string>& command);
std::optional<std::string> saferunonlyerrors(const std::vector<std::string>& command);
std::optional<std::string> saferun_r(const std::vector<std::string>& command);

// The output, or nothing when the command could not be run (status -1).
std::optional<std::string> _saferun_r(const std::vector<std::string>& command, int flag);

}  // namespace norvik::run
