#include "proc/fuser.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {
namespace {

using proc::FdGuard;

// Bit i set when files[i] is among the process's open descriptors.
// proc_fd is the proc directory, pid the entry name.
void holder_mask(int proc_fd, const std::string& pid, const std::vector<std::string>& files, std::vector<char>& found) {
    found.assign(files.size(), 0);
    std::string rel = pid + "/fd";
    int fd = ::openat(proc_fd, rel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    FdGuard g(fd);
    char link[PATH_MAX + 1];
    proc::for_each_numeric_entry(fd, [&](const char* name, size_t) {
        ssize_t n = ::readlinkat(fd, name, link, PATH_MAX);
        if (n <= 0) return;
        std::string_view target(link, static_cast<size_t>(n));
        for (size_t i = 0; i < files.size(); ++i)
            if (!found[i] && target == files[i]) found[i] = 1;
    });
}

}  // namespace

std::vector<std::string> running_processes() {
    std::vector<std::string> out;
    int fd = proc::open_dir(proc::proc_root());
    if (fd < 0) return out;
    FdGuard g(fd);
    proc::for_each_numeric_entry(fd, [&](const char* name, size_t len) { out.emplace_back(name, len); });
    return out;
}

std::vector<std::string> proc_has_open_files(const std::string& pid, const std::vector<std::string>& files) {
    std::vector<std::string> out;
    if (!proc::parse_pid(pid)) return out;
    int pfd = proc::open_dir(proc::proc_root());
    if (pfd < 0) return out;
    FdGuard g(pfd);
    std::vector<char> found;
    holder_mask(pfd, pid, files, found);
    for (size_t i = 0; i < files.size(); ++i)
        if (found[i]) out.push_back(files[i]);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& files) {
    if (pid <= 0) return {};
    return proc_has_open_files(std::to_string(pid), files);
}

std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& files) {
    std::map<std::string, std::vector<pid_t>> out;
    if (files.empty()) return out;
    int pfd = proc::open_dir(proc::proc_root());
    if (pfd < 0) return out;
    FdGuard g(pfd);
    std::vector<std::string> pids;
    proc::for_each_numeric_entry(pfd, [&](const char* name, size_t len) { pids.emplace_back(name, len); });
    std::sort(pids.begin(), pids.end());  // text order: "1000" before "999"
    std::vector<char> found;
    for (const auto& pid : pids) {
        auto num = proc::parse_pid(pid);
        if (!num) continue;
        holder_mask(pfd, pid, files, found);
        for (size_t i = 0; i < files.size(); ++i) {
            if (!found[i]) continue;
            auto& list = out[files[i]];
            if (list.empty() || list.back() != *num) list.push_back(*num);
        }
    }
    return out;
}

}  // namespace norvik::proc
