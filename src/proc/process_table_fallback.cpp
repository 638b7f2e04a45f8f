#include "proc/process_table_fallback.hpp"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <unordered_map>

#include "exception/exception.hpp"
#include "proc/sys_info.hpp"
#include "run/saferun.hpp"

namespace norvik::proc {
namespace {

std::string& ps_program() {
    // Test seam: the ps program of the fallback scan.
    static std::string p = ::access("/usr/bin/ps", X_OK) == 0 ? "/usr/bin/ps" : "/bin/ps";
    return p;
}

// Fixed column layout; the command line comes last because it may hold spaces.
const std::vector<std::string> PS_ARGS = {"-e", "-ww", "-o", "pid=,uid=,ppid=,pgid=,ni=,s=,rss=,etimes=,times=,args="};

bool next_field(std::string_view& line, std::string_view& out) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t s = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i == s) return false;
    out = line.substr(s, i - s);
    line.remove_prefix(i);
    return true;
}

long long to_ll(std::string_view t) {
    std::string s(t);
    return std::strtoll(s.c_str(), nullptr, 10);
}

}  // namespace

const std::string& PS_PROGRAM() { return ps_program(); }
void set_PS_PROGRAM(const std::string& path) { ps_program() = path; }

std::vector<ProcRecord> parse_ps_output(const std::string& text, const ParseOptions& o) {
    proc::check_skip_stat(o);
    std::vector<ProcRecord> out;
    std::unique_ptr<SysInfo> sysinfo;
    if (o.memory_stats) sysinfo = std::make_unique<SysInfo>();
    std::unordered_map<uid_t, std::optional<std::string>> names;
    pid_t self = ::getpid();
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::string_view line(raw);
        std::string_view f[9];
        bool ok = true;
        for (auto& x : f)
            if (!next_field(line, x)) {
                ok = false;
                break;
            }
        if (!ok) continue;
        auto pid = parse_pid(f[0]);
        if (!pid) continue;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
        if (o.exclude_self && *pid == self) continue;
        if (o.want_pid && *o.want_pid != *pid) continue;
        if (o.exclude_kernel && *pid < RESERVED_PIDS) continue;
        uid_t uid = static_cast<uid_t>(to_ll(f[1]));
        if (o.want_uid && *o.want_uid != uid) continue;
        if (!o.skip_stat && o.exclude_kernel && to_ll(f[3]) == 0) continue;
        ProcRecord r;
        r.pid = *pid;
        r.uid = uid;
        if (uid == 0) {
            r.user = SUPERUSER_NAME;
        } else if (o.resolve_uids) {
            auto it = names.find(uid);
            if (it == names.end()) it = names.emplace(uid, proc::name_for_uid(uid)).first;
            r.user = it->second;
        } else {
            r.user = std::to_string(uid);
        }
        if (!o.skip_stat) {
            r.has_stat = true;
            r.ppid = static_cast<pid_t>(to_ll(f[2]));
            r.nice = f[4] == "-" ? 0 : static_cast<long>(to_ll(f[4]));
            r.state = std::string(f[5]);
            r.command = std::string(line);
            double elapsed = double(to_ll(f[7]));
            if (o.elapsed_stats) r.elapsed = elapsed;
            if (o.cpu_stats) r.cpu = elapsed > 0 ? double(to_ll(f[8])) * 100.0 / elapsed : 0.0;
        }
        if (o.memory_stats && sysinfo)
            r.mem = sysinfo->calculate_percent_memory_from_rsspages(double(to_ll(f[6])) * 1024.0 /
                                                                    double(sysinfo->page_size()));
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<ProcRecord> parse_ps_via_program(const ParseOptions& options) {
    run::Options so;
    so.program = ps_program();
    so.args = PS_ARGS;
    so.timeout = 60;
    so.keep_env = false;
    so.extra_env = {{"LC_ALL", "C"}};
    std::optional<run::Object> run;
    try {
        run.emplace(std::move(so));
    } catch (const std::exception&) {
        if (options.skip_stat &&
            (options.exclude_kernel || options.cpu_stats || options.elapsed_stats || !options.skip_cmdline))
            return parse_ps_output("", options);  // the conflict still raises
        return {};
    }
    const std::string* text = run->stdout_r();
    return parse_ps_output(text ? *text : std::string(), options);
}

}  // namespace norvik::proc
