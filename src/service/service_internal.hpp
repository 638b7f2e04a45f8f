// What the service object's own files share: small helpers and the
// timings of its waits. Not part of its contract.
#pragma once

#include <sys/prctl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "foundation/load_file.hpp"
#include "initd/scripts.hpp"
#include "proc/process_table.hpp"
#include "foundation/text.hpp"

namespace norvik::service {

const char* const DEFAULT_PROCESSOWNER = "root";
const char* const PLACEHOLDER_LOCK_NAME = "restartsrv_base";

const char* const PROGRESS_MARKER = ".";
const char* const SUCCESS_WORD = "Done";
const char* const FAILURE_WORD = "Failed";

constexpr double STATUS_POLL = 0.05;
constexpr int STATUS_WAIT_LIMIT = 120;
// A stat or a read of the PID file is cheap next to the start it waits for;
// a short poll keeps the wait from adding up to a whole interval to it (the
// daemon often writes the file just after systemd's job returns). An inotify
// watch would wake sooner, but closing one costs a kernel grace period.
constexpr double PIDFILE_POLL = 0.005;
// The file most often comes within a few ms of the job: the first polls are
// shorter still.
constexpr double PIDFILE_FIRST_POLL = 0.001;
constexpr int PIDFILE_FIRST_POLLS = 20;
constexpr double PIDFILE_FILL_WAIT = 0.9;

inline bool env_true(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

inline std::string join(const std::vector<std::string>& parts, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

using foundation::lower;

inline bool is_plain_file(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

inline bool path_exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// A pid whose /proc entry exists and is not a zombie.
// First line of a file without its line end; nullopt when it cannot be opened.
inline std::optional<std::string> read_first_line(const std::string& path) {
    auto text = foundation::read_plain_file_head(path, 4097);
    if (!text) return std::nullopt;
    auto nl = text->find('\n');
    if (nl != std::string::npos) text->resize(nl);
    if (!text->empty() && text->back() == '\r') text->pop_back();
    return text;
}

inline long parse_pid(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    long v = 0;
    bool any = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        any = true;
        v = v * 10 + (s[i] - '0');
        if (v > 4194304L * 16) return 0;
    }
    return any ? v : 0;
}

// Makes the process a child subreaper while it lives, then puts back what was.
class SubreaperScope {
public:
    explicit SubreaperScope(bool on) {
        if (!on || ::prctl(PR_GET_CHILD_SUBREAPER, &previous_) != 0) return;
        active_ = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    }
    ~SubreaperScope() {
        if (active_) ::prctl(PR_SET_CHILD_SUBREAPER, previous_);
    }
    SubreaperScope(const SubreaperScope&) = delete;
    SubreaperScope& operator=(const SubreaperScope&) = delete;

private:
    int previous_ = 0;
    bool active_ = false;
};

// Ends the processes matching the rules (never the program's own ancestry);
// with an owner given, only root's and that owner's ("" none).
inline bool end_doomed_processes(const std::vector<std::string>& rules, bool verbose,
                                 const std::optional<std::string>& owner) {
    if (rules.empty()) return false;
    proc::AllowedOwners owners;
    if (owner) {
        owners = std::vector<std::string>{proc::SUPERUSER_NAME};
        if (!owner->empty()) owners->push_back(*owner);
    }
    return initd::doomedprocess(proc::ProcName(rules), verbose, 0, owners) != 0;
}

}  // namespace norvik::service
