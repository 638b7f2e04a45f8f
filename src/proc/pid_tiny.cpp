#include "proc/pid_tiny.hpp"

#include <string>

#include "foundation/load_file.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {

pid_t Tiny::get_pid_from_pidfile(const std::string& path) const {
    if (path.empty()) return 0;
    auto head = foundation::read_plain_file_head(path, 128);
    if (!head) return 0;
    const std::string& buf = *head;
    if (buf.size() > 64) return 0;  // a pid file holds one number
    size_t a = buf.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return 0;
    size_t b = buf.find_last_not_of(" \t\r\n");
    auto pid = proc::parse_pid(std::string_view(buf).substr(a, b - a + 1));
    return pid ? *pid : 0;
}

bool Tiny::is_pid_running(pid_t pid) const { return pid > 0 && proc::pid_is_alive(pid); }

pid_t Tiny::is_pidfile_running(const std::string& path) const {
    pid_t pid = get_pid_from_pidfile(path);
    return pid > 0 && is_pid_running(pid) ? pid : 0;
}

}  // namespace norvik::proc
