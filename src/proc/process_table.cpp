#include "proc/process_table.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "proc/proc_root.hpp"
#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/pw_cache.hpp"
#include "proc/process_table_fallback.hpp"
#include "proc/sys_info.hpp"

namespace norvik::proc {
namespace {

struct Settings {
    bool read_proc = true;
    std::vector<std::string> interpreters = {"perl",    "python", "python2", "python3", "ruby", "php",
                                             "php-cgi", "node",   "bash",    "sh",      "dash", "tclsh"};
};

Settings& settings() {
    // Test seam: the interpreter list and whether /proc is read.
    static Settings s;
    return s;
}

// Probe that tells a mounted proc filesystem from an empty directory.
constexpr const char* PROC_PROBE = "/stat";

bool proc_readable() {
    if (!settings().read_proc) return false;
    return ::access((proc::proc_root() + PROC_PROBE).c_str(), R_OK) == 0;
}

using proc::FdGuard;

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
inline bool is_sep(char c) { return c == '\0' || is_space(c); }

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// "<pid>/<leaf>" into a fixed buffer.
inline const char* rel_path(char* buf, const char* name, size_t len, const char* leaf) {
    std::memcpy(buf, name, len);
    buf[len] = '/';
    std::strcpy(buf + len + 1, leaf);
    return buf;
}

pid_t pid_from_entry(const char* name, size_t len) {
    auto p = parse_pid(std::string_view(name, len));
    return p ? *p : 0;
}

// The name pattern in a form that matches without a regex engine for plain
// names (case-insensitive, anchored at both ends), and with the caller's own
// compiled pattern otherwise.
struct NameMatcher {
    const std::regex* re = nullptr;
    std::vector<std::string> names;

    explicit NameMatcher(const ProcName& n) {
        const auto& v = n.value();
        if (auto* r = std::get_if<std::regex>(&v)) {
            re = r;
        } else if (auto* s = std::get_if<std::string>(&v)) {
            names.push_back(*s);
        } else {
            names = std::get<std::vector<std::string>>(v);
        }
    }
    bool match(std::string_view word) const {
        if (re) return std::regex_search(word.begin(), word.end(), *re);
        for (const auto& n : names)
            if (iequals(word, n)) return true;
        return false;
    }
    bool matches_empty() const { return match(std::string_view()); }
    // The executable's file name is compared exactly with the name(s) given;
    // a compiled pattern has no name to compare.
    bool file_equals(std::string_view file) const {
        if (file.empty()) return false;
        for (const auto& n : names)
            if (file == n) return true;
        return false;
    }
};

bool is_interpreter(std::string_view word) {
    // Same as matching "^(?:names)[0-9.]*$": a known name followed by a version.
    for (const auto& n : settings().interpreters) {
        if (word.size() < n.size() || word.compare(0, n.size(), n) != 0) continue;
        bool ok = true;
        for (size_t i = n.size(); i < word.size(); ++i) {
            char c = word[i];
            if (!((c >= '0' && c <= '9') || c == '.')) {
                ok = false;
                break;
            }
        }
        if (ok) return true;
    }
    return false;
}

// The first word's login-shell dash and trailing colon ("-bash", "sshd:").
void trim_first_word(std::string& first) {
    if (first.find_first_of("-:") == std::string::npos) return;
    if (!first.empty() && first.front() == '-') first.erase(0, 1);
    if (!first.empty() && first.back() == ':') first.pop_back();
}

bool matches_core(const NameMatcher& m, std::string first, const std::function<std::string()>& first_secondary,
                  std::string_view file) {
    trim_first_word(first);
    bool interpreter = is_interpreter(first);
    if (m.file_equals(file)) return true;
    if (m.match(first)) return true;
    if (interpreter) {
        std::string sec = first_secondary();
        if (!sec.empty() && m.match(sec)) return true;
    }
    return false;
}

struct OwnerSet {
    bool active = false;
    std::vector<uid_t> uids;  // unknown names contribute nothing
    bool allows(uid_t u) const { return !active || std::find(uids.begin(), uids.end(), u) != uids.end(); }
};

OwnerSet build_owner_set(const AllowedOwners& allowed) {
    OwnerSet set;
    uid_t euid = ::geteuid();
    if (euid != 0) {
        set.active = true;
        set.uids.push_back(euid);
        return set;
    }
    if (!allowed) return set;
    set.active = true;
    for (const auto& member : *allowed) {
        bool digits =
            !member.empty() && std::all_of(member.begin(), member.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits) {
            errno = 0;
            unsigned long v = std::strtoul(member.c_str(), nullptr, 10);
            if (errno == 0 && v <= UINT_MAX) set.uids.push_back(static_cast<uid_t>(v));
        } else if (auto u = proc::uid_for_user(member)) {
            set.uids.push_back(*u);
        }
    }
    return set;
}

// The lazily split command line of the name search: words separated by runs
// of whitespace and NUL.
struct Words {
    std::string_view text;
    size_t pos = 0;
    explicit Words(std::string_view t) : text(t) {}
    // Next word, or false at the end. The leading word may be empty when the
    // record starts with a separator (as a split keeps a leading empty field).
    bool next(std::string_view& out) {
        if (pos > text.size()) return false;
        size_t start = pos;
        while (pos < text.size() && !is_sep(text[pos])) ++pos;
        out = text.substr(start, pos - start);
        while (pos < text.size() && is_sep(text[pos])) ++pos;
        if (pos >= text.size()) pos = text.size() + 1;  // trailing separators end the list
        if (out.empty() && start != 0) return false;
        return true;
    }
};

std::string first_secondary_of(Words words) {
    std::string_view w;
    while (words.next(w)) {
        std::string base = proc::getbasename(w);
        if (!base.empty() && base.front() == '-') continue;
        return base;
    }
    return {};
}

}  // namespace

// ---- settings ------------------------------------------------------------
bool READ_PROC() { return settings().read_proc; }
void set_READ_PROC(bool value) { settings().read_proc = value; }
const std::vector<std::string>& KNOWN_INTERPRETERS() { return settings().interpreters; }
void set_KNOWN_INTERPRETERS(std::vector<std::string> names) { settings().interpreters = std::move(names); }

// ---- helpers -------------------------------------------------------------
std::optional<pid_t> parse_pid(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v <= 0 || v > INT_MAX) return std::nullopt;
    return static_cast<pid_t>(v);
}

