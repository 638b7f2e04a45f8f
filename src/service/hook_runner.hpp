// How a definition's hooks and custom actions are run: an argument list,
// never through a shell, with a time limit.
#pragma once

#include <string>
#include <vector>

namespace norvik::service {

// Runs an argument list for 300 s at most; returns the wait status, -1 when
// it could not be run, TIMED_OUT when it hit the limit (it and what it left
// behind in its process group are then ended). Output is captured into
// out/err when given.
inline constexpr int TIMED_OUT = -2;
inline constexpr double RUN_ARGV_TIMEOUT = 300;
void set_run_argv_timeout_for_testing(double seconds);
int run_argv(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);

}  // namespace norvik::service
