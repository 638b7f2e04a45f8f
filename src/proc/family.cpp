#include "proc/family.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "proc/proc_root.hpp"
#include "foundation/load_file.hpp"
#include "proc/kill.hpp"
#include "proc/process_info.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {
namespace {

// The stat fields after the command name, split at blanks.
bool stat_fields(pid_t pid, std::string& buf, std::vector<std::string_view>& out) {
    if (!proc::read_at(AT_FDCWD, proc::proc_entry(pid, "stat").c_str(), buf)) return false;
    std::string_view fields, head;
    if (!proc::stat_fields_part(buf, fields, head)) return false;
    out.clear();
    size_t i = 0;
    while (i < fields.size()) {
        size_t j = fields.find(' ', i);
        if (j == std::string_view::npos) j = fields.size();
        out.push_back(fields.substr(i, j - i));
        i = j + 1;
    }
    return true;
}

template <typename T>
std::optional<T> number(std::string_view s) {
    T v{};
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

// Positions after the command name: state 0, ppid 1, session 3, start 19.
constexpr size_t SESSION_FIELD = 3;

struct Row {
    Member m;
    pid_t ppid = 0;
    pid_t session = 0;
};

std::vector<Row> live_rows() {
    std::vector<Row> rows;
    std::string buf;
    std::vector<std::string_view> f;
    int dfd = proc::open_dir(proc::proc_root());
    if (dfd < 0) return rows;
    proc::FdGuard guard(dfd);
    std::vector<pid_t> pids;
    proc::for_each_numeric_entry(dfd, [&](const char* name, size_t len) {
        if (auto p = proc::parse_pid(std::string_view(name, len))) pids.push_back(*p);
    });
    for (pid_t pid : pids) {
        if (!stat_fields(pid, buf, f) || f.size() <= proc::PROC_STAT_STARTTIME) continue;
        if (f[proc::PROC_STAT_STATE] == "Z" || f[proc::PROC_STAT_STATE] == "X") continue;
        auto ppid = number<pid_t>(f[proc::PROC_STAT_PPID]);
        auto sid = number<pid_t>(f[SESSION_FIELD]);
        auto start = number<std::uint64_t>(f[proc::PROC_STAT_STARTTIME]);
        if (!ppid || !sid || !start) continue;
        rows.push_back({{pid, *start}, *ppid, *sid});
    }
    return rows;
}

}  // namespace

std::optional<std::uint64_t> start_time(pid_t pid) { return proc::read_start_time(pid); }

bool still_running(const Member& m) {
    auto st = start_time(m.pid);
    return st && *st == m.start && proc::pid_is_alive(m.pid);
}

std::vector<Member> session_members(pid_t sid) {
    std::vector<Member> out;
    if (sid <= 1) return out;
    for (const auto& r : live_rows())
        if (r.session == sid) out.push_back(r.m);
    return out;
}

namespace {

// Whether the kernel lists each thread's children (/proc/<pid>/task/<tid>/children).
bool kernel_lists_children() {
    static const bool listed = [] {
        // A property of the running kernel: asked of the real /proc.
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(::getpid()),
                      static_cast<int>(::getpid()));
        return ::access(path, R_OK) == 0;
    }();
    return listed;
}

// The live children of pid, from the lists of all its threads.
std::vector<Member> listed_children(pid_t pid, std::string& buf, std::vector<std::string_view>& f) {
    std::vector<Member> out;
    const std::string path = proc::proc_entry(pid, "task");
    int dfd = proc::open_dir(path);
    if (dfd < 0) return out;
    proc::FdGuard guard(dfd);
    std::vector<pid_t> kids;
    proc::for_each_numeric_entry(dfd, [&](const char* name, size_t len) {
        // Read on to the end: a long list comes in reads shorter than a page.
        const auto read = foundation::loadfile(path + "/" + std::string(name, len) + "/children");
        if (!read) return;
        const std::string& list = *read;
        size_t i = 0;
        while (i < list.size()) {
            size_t j = list.find(' ', i);
            if (j == std::string::npos) j = list.size();
            if (auto k = number<pid_t>(std::string_view(list).substr(i, j - i))) kids.push_back(*k);
            i = j + 1;
        }
    });
    for (pid_t k : kids) {
        if (!stat_fields(k, buf, f) || f.size() <= proc::PROC_STAT_STARTTIME) continue;
        if (f[proc::PROC_STAT_STATE] == "Z" || f[proc::PROC_STAT_STATE] == "X") continue;
        // Gone and its pid reused by someone else's process meanwhile.
        if (number<pid_t>(f[proc::PROC_STAT_PPID]) != pid) continue;
        if (auto start = number<std::uint64_t>(f[proc::PROC_STAT_STARTTIME])) out.push_back({k, *start});
    }
    return out;
}

}  // namespace

std::vector<Member> descendants(pid_t pid) {
    if (kernel_lists_children()) {
        // Down the kernel's child lists: a few reads for a small tree,
        // where a scan reads every process's stat.
        std::vector<Member> out;
        std::set<std::pair<pid_t, std::uint64_t>> seen;  // a large tree must not cost a search per member
        std::string buf;
        std::vector<std::string_view> f;
        std::vector<pid_t> parents{pid};
        while (!parents.empty() && out.size() < 100000) {
            std::vector<pid_t> next;
            for (pid_t p : parents)
                for (const Member& m : listed_children(p, buf, f)) {
                    if (m.pid == pid || !seen.insert({m.pid, m.start}).second) continue;
                    out.push_back(m);
                    next.push_back(m.pid);
                }
            parents = std::move(next);
        }
        return out;
    }
    std::vector<Row> rows = live_rows();
    std::vector<Member> out;
    std::vector<pid_t> parents{pid};
    // Breadth first over the parent links; each process is taken once.
    while (!parents.empty()) {
        std::vector<pid_t> next;
        for (const auto& r : rows) {
            if (std::find(parents.begin(), parents.end(), r.ppid) == parents.end() || r.m.pid == pid) continue;
            if (std::find(out.begin(), out.end(), r.m) != out.end()) continue;
            out.push_back(r.m);
            next.push_back(r.m.pid);
        }
        parents = std::move(next);
    }
    return out;
}

std::vector<Member> added_since(const std::vector<Member>& before, const std::vector<Member>& now) {
    std::vector<Member> out;
    for (const auto& m : now)
        if (std::find(before.begin(), before.end(), m) == before.end()) out.push_back(m);
    return out;
}

void reap_finished_children() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
}

int end_members(const std::vector<Member>& members, double budget, bool verbose) {
    const auto lineage = proc::get_pid_lineage();
    std::vector<pid_t> pids;
    for (const auto& m : members) {
        if (std::find(lineage.begin(), lineage.end(), m.pid) != lineage.end()) continue;
        if (proc::is_signalable_pid(m.pid) && still_running(m)) pids.push_back(m.pid);
    }
    if (!pids.empty()) proc::_safekill_multipid(pids, verbose, budget, lineage);
    reap_finished_children();
    return static_cast<int>(std::count_if(members.begin(), members.end(), still_running));
}

}  // namespace norvik::proc
