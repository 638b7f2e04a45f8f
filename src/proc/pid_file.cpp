#include "proc/pid_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <regex>

#include "proc/proc_root.hpp"
#include "proc/process_info.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {
namespace {

// A PID file holds one number and maybe a newline; more is not read.
constexpr size_t READ_MAX = 128;

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string exe_of(pid_t pid) {
    char target[4096];
    ssize_t n = ::readlink(proc::proc_entry(pid, "exe").c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    std::string exe(target, static_cast<size_t>(n));
    static const std::regex deleted(R"(^\(deleted\)\s+|\s+\(deleted\)$)");
    return std::regex_replace(exe, deleted, "", std::regex_constants::format_first_only);
}

std::vector<std::string> cmdline_of(pid_t pid) {
    std::string buf;
    std::vector<std::string> words;
    if (!proc::read_at(AT_FDCWD, proc::proc_entry(pid, "cmdline").c_str(), buf)) return words;
    size_t start = 0;
    while (start < buf.size()) {
        size_t z = buf.find('\0', start);
        if (z == std::string::npos) z = buf.size();
        if (z > start) words.emplace_back(buf, start, z - start);
        start = z + 1;
    }
    return words;
}

// The executable's or a command word's base name is the binary's, or
// holds the service's name.
bool names_service(const std::string& word, const Identity& id) {
    const std::string base = lower(base_of(word));
    if (base.empty()) return false;
    if (!id.binary.empty() && (word == id.binary || base == lower(base_of(id.binary)))) return true;
    return !id.service.empty() && base.find(lower(id.service)) != std::string::npos;
}

const std::regex& interpreter_pattern() {
    static const std::regex rx(proc::get_known_interpreters_regex_text() + R"([\d.]*)");
    return rx;
}

}  // namespace

bool is_owner(uid_t uid, const std::string& owner) {
    if (uid == 0) return true;
    if (owner.empty()) return false;
    auto owner_uid = proc::uid_for_user(owner);
    return owner_uid && *owner_uid == uid;
}

Read read_checked(const std::string& path, const std::string& owner, bool check_owner) {
    Read r;
    if (path.empty()) return r;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (check_owner ? O_NOFOLLOW : 0));
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) return r;
        r.problem = err == ELOOP ? "it is a symbolic link" : std::string("it cannot be opened: ") + std::strerror(err);
        return r;
    }
    proc::FdGuard guard(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        r.problem = std::string("it cannot be examined: ") + std::strerror(errno);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        r.problem = "it is not a plain file";
        return r;
    }
    if (check_owner) {
        const std::string who = owner.empty() ? proc::SUPERUSER_NAME : owner;
        auto owner_uid = proc::uid_for_user(who);
        if (st.st_uid != 0 && (!owner_uid || st.st_uid != *owner_uid)) {
            r.problem = "it is owned by uid " + std::to_string(st.st_uid);
            return r;
        }
        if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            r.problem = "it is writable by users other than its owner";
            return r;
        }
    }
    char buf[READ_MAX];
    size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = ::read(fd, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.problem = std::string("it cannot be read: ") + std::strerror(errno);
            return r;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    std::string_view text(buf, got);
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (text.empty() || text == "0") return r;
    auto pid = proc::parse_pid(text);
    if (!pid || *pid <= 1) {
        r.problem = "it does not hold a process ID";
        return r;
    }
    r.pid = *pid;
    return r;
}

std::string foreign_reason(pid_t pid, const Identity& id) {
    if (pid <= 1) return "it is not a process of a service";
    auto lineage = proc::get_pid_lineage();
    if (std::find(lineage.begin(), lineage.end(), pid) != lineage.end())
        return "it is this program or one of its parents";
    struct stat st {};
    if (::stat(proc::proc_entry(pid).c_str(), &st) != 0) return "it is not running";
    // Any user can run a program of the daemon's name: the owner decides
    // first, whatever names the program.
    if (!is_owner(st.st_uid, id.owner)) {
        const std::string who = id.owner.empty() ? proc::SUPERUSER_NAME : id.owner;
        return "it belongs to uid " + std::to_string(st.st_uid) + ", not to " + who;
    }
    std::string exe = exe_of(pid);
    // Without root another user's program path cannot be read; its command
    // line can, and a run without root only asks (it never signals).
    if (exe.empty() && ::geteuid() != 0) {
        auto words = cmdline_of(pid);
        if (!words.empty()) exe = words[0];
    }
    if (!id.pid_exe.empty()) {
        bool matches = false;
        try {
            matches = std::regex_search(exe, std::regex(id.pid_exe));
        } catch (const std::regex_error&) {
            matches = exe.find(id.pid_exe) != std::string::npos;
        }
        return matches ? "" : "it runs " + (exe.empty() ? std::string("an unknown program") : exe);
    }
    if (names_service(exe, id)) return "";
    // The program word of the command line; behind an interpreter, the script.
    auto words = cmdline_of(pid);
    if (!words.empty() && names_service(words[0], id)) return "";
    if (words.size() > 1 && std::regex_match(base_of(words[0]), interpreter_pattern())) {
        for (size_t i = 1; i < words.size(); ++i) {
            if (words[i].rfind('-', 0) == 0) continue;
            if (names_service(words[i], id)) return "";
            break;
        }
    }
    return "it runs " + (exe.empty() ? std::string("a program") : exe) + ", which does not name the service";
}

std::string foreign_warning(const std::string& path, const std::string& service, pid_t pid, const std::string& reason) {
    return "The PID file “" + path + "” of “" + service + "” names the process " + std::to_string(pid) +
           ", which is not the service's: " + reason + ". It is left alone.";
}

}  // namespace norvik::proc
