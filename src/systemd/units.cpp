#include "systemd/units.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/child_status.hpp"
#include "foundation/paths.hpp"
#include "systemd/bus.hpp"
#include "run/saferun_errors.hpp"

namespace norvik::systemd {

using run::split_lines;

namespace {

constexpr double QUERY_TIMEOUT = 120;

struct Captured {
    int status = NOT_RUNNABLE_STATUS;
    std::string out;
};

// systemctl for a query; error output dropped; the status is left in
// child_status() like every other waited-for command.
Captured run_capture(const std::vector<std::string>& args, double timeout = QUERY_TIMEOUT) {
    Captured c;
    // Where there is no systemctl (init.d hosts) the answer is known without
    // a failed spawn and the error it builds.
    if (::access(foundation::systemctl().c_str(), X_OK) != 0) {
        set_child_status(c.status);
        return c;
    }
    SystemctlResult r = systemctl().run({args, timeout, false});
    c.status = r.exec_failed ? NOT_RUNNABLE_STATUS : r.status;
    if (!r.exec_failed) c.out = r.output;
    set_child_status(c.status);
    return c;
}

bool is_space_char(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool blank(const std::string& line) {
    for (char c : line)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\f' && c != '\v') return false;
    return true;
}

pid_t to_pid(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return 0;
    long v = std::strtol(digits.c_str(), nullptr, 10);
    return v > 0 ? static_cast<pid_t>(v) : 0;
}

std::string field(const UnitRecord& r, const char* name) {
    auto it = r.find(name);
    return it == r.end() ? std::string() : it->second;
}

std::vector<std::string> status_lines(const std::string& unit) {
    // The journal part is not needed for the main process's line.
    return split_lines(run_capture({"status", "--no-pager", "--full", "--lines=0", unit}).out);
}

// Records already asked for in this run, by systemctl path and unit name.
std::map<std::string, UnitRecord>& kept_records() {
    // Cache for the run: unit records already asked for.
    static std::map<std::string, UnitRecord> kept;
    return kept;
}

std::string kept_key(const std::string& unit) { return foundation::systemctl() + '\n' + unit; }

// Straight from systemd's socket when it answers (a round trip), else one
// `systemctl show` (a process).
UnitRecord show_unit(const std::string& unit) {
    std::optional<UnitRecord> rec = show_over_bus(unit, requested_properties());
    if (!rec) {
        std::vector<std::string> args = {"show"};
        for (const auto& p : requested_properties()) args.push_back("--property=" + p);
        args.push_back(unit);
        rec = parse_show_output(run_capture(args).out);
    }
    kept_records()[kept_key(unit)] = *rec;
    return *rec;
}

// Pids of one cgroup.procs file, appended.
void append_procs(int dirfd, std::vector<pid_t>& pids) {
    int fd = ::openat(dirfd, "cgroup.procs", O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    for (const auto& line : split_lines(text))
        if (pid_t p = to_pid(line)) pids.push_back(p);
}

// The group's own pids, then those of its sub-groups (a unit's control
// processes, delegated trees), depth first in name order. Takes dirfd.
void collect_group(int dirfd, std::vector<pid_t>& pids, int depth) {
    append_procs(dirfd, pids);
    DIR* d = ::fdopendir(dirfd);
    if (!d) {
        ::close(dirfd);
        return;
    }
    std::vector<std::string> subs;
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) subs.push_back(n);
    }
    std::sort(subs.begin(), subs.end());
    if (depth < 16) {
        for (const auto& n : subs) {
            int sub = ::openat(::dirfd(d), n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
            if (sub >= 0) collect_group(sub, pids, depth + 1);
        }
    }
    ::closedir(d);
}

}  // namespace

const std::vector<std::string>& requested_properties() {
    static const std::vector<std::string> props = {
        "Id",           "LoadState",      "ActiveState",   "SubState",     "MainPID",
        "Type",         "FragmentPath",   "SourcePath",    "PIDFile",      "Result",
        "ExecMainCode", "ExecMainStatus", "UnitFileState", "ControlGroup", "TriggeredBy",
    };
    return props;
}

namespace {
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space_char(text[i])) ++i;
        size_t b = i;
        while (i < text.size() && !is_space_char(text[i])) ++i;
        if (i > b) out.push_back(text.substr(b, i - b));
    }
    return out;
}
}  // namespace

