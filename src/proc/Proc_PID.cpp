#include "proc/Proc_PID.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "proc/PsParser.hpp"

namespace norvik::proc {
namespace {

std::string& base_path() {
    static std::string p = "/proc";
    return p;
}

const bool registered = [] {
    exception::register_class<InvalidPidError>("Proc::InvalidPid");
    exception::register_class<ProcessEndedError>("Proc::Ended");
    return true;
}();

bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

const std::string& PID::PROC_PATH() { return base_path(); }
void PID::set_PROC_PATH(const std::string& path) { base_path() = path; }

PID::PID(const std::string& pid) {
    (void)registered;
    if (!all_digits(pid)) exception::raise("Proc::InvalidPid", "The process ID “[_1]” is not valid.", {pid});
    _pid = pid;
    _ctime = _fetch_ctime();
    if (!_ctime) _ended_die();
}

PID::PID(pid_t pid) : PID(pid > 0 ? std::to_string(pid) : std::string(pid == 0 ? "0" : "-" + std::to_string(-pid))) {}

pid_t PID::pid_number() const { return psparser::parse_pid(_pid).value_or(0); }

std::string PID::_proc_pid_path() const { return base_path() + "/" + _pid; }

std::optional<std::int64_t> PID::_fetch_ctime() const {
    struct stat st;
    if (::stat(_proc_pid_path().c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::int64_t>(st.st_ctime);
}

std::int64_t PID::ctime() {
    if (!_ctime) _ctime = _fetch_ctime();
    if (!_ctime) _ended_die();
    return *_ctime;
}

int PID::is_running() const {
    auto now = _fetch_ctime();
    if (!now || !_ctime) return 0;
    return *now == *_ctime ? 1 : 0;
}

uid_t PID::uid() {
    if (!_uid) {
        struct stat st;
        if (!is_running() || ::stat(_proc_pid_path().c_str(), &st) != 0) _ended_die();
        _uid = st.st_uid;
    }
    return *_uid;
}

std::int64_t PID::elapsed_time() {
    struct stat st;
    std::int64_t start = ctime();
    if (::stat(_proc_pid_path().c_str(), &st) == 0 && st.st_atime > 0) start = st.st_atime;
    return static_cast<std::int64_t>(::time(nullptr)) - start;
}

std::string PID::state() const {
    std::string buf;
    // A pid now held by another process is not this process's state.
    if (!is_running() || !psparser::detail::read_at(AT_FDCWD, (_proc_pid_path() + "/stat").c_str(), buf)) _ended_die();
    std::string_view fields, head;
    if (!psparser::detail::stat_fields_part(buf, fields, head)) _ended_die();
    size_t e = fields.find_first_of(" \n");
    return std::string(fields.substr(0, e));
}

std::vector<std::string> PID::cmdline() {
    if (!_cmdline) {
        std::string buf;
        if (!is_running() || !psparser::detail::read_at(AT_FDCWD, (_proc_pid_path() + "/cmdline").c_str(), buf))
            _ended_die();
        std::vector<std::string> args;
        size_t start = 0;
        while (start < buf.size()) {
            size_t z = buf.find('\0', start);
            if (z == std::string::npos) z = buf.size();
            args.emplace_back(buf, start, z - start);
            start = z + 1;
        }
        // trailing empty fields are dropped, as a split does
        while (!args.empty() && args.back().empty()) args.pop_back();
        _cmdline = std::move(args);
    }
    return *_cmdline;
}

void PID::_ended_die() const { exception::raise("Proc::Ended", "The process with ID “[_1]” has ended.", {_pid}); }

}  // namespace norvik::proc