bool read_at(int dirfd, const char* path, std::string& out) {
    out.clear();
    int fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    FdGuard g(fd);
    if (out.capacity() < 4096) out.reserve(4096);
    // Reads of 4096 bytes: proc records arrive a page at a time, so a short
    // read is the end and saves the extra read that would return 0.
    size_t len = 0;
    for (;;) {
        out.resize(len + 4096);
        ssize_t n = ::read(fd, out.data() + len, 4096);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // a process that ended while it was read gives what was read
        }
        len += static_cast<size_t>(n);
        if (n < 4096) break;
    }
    out.resize(len);
    return true;
}

void for_each_numeric_entry(int dirfd, const std::function<void(const char*, size_t)>& fn) {
    alignas(8) char buf[32768];
    if (::lseek(dirfd, 0, SEEK_SET) < 0) return;
    for (;;) {
        long n = ::syscall(SYS_getdents64, dirfd, buf, sizeof buf);
        if (n <= 0) return;
        for (long off = 0; off < n;) {
            auto* d = reinterpret_cast<struct dirent64*>(buf + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] < '0' || name[0] > '9') continue;
            size_t len = 0;
            bool digits = true;
            for (; name[len]; ++len)
                if (name[len] < '0' || name[len] > '9') {
                    digits = false;
                    break;
                }
            if (digits) fn(name, len);
        }
    }
}

int open_dir(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

bool stat_fields_part(std::string_view record, std::string_view& fields, std::string_view& head) {
    size_t close = record.rfind(')');
    if (close == std::string_view::npos) return false;
    head = record.substr(0, close);
    std::string_view rest = record.substr(close + 1);
    if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    fields = rest;
    return true;
}

// Owners are looked up in the password-entry cache (bound to its disk cache
// by the entry). A sandbox root without a password file, or a user that only
// the system's user database knows, is answered by that database: the
// processes are real either way.
bool password_file_present() { return ::access(foundation::passwd_file().c_str(), R_OK) == 0; }

std::optional<uid_t> uid_for_user(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (password_file_present())
        if (auto r = foundation::getpwnam_noshadow(name)) return r->uid;
    struct passwd pw, *res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return std::nullopt;
    return res->pw_uid;
}

std::optional<std::string> name_for_uid(uid_t uid) {
    if (password_file_present())
        if (auto r = foundation::getpwuid_noshadow(uid)) return r->name;
    struct passwd pw, *res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) != 0 || !res) return std::nullopt;
    return std::string(res->pw_name);
}

