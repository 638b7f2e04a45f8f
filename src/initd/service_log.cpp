#include "initd/service_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <regex>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/service_name.hpp"
#include "os/os.hpp"
#include "systemd/units.hpp"
#include "run/saferun_errors.hpp"
#include "run/saferun.hpp"
#include "foundation/text.hpp"

namespace norvik::initd {

namespace {

// The service whose long startup logs are cleaned of warning lines.
constexpr const char* DECRUFT_SERVICE = "httpd";

using foundation::lower;

bool contains_ci(const std::string& hay, const std::string& needle) {
    return lower(hay).find(needle) != std::string::npos;
}

std::string regex_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (std::strchr("\\^$.|?*+()[]{}-/", c)) out += '\\';
        out += c;
    }
    return out;
}

// Lines at "\n", without the empty ones at the end.
std::vector<std::string> split_lines(const std::string& text) {
    auto lines = run::split_lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

bool is_blank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c); });
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// "[ \t]*Warning:" followed by at least one character.
bool plain_warning(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return line.compare(i, 8, "Warning:") == 0 && line.size() > i + 8;
}

// "\S+[ \t]*Warning:" followed by at least one character.
bool word_warning(const std::string& line) {
    for (size_t w = line.find("Warning:", 1); w != std::string::npos; w = line.find("Warning:", w + 1)) {
        if (line.size() <= w + 8) break;
        size_t end = w;
        while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
        if (end == 0) continue;
        bool ok = true;
        for (size_t i = 0; i < end; ++i)
            if (is_space(line[i])) ok = false;
        if (ok) return true;
    }
    return false;
}

// "\[[^\]]+\] \[warn\] " followed by at least one character.
bool bracket_warn(const std::string& line) {
    if (line.empty() || line[0] != '[') return false;
    size_t close = line.find(']', 1);
    if (close == std::string::npos || close == 1) return false;
    return line.compare(close, 9, "] [warn] ") == 0 && line.size() > close + 9;
}

std::string remove_lines(const std::string& text, bool (*pred)(const std::string&)) {
    // text starts with "\n"; every "\n<line>" whose line matches goes.
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos + 1);
        size_t end = nl == std::string::npos ? text.size() : nl;
        if (text[pos] == '\n' && pred(text.substr(pos + 1, end - pos - 1))) {
            pos = end;
            continue;
        }
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out;
}

void add_error(std::vector<ReadError>& errs, const char* op, const ReadLogOptions& o, const std::string& err) {
    errs.push_back({op, o.file.empty() ? o.path : o.file, o.path, err});
}

struct PlanEntry {
    std::string file;
    std::size_t max_messages;
    std::size_t read_bytes;
};

void plan_add(std::vector<PlanEntry>& plan, const std::string& file, std::size_t max, std::size_t bytes) {
    for (auto& e : plan) {
        if (e.file == file) {
            e.max_messages = max;
            e.read_bytes = bytes;
            return;
        }
    }
    plan.push_back({file, max, bytes});
}

constexpr const char* EARLIER_LINES_NOTE = "(earlier lines are not shown)\n";

// The last `max` lines of text, after a note when anything was left out
// (or when the text is already only the tail of a longer one).
std::string last_lines(const std::string& text, std::size_t max, bool already_cut) {
    // `cut` is the line end just before the earliest line kept so far.
    std::size_t cut = text.size();
    if (cut > 0 && text[cut - 1] == '\n') --cut;
    for (std::size_t kept = 0; cut != std::string::npos && cut > 0; ++kept) {
        if (kept == max) return EARLIER_LINES_NOTE + text.substr(cut + 1);
        cut = text.rfind('\n', cut - 1);
    }
    return already_cut ? EARLIER_LINES_NOTE + text : text;
}

std::string unrooted(const std::string& p) {
    const std::string& root = foundation::root();
    if (!root.empty() && p.rfind(root, 0) == 0) return p.substr(root.size());
    return p;
}

}  // namespace

