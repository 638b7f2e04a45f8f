// Symbolic names of system error numbers and signals from the C library's
// own tables. (The namespace is not "errno": that name is a macro.)
#pragma once

#include <string>

namespace norvik::run {

// "ENOENT" for 2; "" for a number with no name.
std::string get_name_for_errno_number(int number);
// The number for a name such as "ENOENT"; 0 when unknown.
int get_errno_number_for_name(const std::string& name);
// strerror text, thread-safe.
std::string strerror_text(int number);

// "TERM" for 15 (no "SIG" prefix); "" when unknown.
std::string signal_name(int number);
// 15 for "TERM" or "SIGTERM"; 0 when unknown.
int signal_number(const std::string& name);

}  // namespace norvik::run
