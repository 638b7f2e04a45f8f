#include "restartsrv/RestartSrv_Systemd.hpp"

#include <cstdlib>
#include <regex>

#include "foundation/ChildStatus.hpp"
#include "foundation/Paths.hpp"
#include "proc/Unix_PID_Tiny.hpp"
#include "run/SafeRun_Object.hpp"

namespace norvik::restartsrv::systemd {

namespace {

constexpr double QUERY_TIMEOUT = 120;
// A start or stop job may legitimately take systemd's own time-outs.
constexpr double JOB_TIMEOUT = 600;
constexpr int NOT_RUNNABLE_STATUS = 127 << 8;

struct Captured {
    int status = NOT_RUNNABLE_STATUS;
    std::string out;
};

// systemctl with the parse environment; error output dropped; the status is
// left in child_status() like every other waited-for command.
Captured run_capture(const std::vector<std::string>& args, double timeout = QUERY_TIMEOUT) {
    Captured c;
    saferun::Options o;
    o.program = paths::systemctl();
    o.args = args;
    o.keep_env = true;
    o.extra_env = {{"LANG", FIXED_LANG}, {"TZ", FIXED_TZ}, {"SYSTEMD_PAGER", ""}, {"SYSTEMD_COLORS", "0"}};
    o.timeout = timeout;
    try {
        saferun::Object run(std::move(o));
        c.status = run.CHILD_ERROR();
        if (run.exec_failed()) c.status = NOT_RUNNABLE_STATUS;
        if (const std::string* out = run.stdout_r()) c.out = *out;
    } catch (const std::exception&) {
        c.status = NOT_RUNNABLE_STATUS;
        c.out.clear();
    }
    set_child_status(c.status);
    return c;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

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
    set_parse_env();
    // The journal part is not needed for the process tree.
    return split_lines(run_capture({"status", "--no-pager", "--full", "--lines=0", unit}).out);
}

}  // namespace

const std::vector<std::string>& requested_properties() {
    static const std::vector<std::string> props = {
        "LoadState", "ActiveState", "SubState",      "MainPID",        "Type",   "FragmentPath",
        "PIDFile",   "Result",      "ExecMainCode",  "ExecMainStatus", "UnitFileState",
    };
    return props;
}

std::vector<std::string> accepted_unit_dirs() {
    // systemd names its files in the host's own terms, never below our root.
    const std::string& root = paths::root();
    std::vector<std::string> dirs;
    for (std::string d : {paths::systemd_unit_dirs_etc(), paths::systemd_unit_dirs_lib(), paths::systemd_unit_dirs_lib2(),
                          paths::systemd_unit_dirs_run()}) {
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

void set_parse_env() {
    ::setenv("LANG", FIXED_LANG, 1);
    ::setenv("TZ", FIXED_TZ, 1);
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
    std::string unit = unit_name(service);
    set_parse_env();
    std::vector<std::string> args = {"show"};
    for (const auto& p : requested_properties()) args.push_back("--property=" + p);
    args.push_back(unit);
    return parse_show_output(run_capture(args).out);
}

std::optional<UnitRecord> has_service_via_systemd(const std::string& service) {
    if (service.empty()) return std::nullopt;
    UnitRecord rec = get_service_info_via_systemd(service);
    // Nothing from systemctl (missing, failing, or no usable answer) means
    // systemd does not manage this service here.
    if (rec.empty() || !rec.count("LoadState")) return std::nullopt;
    if (rec["LoadState"] == NOT_FOUND_WORD) return std::nullopt;
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
bool is_word(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }
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

// A title line of the header: word characters, blanks and '-', then ':'.
bool is_header_line(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && (is_word(line[i]) || is_space(line[i]) || line[i] == '-')) ++i;
    return i > 0 && i < line.size() && line[i] == ':';
}

// The leading run of word characters.
std::string leading_word(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && is_word(text[i])) ++i;
    return std::string(text.substr(0, i));
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

pid_t parse_status_first_pid(const std::vector<std::string>& lines) {
    bool in_tree = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto& line = lines[i];
        if (blank(line)) break;
        if (!in_tree) {
            if (after_lead(line, "CGroup:", false)) in_tree = true;
            continue;
        }
        if (is_header_line(line)) continue;
        size_t b = 0;
        while (b < line.size() && !is_digit(line[b])) ++b;
        if (b == line.size()) continue;
        size_t e = b;
        while (e < line.size() && is_digit(line[e])) ++e;
        return to_pid(line.substr(b, e - b));
    }
    return 0;
}

pid_t get_pid_via_systemd(const std::string& service, const UnitRecord* info) {
    std::string unit = unit_name(service);
    Captured c = run_capture({"show", "--property=MainPID", unit});
    {
        std::string out = c.out;
        if (!out.empty() && out.back() == '\n') out.pop_back();
        static const std::regex re("^MainPID=(\\d+)$");
        std::smatch m;
        if (c.status == 0 && std::regex_match(out, m, re)) {
            if (pid_t p = to_pid(m[1].str())) return p;
        }
    }
    UnitRecord fetched;
    if (!info) {
        fetched = get_service_info_via_systemd(service);
        info = &fetched;
    }
    if (info->empty()) return 0;
    if (field(*info, "LoadState") == LOADED_WORD && field(*info, "ActiveState") == ACTIVE_WORD) {
        if (pid_t p = to_pid(field(*info, "MainPID"))) return p;
        if (field(*info, "SubState") == "running") {
            if (pid_t p = parse_status_first_pid(status_lines(unit))) return p;
        }
    }
    const std::string pidfile = field(*info, "PIDFile");
    if (!pidfile.empty()) return norvik::unix::pid::Tiny().is_pidfile_running(pidfile);
    return 0;
}

std::vector<pid_t> parse_status_pids(const std::vector<std::string>& lines) {
    std::vector<pid_t> pids;
    bool in_tree = false;
    for (const auto& line : lines) {
        if (blank(line)) break;
        if (!in_tree) {
            if (after_lead(line, "CGroup:", false)) {
                in_tree = true;
            } else if (auto rest = after_lead(line, "Loaded: ", false); rest && is_word(rest->empty() ? ' ' : rest->front())) {
                if (leading_word(*rest) != LOADED_WORD) return {};
            } else if (auto rest2 = after_lead(line, "Active: ", false); rest2 && is_word(rest2->empty() ? ' ' : rest2->front())) {
                if (leading_word(*rest2) != ACTIVE_WORD) return {};
            }
            continue;
        }
        // The first run of digits followed by a blank.
        std::optional<std::string> digits;
        for (size_t b = 0; b < line.size() && !digits;) {
            if (!is_digit(line[b])) {
                ++b;
                continue;
            }
            size_t e = b;
            while (e < line.size() && is_digit(line[e])) ++e;
            if (e < line.size() && is_space(line[e])) digits = line.substr(b, e - b);
            b = e;
        }
        if (!digits) break;
        if (pid_t p = to_pid(*digits)) pids.push_back(p);
    }
    return pids;
}

std::vector<pid_t> get_pids_via_systemd(const std::string& service) {
    return parse_status_pids(status_lines(unit_name(service)));
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

std::string get_status_via_systemd(const std::string& service) {
    UnitRecord rec = get_service_info_via_systemd(service);
    if (field(rec, "LoadState") == LOADED_WORD) return field(rec, "ActiveState");
    return "";
}

int _run_systemctl(const std::vector<std::string>& args) {
    saferun::Options o;
    o.program = paths::systemctl();
    o.args = args;
    o.keep_env = true;
    o.stdout_fd = 1;
    o.stderr_fd = 2;
    o.timeout = JOB_TIMEOUT;
    int status = NOT_RUNNABLE_STATUS;
    try {
        saferun::Object run(std::move(o));
        status = run.exec_failed() ? NOT_RUNNABLE_STATUS : run.CHILD_ERROR();
    } catch (const std::exception&) {
        status = NOT_RUNNABLE_STATUS;
    }
    set_child_status(status);
    return status;
}

std::string stop_via_systemd(const std::string& service) {
    UnitRecord rec = get_service_info_via_systemd(service);
    if (rec.empty() || field(rec, "LoadState") != LOADED_WORD) return "";
    _run_systemctl({"stop", unit_name(service)});
    rec = get_service_info_via_systemd(service);
    return field(rec, "ActiveState");
}

std::pair<std::string, std::string> restart_via_systemd(const std::string& service) {
    UnitRecord rec = get_service_info_via_systemd(service);
    if (rec.empty() || field(rec, "LoadState") != LOADED_WORD) return {"", ""};
    int code = _run_systemctl({"restart", unit_name(service)}) >> 8;
    rec = get_service_info_via_systemd(service);
    if (code != 0) return {field(rec, "ActiveState"), ""};
    return {field(rec, "ActiveState"), field(rec, "MainPID")};
}

}  // namespace norvik::restartsrv::systemd