std::vector<std::string> triggering_units(const UnitRecord& rec) { return words(field(rec, "TriggeredBy")); }

std::vector<std::string> accepted_unit_dirs() {
    // systemd names its files in the host's own terms, never below our root.
    const std::string& root = foundation::root();
    std::vector<std::string> dirs;
    for (std::string d : foundation::systemd_unit_dirs()) {
        if (!root.empty() && d.rfind(root, 0) == 0) d = d.substr(root.size());
        dirs.push_back(d + "/");
    }
    return dirs;
}

std::string unit_name(const std::string& service) {
    const std::string suffix = UNIT_SUFFIX;
    if (service.size() <= suffix.size() || service.compare(service.size() - suffix.size(), suffix.size(), suffix) != 0)
        return service + suffix;
    return service;
}

UnitRecord parse_show_output(const std::string& text) {
    UnitRecord rec;
    for (const auto& line : split_lines(text)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = line.substr(0, eq);
        size_t eq2 = line.find('=', eq + 1);
        // A value holding "=" keeps what precedes it.
        std::string value = line.substr(eq + 1, eq2 == std::string::npos ? std::string::npos : eq2 - eq - 1);
        if (name.empty()) continue;
        bool ok = true;
        for (char c : name) {
            bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
            if (!word) {
                ok = false;
                break;
            }
        }
        if (ok) rec[name] = value;
    }
    return rec;
}

UnitRecord get_service_info_via_systemd(const std::string& service) {
    const std::string unit = unit_name(service);
    auto it = kept_records().find(kept_key(unit));
    if (it != kept_records().end()) return it->second;
    return show_unit(unit);
}

UnitRecord refresh_service_info(const std::string& service) { return show_unit(unit_name(service)); }

void forget_service_info() { kept_records().clear(); }

bool is_masked(const UnitRecord& rec) { return field(rec, "LoadState") == MASKED_WORD; }

bool is_up_state(const UnitRecord& rec) {
    if (field(rec, "LoadState") != LOADED_WORD && !is_masked(rec)) return false;
    const std::string st = field(rec, "ActiveState");
    return st == ACTIVE_WORD || st == RELOADING_WORD;
}

std::optional<UnitRecord> has_service_via_systemd(const std::string& service) {
    if (service.empty()) return std::nullopt;
    UnitRecord rec = get_service_info_via_systemd(service);
    // Nothing from systemctl (missing, failing, or no usable answer) means
    // systemd does not manage this service here.
    if (rec.empty() || !rec.count("LoadState")) return std::nullopt;
    if (rec["LoadState"] == NOT_FOUND_WORD) return std::nullopt;
    // Where systemd loaded the unit from decides, generated units included;
    // a unit without a file (transient) is taken as it is.
    const std::string frag = field(rec, "FragmentPath");
    if (!frag.empty()) {
        bool inside = false;
        for (const auto& d : accepted_unit_dirs())
            if (frag.rfind(d, 0) == 0) inside = true;
        if (!inside) return std::nullopt;
    }
    return rec;
}