std::string STARTUP_LOG_DIR() { return foundation::startup_log_dir(); }
std::string LOG_DIR() { return foundation::services_log_dir(); }

std::string get_service_name_from_legacy_name(const std::string& service) {
    if (contains_ci(service, "ftp")) return "ftpd";
    if (contains_ci(service, "exim")) return "exim";
    if (service == "httpd") return "apache";
    if (service == "mysql") return "mysqld";
    if (service == "postgresql") return "postgres";
    return service;
}

std::string _decruft_log_for_service(const std::string& service, std::string text) {
    if (service != DECRUFT_SERVICE || text.size() <= LOG_READ_BYTES) return text;
    text.insert(0, "\n");
    text = remove_lines(text, plain_warning);
    text = remove_lines(text, word_warning);
    text = remove_lines(text, bracket_warn);
    if (!text.empty() && text[0] == '\n') text.erase(0, 1);
    return text;
}

namespace {

// systemd may report a unit failed before journald has read what its
// processes wrote; a sync makes journald take in everything already queued
// before it answers. Bounded: a journal that does not answer costs at most
// this, and the display then shows what there is.
constexpr double JOURNAL_SYNC_TIMEOUT = 3;
// Enough for the last two attempts of a unit that restarts on failure.
constexpr std::size_t FAILED_START_JOURNAL_LINES = 20;

// The unit's own last journal lines of this boot, after a sync: systemd's
// status display keeps to the unit's latest invocation, and a unit that
// restarts on failure has begun a new one, without the daemon's words, by
// the time a failed start is reported. nullopt when journalctl fails.
std::optional<std::string> unit_journal_after_sync(const std::string& unit) {
    try {
        run::Options sync;
        sync.program = foundation::journalctl();
        sync.args = {"--sync"};
        sync.keep_env = true;
        sync.extra_env = systemd::systemctl_env();
        sync.timeout = JOURNAL_SYNC_TIMEOUT;
        run::Object synced(std::move(sync));

        run::Options o;
        o.program = foundation::journalctl();
        o.args = {"--no-pager", "--quiet", "--boot", "--lines=" + std::to_string(FAILED_START_JOURNAL_LINES),
                  "--unit=" + unit};
        o.keep_env = true;
        o.extra_env = systemd::systemctl_env();
        o.timeout = JOURNAL_SYNC_TIMEOUT;
        run::Object run(std::move(o));
        if (run.exec_failed() || run.wait_status() != 0) return std::nullopt;
        return run.stdout();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

Result fetch_service_startup_log(const std::string& service, bool service_via_systemd, bool after_failure) {
    if (!foundation::is_valid_service_name(service)) return {false, "“" + service + "” is not a valid service name."};
    std::string text;
    bool seeked = false;
    if (service_via_systemd || systemd::has_service_via_systemd(service)) {
        std::optional<std::string> journal;
        if (after_failure) {
            // The journal knows the unit by its own name, not by an alias
            // (mysql -> mariadb).
            auto rec = systemd::get_service_info_via_systemd(service);
            const std::string id = rec["Id"].empty() ? systemd::unit_name(service) : rec["Id"];
            journal = unit_journal_after_sync(id);
        }
        if (journal && !journal->empty()) return {true, last_lines(*journal, STARTUP_LOG_SHOW_LINES, false)};
        run::Options o;
        o.program = foundation::systemctl();
        o.args = {"status", "--no-pager", "--full", systemd::unit_name(service)};
        o.keep_env = true;
        o.extra_env = systemd::systemctl_env();
        o.timeout = 120;
        std::string out;
        try {
            run::Object run(std::move(o));
            if (run.exec_failed())
                return {false, "The system failed to run “" + foundation::systemctl() + "”: " + run.stderr()};
            out = run.stdout();
        } catch (const std::exception& e) {
            return {false, "The system failed to run “" + foundation::systemctl() + "”: " + e.what()};
        }
        // The journal lines follow the first blank line.
        size_t pos = 0;
        bool found = false;
        while (pos < out.size()) {
            size_t nl = out.find('\n', pos);
            std::string line = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            pos = nl == std::string::npos ? out.size() : nl + 1;
            if (is_blank(line)) {
                found = true;
                break;
            }
        }
        text = found ? out.substr(pos) : std::string();
    } else {
        const std::string path = STARTUP_LOG_DIR() + "/" + get_service_name_from_legacy_name(service);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || st.st_size == 0)
            return {false, "There is no startup log for “" + service + "”."};
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return {false, "The system failed to open “" + path + "” because of an error: " + std::strerror(errno)};
        // Only the tail: a start that printed without end must not cost its
        // size in memory or on the screen.
        if (static_cast<std::size_t>(st.st_size) > STARTUP_LOG_SHOW_BYTES)
            seeked = ::lseek(fd, st.st_size - static_cast<off_t>(STARTUP_LOG_SHOW_BYTES), SEEK_SET) >= 0;
        char buf[65536];
        while (text.size() < STARTUP_LOG_SHOW_BYTES) {
            ssize_t n = ::read(fd, buf, std::min(sizeof buf, STARTUP_LOG_SHOW_BYTES - text.size()));
            if (n < 0) {
                if (errno == EINTR) continue;
                int e = errno;
                ::close(fd);
                return {false, "The system failed to read the startup log of “" + service +
                                   "” because of an error: " + std::strerror(e)};
            }
            if (n == 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        // After a seek the first line is only the end of one.
        if (seeked) text.erase(0, text.find('\n') == std::string::npos ? 0 : text.find('\n') + 1);
    }
    return {true, last_lines(_decruft_log_for_service(service, std::move(text)), STARTUP_LOG_SHOW_LINES, seeked)};
}

const std::vector<std::string>& logs_to_check() {
    static const std::vector<std::string> logs = [] {
        std::string maillog = os::maillog_path();
        // The mail log's name as a plan entry: below the log directory it is
        // named relative to it, elsewhere by its full path.
        std::string log_dir = unrooted(LOG_DIR());
        std::string name;
        if (maillog.rfind(log_dir + "/", 0) == 0) {
            static const std::regex first_component("/([^/]+)");
            std::string rest = maillog.substr(log_dir.size());
            std::smatch m;
            if (std::regex_search(rest, m, first_component)) name = rest.substr(1);
        } else if (!maillog.empty() && maillog[0] == '/') {
            name = foundation::rooted(maillog);
        }
        if (name.empty()) throw PlainError("The system could not determine the name of the mail log.");
        return std::vector<std::string>{"messages", "syslog", name};
    }();
    return logs;
}

std::pair<int, std::vector<ReadError>> _read_log(std::string& messages, const ReadLogOptions& opts_in) {
    ReadLogOptions o = opts_in;
    if (o.file.empty()) o.file = o.path;
    if (o.read_bytes == 0) o.read_bytes = LOG_READ_BYTES;
    std::vector<ReadError> errs;
    int fd = ::open(o.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        add_error(errs, "open", o, std::strerror(errno));
        return {0, errs};
    }
    struct stat st {};
    bool seeked = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > o.read_bytes) {
        if (::lseek(fd, st.st_size - static_cast<off_t>(o.read_bytes), SEEK_SET) < 0) {
            add_error(errs, "seek", o, std::strerror(errno));
            ::close(fd);
            return {0, errs};
        }
        seeked = true;
    }
    std::string data(o.read_bytes, '\0');
    std::size_t got = 0;
    int read_errno = 0;
    while (got < o.read_bytes) {
        ssize_t n = ::read(fd, data.data() + got, o.read_bytes - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            read_errno = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (read_errno || got == 0) {
        add_error(errs, "read", o, read_errno ? std::strerror(read_errno) : "The file is empty.");
        return {0, errs};
    }
    data.resize(got);
    auto lines = split_lines(data);
    // After a seek the first line is only the end of one.
    if (seeked && got == o.read_bytes && !lines.empty()) lines.erase(lines.begin());
    if (lines.size() > o.max_messages) lines.erase(lines.begin(), lines.end() - static_cast<long>(o.max_messages));
    std::regex filter(o.log_regex.value_or("."));
    std::string kept;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (!std::regex_search(*it, filter)) continue;
        if (!kept.empty()) kept += "\n";
        kept += *it;
    }
    if (!kept.empty()) {
        if (!messages.empty()) messages += "\n";
        messages += kept;
    }
    return {1, errs};
}

Result fetch_service_log_messages(const std::string& services_to_match, const std::string& command) {
    std::vector<PlanEntry> plan;
    for (const auto& name : logs_to_check()) plan_add(plan, name, MAX_LOG_MESSAGES, LOG_READ_BYTES);
    std::vector<std::string> names;
    const std::string& s = services_to_match;
    if (s.find("ftp") != std::string::npos) {
        names = {"pure-ftpd", "proftpd", "ftpd"};
    } else if (s.find("syslogd") != std::string::npos && !command.empty()) {
        names = {command};
    } else if (contains_ci(s, "exim")) {
        plan_add(plan, "exim_mainlog", 64, 8192);
    } else if (contains_ci(s, "norvik_php_fpm")) {
        plan_add(plan, foundation::logs_dir() + "/php-fpm/error.log", 64, 8192);
    } else if (contains_ci(s, "httpd")) {
        plan_add(plan, foundation::apache_error_log(), 4096, 32768);
        names = {"httpd", "apache2"};
    } else if (contains_ci(s, "mysql")) {
        plan_add(plan, foundation::mysql_error_log(), 128, 8192);
        names = {"mysqld"};
    } else if (contains_ci(s, "named")) {
        // The name server writes only to syslog, and its fatal line comes a
        // few lines before its last ones.
        for (const auto& name : logs_to_check()) plan_add(plan, name, 64, 16384);
        names = {"named"};
    }
    for (const auto& n : names)
        if (!foundation::is_valid_service_name(n)) return {false, "“" + n + "” is not a valid service name."};
    if (names.empty()) return {true, ""};

    std::string alt;
    for (const auto& n : names) alt += (alt.empty() ? "" : "|") + regex_escape(n);
    // "prog[pid]:", "prog:" or "(prog)" as syslog and the services write them.
    const std::string filter = "\\b(?:" + alt + ")\\[\\d+\\]:|\\b(?:" + alt + "):|\\((?:" + alt + ")\\)";

    std::string messages;
    int read = 0;
    std::vector<ReadError> errors;
    for (const auto& e : plan) {
        ReadLogOptions o;
        o.file = e.file;
        o.path = !e.file.empty() && e.file[0] == '/' ? e.file : LOG_DIR() + "/" + e.file;
        o.read_bytes = e.read_bytes;
        o.max_messages = e.max_messages;
        o.log_regex = filter;
        auto [n, errs] = _read_log(messages, o);
        read += n;
        errors.insert(errors.end(), errs.begin(), errs.end());
    }
    if (read == 0) {
        std::string text = "The system could not read any log for “" + services_to_match + "”.";
        for (const auto& e : errors) text += "\n" + e.op + " " + e.path + ": " + e.error;
        return {false, text};
    }
    return {true, messages};
}

Result fetch_log_tail(const std::string& logfile, std::size_t max_messages) {
    std::string messages;
    ReadLogOptions o;
    o.path = logfile;
    o.max_messages = max_messages;
    auto [n, errs] = _read_log(messages, o);
    if (!n) {
        std::string text = "The system failed to read “" + logfile + "”.";
        for (const auto& e : errs) text += "\n" + e.op + " " + e.path + ": " + e.error;
        return {false, text};
    }
    return {true, messages};
}

}  // namespace norvik::initd
