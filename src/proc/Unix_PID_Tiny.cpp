#include "proc/Unix_PID_Tiny.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "proc/PsParser.hpp"

namespace norvik::unix::pid {

pid_t Tiny::get_pid_from_pidfile(const std::string& path) const {
    if (path.empty()) return 0;
    // Only a plain file is read: a planted FIFO would block the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return 0;
    psparser::detail::FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    char text[128];
    ssize_t n;
    do n = ::read(fd, text, sizeof text);
    while (n < 0 && errno == EINTR);
    if (n < 0) return 0;
    std::string buf(text, static_cast<size_t>(n));
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
