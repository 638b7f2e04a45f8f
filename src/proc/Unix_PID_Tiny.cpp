#include "proc/Unix_PID_Tiny.hpp"

#include <fcntl.h>

#include "proc/PsParser.hpp"

namespace norvik::unix::pid {

pid_t Tiny::get_pid_from_pidfile(const std::string& path) const {
    std::string buf;
    if (path.empty() || !psparser::detail::read_at(AT_FDCWD, path.c_str(), buf)) return 0;
    if (buf.size() > 64) return 0;  // a pid file holds one number
    size_t a = buf.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return 0;
    size_t b = buf.find_last_not_of(" \t\r\n");
    auto pid = psparser::parse_pid(std::string_view(buf).substr(a, b - a + 1));
    return pid ? *pid : 0;
}

int Tiny::is_pid_running(pid_t pid) const { return pid > 0 && psparser::pid_is_alive(pid) ? 1 : 0; }

pid_t Tiny::is_pidfile_running(const std::string& path) const {
    pid_t pid = get_pid_from_pidfile(path);
    return pid > 0 && is_pid_running(pid) ? pid : 0;
}

}  // namespace norvik::unix::pid