std::string read_state_letter(pid_t pid) {
    if (pid <= 0) return {};
    // Scratch buffer reused across reads of /proc.
    static thread_local std::string buf;
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (!proc::read_at(AT_FDCWD, path, buf)) return {};
    std::string_view fields, head;
    if (!proc::stat_fields_part(buf, fields, head) || fields.empty()) return {};
    size_t end = fields.find(' ');
    return std::string(fields.substr(0, end));
}

std::optional<std::uint64_t> stat_start_time(std::string_view record) {
    std::string_view fields, head;
    if (!proc::stat_fields_part(record, fields, head)) return std::nullopt;
    size_t pos = 0;
    for (int i = 0; i < PROC_STAT_STARTTIME; ++i) {
        pos = fields.find(' ', pos);
        if (pos == std::string_view::npos) return std::nullopt;
        ++pos;
    }
    std::uint64_t v = 0;
    size_t digits = 0;
    for (; pos < fields.size() && fields[pos] >= '0' && fields[pos] <= '9'; ++pos, ++digits) {
        if (v > (UINT64_MAX - 9) / 10) return std::nullopt;
        v = v * 10 + std::uint64_t(fields[pos] - '0');
    }
    if (digits == 0) return std::nullopt;
    return v;
}

std::optional<std::uint64_t> read_start_time(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    // Scratch buffer reused across reads of /proc.
    static thread_local std::string buf;
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (!proc::read_at(AT_FDCWD, path, buf)) return std::nullopt;
    return stat_start_time(buf);
}

bool pid_is_alive(pid_t pid) {
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0 && errno != EPERM) return false;
    const std::string state = read_state_letter(pid);
    return state != "Z" && state != "X";
}

// ---- ProcName --------------------------------------------------------------
bool ProcName::empty() const {
    if (auto* s = std::get_if<std::string>(&v_)) return s->empty();
    if (auto* l = std::get_if<std::vector<std::string>>(&v_)) return l->empty();
    return false;
}

std::string ProcName::display_name() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    if (auto* l = std::get_if<std::vector<std::string>>(&v_)) {
        std::string out;
        for (size_t i = 0; i < l->size(); ++i) out += (i ? ", " : "") + (*l)[i];
        return out;
    }
    return "pattern";
}

std::string ProcName::plain_name() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    if (auto* l = std::get_if<std::vector<std::string>>(&v_)) return l->empty() ? std::string() : l->front();
    return {};
}

// ---- parse -----------------------------------------------------------------
std::vector<ProcRecord> parse_ps(const ParseOptions& options) { return proc::parse_ps_via_program(options); }

void check_skip_stat(const ParseOptions& o) {
    if (!o.skip_stat) return;
    if (o.exclude_kernel)
        throw PlainError("skip_stat conflicts with exclude_kernel: kernel processes are told by their stat record");
    if (o.cpu_stats) throw PlainError("skip_stat conflicts with cpu_stats: processor time comes from the stat record");
    if (o.elapsed_stats)
        throw PlainError("skip_stat conflicts with elapsed_stats: the start time comes from the stat record");
    if (!o.skip_cmdline)
        throw PlainError("skip_stat requires skip_cmdline: without the stat record there is no command to report");
}

namespace {

// The fields of a stat record after the command; the first 20 are all
// that is read.
struct StatFields {
    std::string_view field[20];
    int count = 0;

    explicit StatFields(std::string_view text) {
        for (size_t i = 0; i < text.size() && count < 20;) {
            while (i < text.size() && is_space(text[i])) ++i;
            size_t s = i;
            while (i < text.size() && !is_space(text[i])) ++i;
            if (i > s) field[count++] = text.substr(s, i - s);
        }
    }

