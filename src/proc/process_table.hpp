// The process table, read straight from the proc filesystem, and the search
// for processes by program name. When /proc cannot be read the whole request
// goes to the fallback parser (the `ps` program).
#pragma once

#include <unistd.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace norvik::proc {

// ---- settings ------------------------------------------------------------
// When false, /proc is never read and the fallback parser answers.
bool READ_PROC();
void set_READ_PROC(bool value);
// Lowest pid that name matching and kernel exclusion consider.
inline constexpr pid_t RESERVED_PIDS = 300;
// Programs whose first real argument names the program that actually runs.
const std::vector<std::string>& KNOWN_INTERPRETERS();
void set_KNOWN_INTERPRETERS(std::vector<std::string> names);

// Positions in the stat record after the command name.
inline constexpr int PROC_STAT_STATE = 0;
inline constexpr int PROC_STAT_PPID = 1;
inline constexpr int PROC_STAT_PGRP = 2;
inline constexpr int PROC_STAT_UTIME = 11;
inline constexpr int PROC_STAT_STIME = 12;
inline constexpr int PROC_STAT_NICE = 16;
inline constexpr int PROC_STAT_STARTTIME = 19;

// Fixed owner name of uid 0.
inline constexpr const char* SUPERUSER_NAME = "root";

// ---- records -------------------------------------------------------------
struct ProcRecord {
    pid_t pid = 0;
    // Owner name: "root" for uid 0; with resolve_uids the password-database
    // name (nullopt when there is none); otherwise the uid as text.
    std::optional<std::string> user;
    uid_t uid = 0;
    // The stat-based fields; has_stat is false with skip_stat.
    bool has_stat = false;
    long nice = 0;
    std::string state;  // one-letter run state
    pid_t ppid = 0;
    std::string command;            // command line as one line, or "[name]" for kernel threads
    std::optional<double> mem;      // memory_stats
    std::optional<double> cpu;      // cpu_stats
    std::optional<double> elapsed;  // elapsed_stats (seconds)
};

struct ParseOptions {
    bool resolve_uids = false;
    bool memory_stats = false;
    bool elapsed_stats = false;
    bool cpu_stats = false;
    bool exclude_self = false;
    bool exclude_kernel = false;
    std::optional<pid_t> want_pid;
    std::optional<uid_t> want_uid;
    bool skip_cmdline = false;
    bool skip_stat = false;
};

// The records in /proc directory order. Conflicting options with skip_stat
// raise norvik::PlainError. An unopenable proc directory gives an empty list.
std::vector<ProcRecord> fast_parse_ps(const ParseOptions& options = {});
// The fallback: the same records from the `ps` program.
std::vector<ProcRecord> parse_ps(const ParseOptions& options = {});

std::optional<ProcRecord> get_pid_info(pid_t pid);
// Every descendant of the given pids, children before grandchildren, each once.
std::vector<pid_t> get_child_pids(const std::vector<pid_t>& ppids);
std::vector<pid_t> _get_child_pids(pid_t ppid, const std::vector<ProcRecord>& records);

// ---- search by name ------------------------------------------------------
// A program name, a list of program names, or a compiled pattern (which is
// used as it is, with search semantics).
class ProcName {
public:
    ProcName() = default;
    ProcName(const char* name) : v_(std::string(name ? name : "")) {}
    ProcName(std::string name) : v_(std::move(name)) {}
    ProcName(std::vector<std::string> names) : v_(std::move(names)) {}
    ProcName(std::regex pattern) : v_(std::move(pattern)) {}

    bool is_pattern() const { return std::holds_alternative<std::regex>(v_); }
    bool is_list() const { return std::holds_alternative<std::vector<std::string>>(v_); }
    bool empty() const;  // no name at all
    // The name for display: the name, or the list joined with ", ", or "pattern".
    std::string display_name() const;
    // The plain name given (first of a list); "" for a pattern.
    std::string plain_name() const;
    const std::variant<std::string, std::vector<std::string>, std::regex>& value() const { return v_; }

private:
    std::variant<std::string, std::vector<std::string>, std::regex> v_;
};

// Allowed owners: user names and/or uids as text; nullopt = any owner.
using AllowedOwners = std::optional<std::vector<std::string>>;

// Pids (directory order) whose process runs the named program. For a caller
// whose effective uid is not 0, only its own processes are considered.
std::vector<pid_t> get_pids_by_name(const ProcName& name, const AllowedOwners& allowed_owners = std::nullopt);

// "(?:perl|python|...)" built from KNOWN_INTERPRETERS.
std::regex get_known_interpreters_regex();
std::string get_known_interpreters_regex_text();

// One process against a name (exposed for tests).
bool _proc_matches_regex(const ProcName& name, std::string first_word, std::vector<std::string> secondary_words,
                         const std::string& file);

// ---- small helpers shared by the process modules --------------------------
// A pid from text: all digits, no sign, no overflow, > 0. Anything else is nullopt.
std::optional<pid_t> parse_pid(std::string_view text);
// True when the signal may go to this pid at all (never 0, 1 or negative).
inline bool is_signalable_pid(pid_t pid) { return pid > 1; }
// The state letter of a live process from the kernel's /proc/<pid>/stat
// ("" when unreadable). Probes of real pids use the real mount, whatever
// proc_root() says.
std::string read_state_letter(pid_t pid);
// Field 22 of a stat record: the start time in clock ticks after boot. It
// tells a process from a later one that was given the same pid.
std::optional<std::uint64_t> stat_start_time(std::string_view record);
// The same from the kernel's /proc/<pid>/stat; nullopt when gone.
std::optional<std::uint64_t> read_start_time(pid_t pid);

// Alive in the sense of every liveness probe: signal 0 reaches it (or is
// refused for permission) and it is not a zombie.
bool pid_is_alive(pid_t pid);

// Options that need the stat record cannot go with skip_stat: raises.
void check_skip_stat(const ParseOptions& o);

// Closes a /proc descriptor on every way out of a scan.
struct FdGuard {
    int fd;
    explicit FdGuard(int f) : fd(f) {}
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
};

// User lookups for the process modules (password-entry cache).
std::optional<uid_t> uid_for_user(const std::string& name);
std::optional<std::string> name_for_uid(uid_t uid);

// Whole-file read relative to a directory descriptor into a reused buffer;
// false when the file cannot be opened.
bool read_at(int dirfd, const char* path, std::string& out);
// Calls fn(name, length) for every all-digit entry of an open directory, in
// directory order (getdents64 into a fixed buffer, no allocation).
void for_each_numeric_entry(int dirfd, const std::function<void(const char*, size_t)>& fn);
// open(O_RDONLY|O_DIRECTORY|O_CLOEXEC); -1 on failure.
int open_dir(const std::string& path);
// The text after the last ')' of a stat record, with one following space dropped.
// False when there is no ')'.
bool stat_fields_part(std::string_view record, std::string_view& fields, std::string_view& head);

// The program's base name for one command-line word.
std::string getbasename(std::string_view word);

// Path of the executable the process runs, "" when unknown.
std::string getbin(pid_t pid);
std::string getbin(const std::string& pid);
}  // namespace norvik::proc