namespace {

// Plain scanners for the status display: its lines hold whole command lines
// (--full), and the library's regular-expression matcher recurses once per
// character, so a long line would exhaust the stack.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The rest of the line after leading blanks (`spaces_only`: just ' ' and
// '\t') and `word`, or nullopt when the line does not start that way.
std::optional<std::string_view> after_lead(std::string_view line, std::string_view word, bool spaces_only) {
    size_t i = 0;
    while (i < line.size() && (spaces_only ? (line[i] == ' ' || line[i] == '\t') : is_space(line[i]))) ++i;
    if (line.substr(i, word.size()) != word) return std::nullopt;
    return line.substr(i + word.size());
}

// The value of key (e.g. "code=") up to ',' or ' ': the first occurrence
// that has one.
std::string key_value(std::string_view text, std::string_view key) {
    for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        size_t b = at + key.size(), e = b;
        while (e < text.size() && text[e] != ',' && text[e] != ' ') ++e;
        if (e > b) return std::string(text.substr(b, e - b));
    }
    return {};
}

}  // namespace

pid_t get_pid_via_systemd(const std::string& service, const UnitRecord* info) {
    UnitRecord fetched;
    if (!info) {
        fetched = get_service_info_via_systemd(service);
        info = &fetched;
    }
    if (!is_up_state(*info)) return 0;
    if (pid_t p = to_pid(field(*info, "MainPID"))) return p;
    auto pids = read_control_group_pids(field(*info, "ControlGroup"));
    return pids.empty() ? 0 : pids.front();
}

std::vector<pid_t> read_control_group_pids(const std::string& group) {
    std::vector<pid_t> pids;
    if (group.empty() || group[0] != '/' || group.find("/../") != std::string::npos ||
        (group.size() >= 3 && group.compare(group.size() - 3, 3, "/..") == 0))
        return pids;
    // The unified tree; on a hybrid host it sits below "unified", and
    // systemd's own named tree always has the unit's groups.
    for (const char* sub : {"", "/unified", "/systemd"}) {
        const std::string dir = foundation::cgroup_fs() + sub + group;
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        collect_group(fd, pids, 0);
        break;
    }
    return pids;
}

std::vector<pid_t> get_pids_via_systemd(const std::string& service, const UnitRecord* info) {
    UnitRecord fetched;
    if (!info) {
        fetched = get_service_info_via_systemd(service);
        info = &fetched;
    }
    if (!is_up_state(*info)) return {};
    return read_control_group_pids(field(*info, "ControlGroup"));
}

CodeAndSignal parse_code_and_signal(const std::vector<std::string>& lines) {
    CodeAndSignal r;
    for (const auto& line : lines) {
        if (blank(line)) break;
        if (auto rest = after_lead(line, "Active:", true)) {
            size_t b = 0;
            while (b < rest->size() && ((*rest)[b] == ' ' || (*rest)[b] == '\t')) ++b;
            size_t e = b;
            while (e < rest->size() && !is_space((*rest)[e])) ++e;
            if (e > b) {
                r.active = std::string(rest->substr(b, e - b));
                continue;
            }
        }
        auto rest = after_lead(line, "Main PID:", true);
        if (!rest) continue;
        // "Main PID: <digits> <detail up to ')'>"; a detail that would be
        // empty takes the last blank or digit before it, as a backtracking
        // match would.
        std::string_view t = *rest;
        size_t d = 0;
        while (d < t.size() && (t[d] == ' ' || t[d] == '\t')) ++d;
        size_t digits_end = d;
        while (digits_end < t.size() && is_digit(t[digits_end])) ++digits_end;
        if (digits_end == d) continue;
        size_t b = digits_end;
        while (b < t.size() && (t[b] == ' ' || t[b] == '\t')) ++b;
        if (b == t.size() || t[b] == ')') {
            if (b > digits_end || digits_end - d > 1) --b;
            else continue;
        }
        size_t e = t.find(')', b + 1);
        std::string_view detail = t.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
        r.code = key_value(detail, "code=");
        r.signal = key_value(detail, "signal=");
    }
    return r;
}

CodeAndSignal get_code_and_signal_via_systemd(const std::string& service) {
    return parse_code_and_signal(status_lines(unit_name(service)));
}

}  // namespace norvik::systemd