    // A field as a number; 0 when the record has none there.
    long long num(int idx) const {
        if (idx >= count) return 0;
        long long v = 0;
        bool neg = false;
        std::string_view t = field[idx];
        size_t k = 0;
        if (!t.empty() && t[0] == '-') {
            neg = true;
            k = 1;
        }
        // A field too long for the type saturates instead of overflowing.
        constexpr long long max = std::numeric_limits<long long>::max();
        for (; k < t.size() && t[k] >= '0' && t[k] <= '9'; ++k) {
            const int d = t[k] - '0';
            if (v > (max - d) / 10) {
                v = max;
                break;
            }
            v = v * 10 + d;
        }
        return neg ? -v : v;
    }
};

// A kernel thread's command: "[name]" from the record's "pid (name".
void kernel_thread_command(std::string_view head, std::string& cmd) {
    size_t k = 0;
    while (k < head.size() && head[k] >= '0' && head[k] <= '9') ++k;
    if (k > 0) {
        while (k < head.size() && is_space(head[k])) ++k;
        if (k < head.size() && head[k] == '(') ++k;
        head.remove_prefix(k);
    }
    cmd.clear();
    cmd.push_back('[');
    cmd.append(head);
    cmd.push_back(']');
}

// One pass over the process directory: a record for each entry that the
// options keep. The buffers are reused from one entry to the next.
class TableWalk {
public:
    TableWalk(const ParseOptions& o, int dfd) : o_(o), dfd_(dfd) {
        if (o.cpu_stats || o.memory_stats || o.elapsed_stats) sysinfo_ = std::make_unique<SysInfo>();
        self_ = ::getpid();
    }

    void entry(const char* name, size_t len);
    std::vector<ProcRecord> take() { return std::move(out_); }

private:
    std::optional<std::string> user_for(uid_t uid);
    void read_command(const char* name, size_t len);
    // False when the record is to be left out.
    bool read_stat(const char* name, size_t len, ProcRecord& r);
    void read_memory(const char* name, size_t len, ProcRecord& r);

    const ParseOptions& o_;
    const int dfd_;
    std::vector<ProcRecord> out_;
    std::unique_ptr<SysInfo> sysinfo_;
    std::unordered_map<uid_t, std::optional<std::string>> names_;
    pid_t self_ = 0;
    std::string cmd_, stat_, mem_;
    char path_[64];
};

void TableWalk::entry(const char* name, size_t len) {
    if (len > 20) return;
    pid_t pid = pid_from_entry(name, len);
    if (pid <= 0) return;
    if (o_.exclude_self && pid == self_) return;
    if (o_.want_pid && *o_.want_pid != pid) return;
    if (o_.exclude_kernel && pid < RESERVED_PIDS) return;
    std::memcpy(path_, name, len);
    path_[len] = '\0';
    struct stat st;
    if (::fstatat(dfd_, path_, &st, 0) != 0) return;  // ended
    if (o_.want_uid && *o_.want_uid != st.st_uid) return;

    ProcRecord r;
    r.pid = pid;
    r.uid = st.st_uid;
    r.user = user_for(st.st_uid);
    read_command(name, len);
    if (!o_.skip_stat && !read_stat(name, len, r)) return;
    if (o_.memory_stats && sysinfo_) read_memory(name, len, r);
    out_.push_back(std::move(r));
}

std::optional<std::string> TableWalk::user_for(uid_t uid) {
    if (uid == 0) return SUPERUSER_NAME;
    if (!o_.resolve_uids) return std::to_string(uid);
    auto it = names_.find(uid);
    if (it == names_.end()) it = names_.emplace(uid, proc::name_for_uid(uid)).first;
    return it->second;
}

void TableWalk::read_command(const char* name, size_t len) {
    cmd_.clear();
    if (o_.skip_cmdline) return;
    proc::read_at(dfd_, rel_path(path_, name, len, "cmdline"), cmd_);
    if (cmd_.empty()) return;
    std::replace(cmd_.begin(), cmd_.end(), '\0', ' ');
    if (is_space(cmd_.back())) {
        size_t e = cmd_.size();
        while (e > 0 && is_space(cmd_[e - 1])) --e;
        cmd_.resize(e);
    }
}

bool TableWalk::read_stat(const char* name, size_t len, ProcRecord& r) {
    if (!proc::read_at(dfd_, rel_path(path_, name, len, "stat"), stat_)) stat_.clear();
    std::string_view fields_text, head;
    if (!proc::stat_fields_part(stat_, fields_text, head)) return false;
    const StatFields f(fields_text);
    if (cmd_.empty()) kernel_thread_command(head, cmd_);
    if (o_.exclude_kernel && f.count > PROC_STAT_PGRP && f.num(PROC_STAT_PGRP) == 0) return false;
    r.has_stat = true;
    r.nice = static_cast<long>(f.num(PROC_STAT_NICE));
    r.state = f.count > PROC_STAT_STATE ? std::string(f.field[PROC_STAT_STATE]) : std::string();
    r.ppid = static_cast<pid_t>(f.num(PROC_STAT_PPID));
    r.command = cmd_;
    if (o_.cpu_stats && sysinfo_)
        r.cpu = sysinfo_->calculate_percent_cpu_from_ticks(
            double(f.num(PROC_STAT_STARTTIME)), double(f.num(PROC_STAT_UTIME)) + double(f.num(PROC_STAT_STIME)));
    if (o_.elapsed_stats && sysinfo_)
        r.elapsed = sysinfo_->calculate_elapsed_from_ticks(double(f.num(PROC_STAT_STARTTIME)));
    return true;
}

// The second statm field: the resident pages.
void TableWalk::read_memory(const char* name, size_t len, ProcRecord& r) {
    if (!proc::read_at(dfd_, rel_path(path_, name, len, "statm"), mem_)) return;
    size_t a = mem_.find_first_not_of(" \t\n");
    size_t b = a == std::string::npos ? a : mem_.find_first_of(" \t\n", a);
    size_t c = b == std::string::npos ? b : mem_.find_first_not_of(" \t\n", b);
    if (c == std::string::npos) return;
    size_t d = mem_.find_first_of(" \t\n", c);
    std::string second = mem_.substr(c, d == std::string::npos ? std::string::npos : d - c);
    r.mem = sysinfo_->calculate_percent_memory_from_rsspages(std::strtod(second.c_str(), nullptr));
}

}  // namespace

