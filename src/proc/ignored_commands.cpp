#include "proc/ignored_commands.hpp"

#include <regex>
#include <string>

namespace norvik::proc {
namespace {

bool contains(std::string_view s, std::string_view word) { return s.find(word) != std::string_view::npos; }

bool search(std::string_view s, const std::regex& re) { return std::regex_search(s.begin(), s.end(), re); }

// Command lines can be as long as the kernel allows, and the library's
// matcher recurses once per character a repetition takes: the tests with a
// repetition are plain scans.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A program name "start<x>" or "stop<x>": the rest of the word must not go
// on into a path, so a daemon under a folder such as /opt/stopwatch/ is not
// taken for one of the panel's start or stop commands.
bool is_command_name_tail(std::string_view s, size_t end) {
    if (end >= s.size() || is_space(s[end])) return false;
    for (size_t i = end; i < s.size() && !is_space(s[i]); ++i)
        if (s[i] == '/') return false;
    return true;
}

// "/start<x>" or "/stop<x>" (or, with at_start, at the line's start).
bool has_start_stop_word(std::string_view s, bool at_start) {
    for (std::string_view w : {"start", "stop"}) {
        if (at_start) {
            if (s.substr(0, w.size()) == w && is_command_name_tail(s, w.size())) return true;
            continue;
        }
        for (size_t at = s.find(w); at != std::string_view::npos; at = s.find(w, at + 1)) {
            if (at > 0 && s[at - 1] == '/' && is_command_name_tail(s, at + w.size())) return true;
        }
    }
    return false;
}

// ".../3rdparty/bin/spamd" or ".../3rdparty/perl/<digits>/bin/spamd".
bool is_bundled_spamd(std::string_view s) {
    static constexpr std::string_view dir = "/3rdparty", perl = "/perl/", bin = "/bin/spamd";
    for (size_t at = s.find(dir); at != std::string_view::npos; at = s.find(dir, at + 1)) {
        std::string_view rest = s.substr(at + dir.size());
        if (rest.substr(0, bin.size()) == bin) return true;
        if (rest.substr(0, perl.size()) != perl) continue;
        size_t d = perl.size();
        while (d < rest.size() && rest[d] >= '0' && rest[d] <= '9') ++d;
        if (d > perl.size() && rest.substr(d, bin.size()) == bin) return true;
    }
    return false;
}

// "perl", one or more blanks, then `path` later on the same line.
bool perl_runs_from(std::string_view s, std::string_view path) {
    for (size_t at = s.find("perl"); at != std::string_view::npos; at = s.find("perl", at + 1)) {
        size_t b = at + 4;
        if (b >= s.size() || !is_space(s[b])) continue;
        while (b < s.size() && is_space(s[b])) ++b;
        size_t eol = s.find_first_of("\n\r", b);
        std::string_view line = s.substr(b, eol == std::string_view::npos ? std::string_view::npos : eol - b);
        if (line.find(path) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace

bool should_ignore_this_command(std::string_view cmd) {
    // The log-tail daemon's workers retitle themselves "nklogtaild - <job>".
    static const std::regex logtail_worker(R"(\bnklogtaild - [A-Za-z])");
    if (contains(cmd, "nklogtaild") && search(cmd, logtail_worker)) return true;

    // The mail server's helper processes.
    static const std::regex mail_aux(R"(\bdovecot/(?:anvil|log|pop|config|lmtp|imap|auth)\b)");
    if (contains(cmd, "dovecot") && search(cmd, mail_aux)) return true;

    // The panel's own start/stop commands.
    if ((contains(cmd, "start") || contains(cmd, "stop")) &&
        (has_start_stop_word(cmd, true) || has_start_stop_word(cmd, false)))
        return true;

    // Tools that name a service without being it.
    for (std::string_view w : {"restartsrv", "servmon", "strace", "ltrace", "gdb "})
        if (contains(cmd, w)) return true;

    // The panel's scripts run by the interpreter (but not the spam filter
    // daemon shipped with the panel's own interpreter).
    if (contains(cmd, "perl") && !is_bundled_spamd(cmd) &&
        (perl_runs_from(cmd, "/scripts") || perl_runs_from(cmd, "/usr/local/norvik")))
        return true;

    // Viewers and searches over a service's files.
    for (std::string_view w : {"grep ", "tail ", "less ", "vim "})
        if (contains(cmd, w)) return true;
    return false;
}

}  // namespace norvik::proc
