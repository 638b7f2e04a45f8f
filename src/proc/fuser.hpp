// Which processes hold given files open (from the fd links under /proc).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace norvik::proc {

// file -> pids holding it, pids in text order ("1000" before "999"). Only
// files some process holds appear.
std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& files);
// The all-digit entries of the proc directory (empty when it cannot be opened).
std::vector<std::string> running_processes();
// The given files this process holds open, sorted as text, each once.
std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& files);
std::vector<std::string> proc_has_open_files(const std::string& pid, const std::vector<std::string>& files);

}  // namespace norvik::proc