std::vector<ProcRecord> fast_parse_ps(const ParseOptions& o) {
    if (!proc_readable()) return parse_ps(o);
    proc::check_skip_stat(o);

    int dfd = proc::open_dir(proc::proc_root());
    if (dfd < 0) return {};
    FdGuard dg(dfd);

    TableWalk walk(o, dfd);
    if (o.want_pid) {
        // One process: no need to walk the directory.
        if (*o.want_pid <= 0) return walk.take();
        std::string s = std::to_string(*o.want_pid);
        walk.entry(s.c_str(), s.size());
    } else {
        proc::for_each_numeric_entry(dfd, [&walk](const char* name, size_t len) { walk.entry(name, len); });
    }
    return walk.take();
}

std::optional<ProcRecord> get_pid_info(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    ParseOptions o;
    o.want_pid = pid;
    o.resolve_uids = true;
    o.memory_stats = true;
    o.cpu_stats = true;
    o.elapsed_stats = true;
    o.exclude_self = false;
    auto recs = fast_parse_ps(o);
    if (recs.empty()) return std::nullopt;
    return recs.front();
}

std::vector<pid_t> _get_child_pids(pid_t ppid, const std::vector<ProcRecord>& records) {
    std::vector<pid_t> kids;
    for (const auto& r : records)
        if (r.has_stat && r.ppid == ppid && r.pid != ppid) kids.push_back(r.pid);
    std::vector<pid_t> out = kids;
    for (pid_t k : kids) {
        auto sub = _get_child_pids(k, records);
        out.insert(out.end(), sub.begin(), sub.end());
    }
    return out;
}

std::vector<pid_t> get_child_pids(const std::vector<pid_t>& ppids) {
    ParseOptions o;
    o.skip_cmdline = true;
    o.resolve_uids = false;
    o.memory_stats = false;
    o.cpu_stats = false;
    o.elapsed_stats = false;
    auto recs = fast_parse_ps(o);
    std::vector<pid_t> out;
    std::unordered_set<pid_t> seen;
    for (pid_t p : ppids)
        for (pid_t c : _get_child_pids(p, recs))
            if (seen.insert(c).second) out.push_back(c);
    return out;
}

// ---- search by name --------------------------------------------------------
std::string get_known_interpreters_regex_text() {
    std::string text = "(?:";
    const auto& names = settings().interpreters;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) text += '|';
        for (char c : names[i]) {
            if (std::strchr("\\^$.|?*+()[]{}", c)) text += '\\';
            text += c;
        }
    }
    return text + ")";
}

std::regex get_known_interpreters_regex() { return std::regex(get_known_interpreters_regex_text()); }

bool _proc_matches_regex(const ProcName& name, std::string first_word, std::vector<std::string> secondary_words,
                         const std::string& file) {
    NameMatcher m(name);
    return matches_core(
        m, std::move(first_word),
        [&]() -> std::string {
            for (const auto& w : secondary_words)
                if (w.empty() || w.front() != '-') return w;
            return {};
        },
        file);
}

std::vector<pid_t> get_pids_by_name(const ProcName& name, const AllowedOwners& allowed_owners) {
    std::vector<pid_t> out;
    if (name.empty()) return out;
    OwnerSet owners = build_owner_set(allowed_owners);
    NameMatcher m(name);
    if (m.matches_empty()) return out;  // would match every process

    int dfd = proc_readable() ? proc::open_dir(proc::proc_root()) : -1;
    if (dfd >= 0) {
        FdGuard dg(dfd);
        // Scratch buffer reused across reads of /proc.
        static thread_local std::string cmd;
        char path[64];
        char link[PATH_MAX + 1];
        proc::for_each_numeric_entry(dfd, [&](const char* ent, size_t len) {
            if (len > 20) return;
            pid_t pid = pid_from_entry(ent, len);
            if (pid < RESERVED_PIDS) return;
            ssize_t n = ::readlinkat(dfd, rel_path(path, ent, len, "exe"), link, PATH_MAX);
            if (n <= 0) return;  // kernel thread, gone, or not ours to read
            path[len] = '\0';
            struct stat st;
            if (::fstatat(dfd, path, &st, 0) != 0) return;
            if (!owners.allows(st.st_uid)) return;
            if (!proc::read_at(dfd, rel_path(path, ent, len, "cmdline"), cmd)) return;
            Words words(cmd);
            std::string_view w0;
            if (!words.next(w0)) return;
            std::string first = proc::getbasename(w0);
            if (first.empty()) return;
            std::string_view target(link, static_cast<size_t>(n));
            constexpr std::string_view deleted = " (deleted)";
            if (target.size() > deleted.size() && target.substr(target.size() - deleted.size()) == deleted)
                target.remove_suffix(deleted.size());
            size_t slash = target.rfind('/');
            std::string_view file = slash == std::string_view::npos ? target : target.substr(slash + 1);
            if (matches_core(
                    m, std::move(first), [&] { return first_secondary_of(words); }, file))
                out.push_back(pid);
        });
        return out;
    }

    ParseOptions o;
    o.exclude_kernel = true;
    for (const auto& r : fast_parse_ps(o)) {
        if (!owners.allows(r.uid)) continue;
        Words words(r.command);
        std::string_view w0;
        if (!words.next(w0)) continue;
        std::string first = proc::getbasename(w0);
        std::string bin = proc::getbin(r.pid);
        size_t slash = bin.rfind('/');
        std::string file = slash == std::string::npos ? bin : bin.substr(slash + 1);
        if (first.empty()) continue;
        if (matches_core(
                m, std::move(first), [&] { return first_secondary_of(words); }, file))
            out.push_back(r.pid);
    }
    return out;
}

std::string getbasename(std::string_view word) {
    if (word.empty()) return {};
    auto sp = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    if (std::any_of(word.begin(), word.end(), sp)) {
        size_t e = 0;
        while (e < word.size() && !sp(word[e])) ++e;
        word = word.substr(0, e);
    }
    if (!word.empty() && word.front() == '/') {
        while (!word.empty() && word.back() == '/') word.remove_suffix(1);
        size_t slash = word.rfind('/');
        return std::string(slash == std::string_view::npos ? word : word.substr(slash + 1));
    }
    return std::string(word);
}

std::string getbin(const std::string& pid) {
    if (pid.empty()) return {};
    auto p = proc::parse_pid(pid);
    if (!p) return {};
    char link[PATH_MAX + 1];
    const std::string prefixes[2] = {proc::proc_root(), "/proc"};
    for (int i = 0; i < 2; ++i) {
        if (i == 1 && prefixes[1] == prefixes[0]) break;
        std::string path = prefixes[i] + "/" + pid + "/exe";
        ssize_t n = ::readlink(path.c_str(), link, PATH_MAX);
        if (n <= 0) continue;
        std::string_view t(link, static_cast<size_t>(n));
        size_t ws = t.find_first_of(" \t\n\r\f\v");
        return std::string(t.substr(0, ws));
    }
    return {};
}

std::string getbin(pid_t pid) { return pid > 0 ? getbin(std::to_string(pid)) : std::string(); }

}  // namespace norvik::proc
