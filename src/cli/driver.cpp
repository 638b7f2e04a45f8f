#include "cli/driver.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "config/nkconf.hpp"
#include "output/formatted_html.hpp"
#include "output/formatted_terminal.hpp"
#include "cli/report.hpp"

namespace norvik::restartsrv {

namespace {
std::string& program_path_storage() {
    static std::string path;
    return path;
}
}  // namespace

std::vector<std::string>& argv() {
    static std::vector<std::string> list;
    return list;
}

const std::string& program_path() { return program_path_storage(); }
void set_program_path(const std::string& path) { program_path_storage() = path; }

namespace {
// Set while is_query_request parses: the check-mode header is not its to print.
bool g_quiet_parse = false;
}  // namespace

std::vector<std::string> _get_argv() { return argv(); }
void _set_argv(std::vector<std::string> list) { argv() = std::move(list); }

// ---------------------------------------------------------------------------
// Option parsing with pass-through: recognised options are removed, anything
// else stays where it was. Long names may be given with one or two dashes, in
// any case, abbreviated to a unique prefix, and negated as --no-X / --noX
// where the option allows it.

namespace {

// A switch is a flag that may also carry a yes/no value (--graceful=0).
enum class Kind { Flag, Value, Switch };

// The words a switch takes as its value, given inline or as the next word.
bool is_switch_value(const std::string& word) {
    static const char* const words[] = {"0", "1", "yes", "no", "true", "false", "on", "off"};
    std::string w;
    for (char c : word) w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::any_of(std::begin(words), std::end(words), [&](const char* x) { return w == x; });
}

struct OptionSpec {
    const char* name;
    Kind kind;
    bool negatable;
};

const OptionSpec OPTIONS[] = {
    {"status", Kind::Flag, true},   {"check", Kind::Flag, true},
    {"verbose", Kind::Flag, true},  {"debug", Kind::Flag, true},
    {"restart-attempt", Kind::Value, false},
    {"stop", Kind::Flag, true},     {"reload", Kind::Flag, true},
    {"restart", Kind::Flag, true},  {"graceful", Kind::Switch, true},
};

struct Spelling {
    std::string text;
    const OptionSpec* option;
    bool negated;
};

const std::vector<Spelling>& spellings() {
    static const std::vector<Spelling> all = [] {
        std::vector<Spelling> v;
        for (const auto& o : OPTIONS) {
            v.push_back({o.name, &o, false});
            if (o.negatable) {
                v.push_back({std::string("no") + o.name, &o, true});
                v.push_back({std::string("no-") + o.name, &o, true});
            }
        }
        return v;
    }();
    return all;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The option a name stands for: an exact spelling, else the one option
// (and sense) that every spelling starting with it shares.
const Spelling* find_spelling(const std::string& name) {
    for (const auto& s : spellings())
        if (s.text == name) return &s;
    const Spelling* found = nullptr;
    for (const auto& s : spellings()) {
        if (s.text.compare(0, name.size(), name) != 0) continue;
        if (found && (found->option != s.option || found->negated != s.negated)) return nullptr;
        if (!found) found = &s;
    }
    return found;
}

}  // namespace

std::vector<std::string> option_spellings() {
    std::vector<std::string> v;
    for (const auto& sp : spellings()) v.push_back(sp.text);
    return v;
}

bool parseargv_takes(const std::string& name) { return !name.empty() && find_spelling(name) != nullptr; }

ParsedArgs parseargv() {
    ParsedArgs r;
    std::vector<std::string> copy = _get_argv();
    std::vector<std::string> rest;

    auto handle = [&](const OptionSpec& o, bool value, const std::string& text) {
        std::string n = o.name;
        if (n == "status") r.status = value;
        else if (n == "check") r.check = value;
        else if (n == "verbose") r.verbose = value ? 1 : 0;
        else if (n == "debug") r.verbose = value ? 2 : 0;
        else if (n == "restart-attempt") r.restart_attempts = text;
        else if (n == "graceful") r.graceful = value ? (text.empty() ? "1" : text) : "0";
        else if (n == "stop" || n == "reload") {
            r.restart = value ? (n == "stop" ? STOP : RELOAD) : RESTART;
            r.check = false;
            r.status = false;
        } else if (n == "restart") {
            if (value) {
                r.restart = RESTART;
                r.check = false;
                r.status = false;
            } else {
                r.restart = 0;
            }
        }
    };

    for (size_t i = 0; i < copy.size(); ++i) {
        const std::string& arg = copy[i];
        if (arg == "--") {
            // Everything from the terminator on is left alone.
            rest.insert(rest.end(), copy.begin() + static_cast<std::ptrdiff_t>(i), copy.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            rest.push_back(arg);
            continue;
        }
        std::string body = arg.substr(arg[1] == '-' ? 2 : 1);
        std::optional<std::string> inline_value;
        if (auto eq = body.find('='); eq != std::string::npos) {
            inline_value = body.substr(eq + 1);
            body.resize(eq);
        }
        const Spelling* sp = body.empty() ? nullptr : find_spelling(lower(body));
        if (!sp) {
            rest.push_back(arg);
            continue;
        }
        if (sp->option->kind == Kind::Flag) {
            if (inline_value) {  // a flag given a value is not ours
                rest.push_back(arg);
                continue;
            }
            handle(*sp->option, !sp->negated, "");
            continue;
        }
        if (sp->option->kind == Kind::Switch) {
            // --no-X takes no value; --X takes a yes/no word inline or next.
            if (sp->negated && inline_value) {
                rest.push_back(arg);
                continue;
            }
            std::string v = inline_value.value_or("");
            if (!sp->negated && !inline_value && i + 1 < copy.size() && is_switch_value(copy[i + 1])) v = copy[++i];
            handle(*sp->option, !sp->negated, v);
            continue;
        }
        if (inline_value) {
            handle(*sp->option, true, *inline_value);
            continue;
        }
        if (i + 1 < copy.size() && (copy[i + 1].empty() || copy[i + 1][0] != '-')) {
            handle(*sp->option, true, copy[i + 1]);
            ++i;
            continue;
        }
        rest.push_back(arg);  // a value option without its value
    }
    _set_argv(std::move(rest));

    if (r.status || r.check) {
        r.restart = 0;
        r.graceful.reset();
        r.restart_attempts.reset();
    } else if (!r.restart) {
        // Asking for no restart asks for the status.
        r.status = true;
        r.graceful.reset();
        r.restart_attempts.reset();
    }

    if (r.check && !g_quiet_parse) {
        const char* header = std::getenv("RESTARTSRV_CHECKMODE_HEADER");
        if (header && *header && std::string(header) != "0" && report::json_mode()) {
            norvik::Output().message(output::TYPE_HEADER, CHECKMODE_HEADER_LINE);
        } else if (header && *header && std::string(header) != "0") {
            std::fputs(CHECKMODE_HEADER_LINE, stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }
    return r;
}

namespace {
ParsedArgs parse_quietly(const std::vector<std::string>& args) {
    std::vector<std::string> saved = argv();
    argv() = args;
    g_quiet_parse = true;
    ParsedArgs r;
    try {
        r = parseargv();
    } catch (...) {
        g_quiet_parse = false;
        argv() = std::move(saved);
        throw;
    }
    g_quiet_parse = false;
    argv() = std::move(saved);
    return r;
}
}  // namespace

bool is_query_request(const std::vector<std::string>& args) {
    ParsedArgs r = parse_quietly(args);
    return r.status || r.check;
}

std::string requested_action(const std::vector<std::string>& args) {
    ParsedArgs r = parse_quietly(args);
    if (r.check) return "CHECK";
    if (r.status) return "STATUS";
    return r.restart == STOP ? "STOP" : r.restart == RELOAD ? "RELOAD" : "RESTART";
}

std::shared_ptr<norvik::Output> get_formatted_output_object(const std::vector<std::string>& args) {
    // A panel asked for JSON lines; the environment, so that no argument
    // word can clash with it.
    if (report::json_mode()) return std::make_shared<norvik::Output>();
    for (const auto& a : args)
        if (a.find("html") != std::string::npos) return std::make_shared<output::formatted::HTML>();
    return std::make_shared<output::formatted::Terminal>();
}

const std::vector<std::string>& path_directories() {
    static const std::vector<std::string> dirs = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                                  "/usr/bin",        "/sbin",          "/bin"};
    return dirs;
}

void setuppath() {
    std::string path;
    for (const auto& d : path_directories()) {
        struct stat st;
        if (::stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (!path.empty()) path += ':';
        path += d;
    }
    ::setenv("PATH", path.c_str(), 1);
}

std::map<std::string, std::string> loadnkconfig() { return config::loadnkconf::loadnkconf(); }

}  // namespace norvik::restartsrv

// ===========================================================================
// The entry driver.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <regex>

#include "exception/exception.hpp"
#include "foundation/open_file.hpp"
#include "foundation/paths.hpp"
#include "foundation/pw_disk_cache.hpp"
#include "foundation/clock.hpp"
#include "foundation/service_name.hpp"
#include "log/logger.hpp"
#include "output/terminal.hpp"
#include "cli/usage.hpp"
#include "service/lock.hpp"
#include "systemd/units.hpp"
#include "cli/words.hpp"
#include "initd/service_log.hpp"
#include "cli/log_display.hpp"
#include "run/saferun.hpp"
#include "run/setsid.hpp"
#include "services/env.hpp"

namespace norvik::restartsrv {

namespace {

// Fixed texts of the driver.
constexpr const char* PROGRAM_NAME_PATTERN = R"((?:^|/)(start|stop|restartsrv_)([\w\-]+)$)";
constexpr const char* STOP_ACTION = "stop";
constexpr const char* NO_SERVICE_MESSAGE = "No service was named";
constexpr const char* REFUSAL_MESSAGE =
    "Refusing to act on every service at once: name one service (restartsrv_<service>).\n";
constexpr const char* CMDLINE_PLACEHOLDER = "(unknown)";
// A mistyped option is refused with this status before anything is done.
constexpr int MISTYPED_EXIT_STATUS = 2;
constexpr const char* STATUS_HEADING = "Service Status";
constexpr const char* ERROR_HEADING = "Service Error";
constexpr const char* NO_STATUS_TEXT = "No status information is available from ";
constexpr const char* FPM_PATH_MARKER = "apache_php_fpm";
// systemd is stopping a unit whose main process a signal has already ended.
constexpr const char* SYSTEMD_DEACTIVATING = "deactivating";
constexpr const char* SYSTEMD_CODE_KILLED = "killed";
constexpr int TERM_EXIT_STATUS = 143;

// The program-wide state of the entry.
pid_t g_ppid = -1;
std::vector<std::string> g_check_on_argv;
std::unique_ptr<ServiceObject> g_srv;
ServiceFactory g_factory;

// What the TERM handler needs, readable from a signal handler.
std::atomic<int> g_term_lock_fd{-1};
std::atomic<pid_t> g_term_owner{0};

// TERM ends the run at once with 143, INT by INT itself (what a shell
// expects of a program its Ctrl-C ends). The restart lock is an flock: it
// goes when the last descriptor of its open file goes, which _exit does for
// this process; unlocking first also drops it should a forked helper still
// hold a copy. Only the process that took the lock unlocks it.
// What the run waits on ends with it: a detached helper (an init script
// started with its output captured) with its whole session, and the helper
// itself should the signal come before it made that session; a hook or a
// custom action with its process group.
void end_what_the_run_waits_on() {
    int fd = g_term_lock_fd.load();
    if (fd >= 0 && ::getpid() == g_term_owner.load()) ::flock(fd, LOCK_UN);
    pid_t helper = norvik::sys::setsid::waited_session();
    if (helper > 0) {
        ::kill(-helper, SIGTERM);
        ::kill(helper, SIGTERM);
    }
    pid_t child = norvik::saferun::running_child();
    if (child > 0) {
        ::kill(-child, SIGTERM);
        ::kill(child, SIGTERM);
    }
}

extern "C" void term_handler(int) {
    end_what_the_run_waits_on();
    ::_exit(TERM_EXIT_STATUS);
}

extern "C" void int_handler(int sig) {
    end_what_the_run_waits_on();
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

extern "C" void ignore_signal(int) {}

}  // namespace

// A dropped terminal (the admin's SSH session ends) sends HUP, and output to
// it then fails with EIO or EPIPE: none of that may end a run halfway, with
// the service stopped and not yet started. A handler rather than SIG_IGN, so
// that what the run starts gets the default dispositions back at exec.
void install_signal_handlers() {
    struct sigaction sa{};
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
    ::sigaction(SIGPIPE, &sa, nullptr);
    // The two ending handlers block each other: one clean-up at a time.
    struct sigaction end{};
    sigemptyset(&end.sa_mask);
    sigaddset(&end.sa_mask, SIGTERM);
    sigaddset(&end.sa_mask, SIGINT);
    end.sa_flags = 0;
    end.sa_handler = term_handler;
    ::sigaction(SIGTERM, &end, nullptr);
    end.sa_handler = int_handler;
    ::sigaction(SIGINT, &end, nullptr);
    // One that came while the caller held it blocked is taken now, as any
    // later one would be; left blocked, TERM could never end the run.
    sigset_t ours;
    sigemptyset(&ours);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) sigaddset(&ours, sig);
    ::sigprocmask(SIG_UNBLOCK, &ours, nullptr);
}

namespace {

// The end-of-program hook: the service object's own clean-up (it releases
// the restart lock) runs on every ordinary exit.
void discard_service_object() {
    g_term_lock_fd.store(-1);
    g_srv.reset();
}

bool matches(const std::string& text, const char* pattern, bool icase = false) {
    std::regex re(pattern, icase ? std::regex::ECMAScript | std::regex::icase : std::regex::ECMAScript);
    return std::regex_search(text, re);
}

// Words from the command line are tested by hand: the library's regular
// expressions recurse once per character and overflow the stack on a long one.
bool is_action_word(const std::string& word) { return word == "start" || word == "restart" || word == "stop"; }

// The word that may name a custom action ("events" or "--events"), or "".
std::string custom_action_word(const std::string& word) {
    std::string name = word.rfind("--", 0) == 0 ? word.substr(2) : word;
    for (char c : name)
        if (!std::isalpha(static_cast<unsigned char>(c))) return "";
    return name;
}

bool any_arg_equals(const std::vector<std::string>& args, const std::string& word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

bool any_arg_contains(const std::vector<std::string>& args, const std::string& text) {
    return std::any_of(args.begin(), args.end(), [&](const std::string& a) { return a.find(text) != std::string::npos; });
}

// Runs of characters outside '!'..'~' (NULs, controls, spaces, non-ASCII)
// become one space: a log line stays one line whatever the text holds.
std::string squeeze_unprintable(const std::string& in) {
    std::string out;
    bool in_run = false;
    for (char ch : in) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < '!' || c > '~') {
            if (!in_run) out += ' ';
            in_run = true;
        } else {
            out += ch;
            in_run = false;
        }
    }
    return out;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n\f\v");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n\f\v");
    return s.substr(b, e - b + 1);
}

std::string parent_cmdline(pid_t ppid) {
    std::string path = "/proc/" + std::to_string(ppid) + "/cmdline";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CMDLINE_PLACEHOLDER;
    std::string raw;
    char buf[4096];
    while (raw.size() < 65536) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    // The first record only.
    if (auto nl = raw.find('\n'); nl != std::string::npos) raw.resize(nl);
    if (raw.empty()) return CMDLINE_PLACEHOLDER;
    std::string text = squeeze_unprintable(raw);
    // Square brackets frame the fields of a log line; keep them unambiguous.
    std::replace(text.begin(), text.end(), '[', '(');
    std::replace(text.begin(), text.end(), ']', ')');
    return trim(text);
}

void write_invocation_line(const std::vector<std::string>& args) {
    std::string cmdline = parent_cmdline(g_ppid);
    // A host without the panel's log directory gets one; where it cannot be
    // made the line is skipped and the logger writes to standard error.
    (void)make_logs_dir();
    int fd = open_log_for_append(paths::error_log(), 0600);
    if (fd < 0) return;  // no log, no line: never a reason to stop
    std::string joined;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) joined += ' ';
        joined += args[i];
    }
    std::string line = "[" + time::local::localtime2timestamp() + "] " + squeeze_unprintable(program_path()) + " " +
                       trim(squeeze_unprintable(joined)) + " - called by ppid " + std::to_string(g_ppid) + " (" +
                       cmdline + ")\n";
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

std::unique_ptr<ServiceObject> make_service_object(const std::string& service) {
    if (!g_factory) throw PlainError("No service factory is installed.\n");
    return g_factory(service);
}

// Without its own ending the message gets a line end.
std::string with_newline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

// The one line for a name that must not become part of a file name.
void validate_service_or_die(const std::string& service) {
    if (validate::service::is_valid(service)) return;
    std::string shown = squeeze_unprintable(service);
    if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
    throw PlainError("Invalid service name \"" + shown + "\": use 1 to " +
                     std::to_string(validate::service::MAX_LENGTH) +
                     " letters, digits, \"_\" or \"-\", not starting with \"-\".\n");
}

void show_status_message_set(ServiceObject& srv) {
    auto status = srv.service_status();
    std::string body = status ? *status : std::string(NO_STATUS_TEXT) + srv.class_name();
    srv.output_obj().display_message_set(STATUS_HEADING, body);
}

int _show_fpm_status() {
    if (program_path().find(FPM_PATH_MARKER) == std::string::npos || !g_srv) return 0;
    g_srv->status();
    if (!report::json_mode()) std::fputs("\n", stdout);
    std::fflush(stdout);
    return 1;
}

int _show_startup_log_for_srv(ServiceObject& srv, bool after_failure) {
    // The display wants shared ownership; the service object keeps it alive.
    std::shared_ptr<norvik::Output> out(&srv.output_obj(), [](norvik::Output*) {});
    // Under systemd the journal is asked for the unit the back end uses
    // ("cron" for crond), not the panel's name; the service's own logs keep it.
    const std::string unit = srv.service_via_systemd();
    services::log::Display display(srv.service_name(), out, !unit.empty(), unit);
    return display.show_startup_log(after_failure);
}

// The line after a failure shown without --verbose: where its details are.
std::string g_failure_hint;

std::string failure_hint(ServiceObject& srv) {
    const std::string unit = report::unit_of(srv);
    const std::string where =
        !unit.empty() ? "\"journalctl -u " + unit + "\""
                      : "the startup log " + services::log::STARTUP_LOG_DIR() + "/" +
                            services::log::get_service_name_from_legacy_name(srv.service_name());
    return "For the details, run it again with --verbose, or see " + where + ".";
}

// The failure with its XID in the standard log, so that the line on the
// screen can be found there.
void log_failure(const Exception& e) {
    LogEntry entry;
    entry.message = e.to_string();
    entry.level = "error";
    entry.output = 0;
    entry.backtrace = false;
    logger().logger(std::move(entry));
}

void record_error(const Exception& e) {
    auto& f = report::facts();
    f.error_class = e.class_name();
    f.error_text = e.to_string_no_id();
    f.xid = e.id();
}

int refuse_mistyped(const std::vector<words::Mistyped>& list) {
    std::string all;
    for (const auto& m : list) {
        const std::string text = "Unknown option \"" + m.arg + "\": " + words::suggestion(m) + " Nothing was done.";
        report::to_stderr(output::TYPE_ERROR, text);
        all += (all.empty() ? "" : "\n") + text;
    }
    auto& f = report::facts();
    f.refused = true;
    f.error_class = "Usage::MistypedOption";
    f.error_text = all;
    return MISTYPED_EXIT_STATUS;
}

void warn_unknown(const std::vector<std::string>& unknown) {
    for (const auto& u : unknown)
        report::to_stderr(output::TYPE_WARN, "Warning: unknown option \"" + u + "\" is passed on as it is.");
}

bool may_name_custom_action(const words::Mistyped& m) { return !words::custom_action_name(m.arg).empty(); }

std::string success_text(const std::string& action, const std::string& service) {
    if (action == "START") return "The service " + service + " was started.";
    if (action == "STOP") return "The service " + service + " was stopped.";
    if (action == "RESTART") return "The service " + service + " was restarted.";
    if (action == "RELOAD") return "The service " + service + " was reloaded.";
    return "";
}

}  // namespace

void set_service_factory(ServiceFactory factory) { g_factory = std::move(factory); }
ServiceObject* get_current_service() { return g_srv.get(); }

bool _parent_is_systemd() { return g_ppid == 1; }

int _exit_if_triggered_by_systemd_term_or_kill_signal(const std::vector<std::string>& args) {
    std::string unit;
    for (const auto& a : args) {
        if (a.find(SYSTEMD_SERVICE_PREFIX) == std::string::npos) continue;
        unit = a.rfind(SYSTEMD_SERVICE_PREFIX, 0) == 0 ? a.substr(std::string(SYSTEMD_SERVICE_PREFIX).size()) : a;
        break;
    }
    if (unit.empty() || !any_arg_contains(args, "--stop") || !_parent_is_systemd()) return 1;
    auto cs = systemd::get_code_and_signal_via_systemd(unit);
    if (cs.active == SYSTEMD_DEACTIVATING && cs.code == SYSTEMD_CODE_KILLED &&
        (cs.signal == "TERM" || cs.signal == "KILL")) {
        std::string msg = "The main process of " + unit + " was already ended by SIG" + cs.signal +
                          "; there is nothing left to stop.\n";
        std::fputs(msg.c_str(), stderr);
        std::fflush(stdout);
        std::fflush(stderr);
        discard_service_object();
        std::exit(0);
    }
    return 1;
}

std::optional<ProgramName> parse_program_name(const std::string& path) {
    std::smatch m;
    static const std::regex name_re(PROGRAM_NAME_PATTERN);
    // Only the last component can match; a name longer than a file name can
    // be is refused before the (recursive) matcher sees it.
    const std::string last = path.substr(path.rfind('/') + 1);
    if (last.size() > 255 || !std::regex_search(last, m, name_re)) return std::nullopt;
    return ProgramName{m[1].str(), m[2].str()};
}

int run() {
    install_signal_handlers();
    // Colour decisions need the caller's terminal settings, which the
    // daemon environment replaces.
    terminal::capture_environment();
    paths::init();
    // User lookups found by one run are kept on disk for the next.
    pwdiskcache::bind_default();
    capture_lock_wait_from_env();
    services::env::setup_env_for_starting_a_daemon();

    const std::string& path = program_path();
    if (path.find(REFUSAL_MARKER) != std::string::npos) throw PlainError(REFUSAL_MESSAGE);

    auto name = parse_program_name(path);
    if (!name)
        throw PlainError(path + ": the program name must be restartsrv_<service>, start<service> or stop<service>.\n");
    std::string action = name->action;
    std::string service = name->service;

    auto& args = argv();
    if ((service.empty() || service == DEFAULT_SERVICE_NAME) && !args.empty()) {
        service.clear();
        for (const auto& a : args)
            if (a.empty() || a[0] != '-') {
                service = a;
                break;
            }
    }

    if (std::any_of(args.begin(), args.end(), words::is_help_request)) {
        if (words::is_help_request(service)) service.clear();
        report::facts().action = "HELP";
        report::facts().service = service;
        if (report::json_mode()) {
            norvik::Output().out(help::usage_text(service));
            return 0;
        }
        int rc = help::usage(service);
        std::fflush(stdout);
        return rc;
    }

    // A mistyped option must not act as the default action. Options that
    // may be the service's own custom actions wait for its object.
    const std::vector<std::string> user_args = args;
    const words::OptionReview review = words::review_options(user_args);
    const bool review_needs_service =
        std::any_of(review.mistyped.begin(), review.mistyped.end(), may_name_custom_action);
    if (!review.mistyped.empty() && (!review_needs_service || !validate::service::is_valid(service)))
        return refuse_mistyped(review.mistyped);

    {
        std::vector<std::string> before = args;
        for (const auto& a : before)
            if (is_action_word(a)) args.push_back("--" + a);
    }
    if (action == STOP_ACTION) args.push_back(std::string("--") + action);

    _exit_if_triggered_by_systemd_term_or_kill_signal(args);

    if (service.empty()) throw PlainError(std::string(NO_SERVICE_MESSAGE) + ".\n");
    if (is_action_word(service))
        throw PlainError(std::string(NO_SERVICE_MESSAGE) + ": \"" + service + "\" is an action, not a service.\n");
    if (service == RESERVED_SERVICE_WORD) throw PlainError(REFUSAL_MESSAGE);
    // Before anything can turn the name into a file name.
    validate_service_or_die(service);
    report::facts().service = service;
    report::facts().action = requested_action(args);

    // A change needs root; without it every attempt would fail halfway.
    if (::geteuid() != 0 && !is_query_request(args)) {
        auto& f = report::facts();
        f.refused = true;
        f.error_class = "Usage::NotRoot";
        throw PlainError("Changing the service " + service + " needs root: " +
                         program_path().substr(program_path().rfind('/') + 1) +
                         " must be run as root. A --status query works without.\n");
    }

    std::exception_ptr caught;
    std::shared_ptr<Exception> caught_exception;
    try {
        try {
            g_srv = make_service_object(service);
        } catch (...) {
            // No service to offer custom actions: a near miss is a mistake.
            if (review_needs_service) return refuse_mistyped(review.mistyped);
            throw;
        }
        g_term_owner.store(::getpid());
        g_term_lock_fd.store(g_srv->lock_fd());

        if (review_needs_service || !review.unknown.empty()) {
            auto again = words::review_options(user_args, [](const std::string& w) { return g_srv->has_custom_action(w); });
            if (!again.mistyped.empty()) return refuse_mistyped(again.mistyped);
            warn_unknown(again.unknown);
        }

        std::string custom_action;
        for (const auto& a : args) {
            const std::string word = custom_action_word(a);
            if (word.empty() || !g_srv->has_custom_action(word)) continue;
            custom_action = word;
            g_srv->service_argv_action(custom_action);
            break;
        }

        if (custom_action.empty()) {
            std::vector<std::string> call_args;
            if (g_ppid != 1) call_args.push_back(INTERACTIVE_WORD);
            call_args.insert(call_args.end(), args.begin(), args.end());
            g_srv->run_from_argv(call_args);
        } else {
            g_srv->run_custom_action(custom_action);
        }
        // The lock may have been released or retaken meanwhile.
        g_term_lock_fd.store(g_srv->lock_fd());

        if (g_srv->verbose() == 1 && matches(g_srv->service_argv_action(), "^(RESTART|START|RELOAD)$")) {
            show_status_message_set(*g_srv);
            if (!any_arg_contains(args, STATUS_SUPPRESSION_MARKER)) _show_fpm_status();
        }
    } catch (const Exception& e) {
        if (!e.is_service_exception()) throw;
        caught_exception = e.clone();
    }

    if (caught_exception) {
        const Exception& e = *caught_exception;
        const std::string cls = e.class_name();
        record_error(e);
        if (e.type() == "Services::Unknown") throw PlainError(e.to_string_no_id() + "\n");
        if (g_srv && matches(cls, "^Norvik::Exception::Services::(?:NotConfigured|NotInstalled)$") &&
            any_arg_equals(args, ABSENT_IS_SUCCESS_WORD)) {
            report::to_stderr(output::TYPE_WARN, e.to_string());
            return 0;
        }
        log_failure(e);
        if (g_srv && g_srv->verbose() == 1 && !matches(g_srv->service_argv_action(), "^(CHECK|STATUS)$") &&
            !matches(cls, "^Norvik::Exception::Services::(NotConfigured|Disabled|NotInstalled)$")) {
            if (report::json_mode()) {
                g_srv->output_obj().out(cls);
            } else {
                std::fputs((cls + "\n").c_str(), stdout);
                std::fflush(stdout);
            }
            show_status_message_set(*g_srv);
            g_srv->output_obj().display_message_set(ERROR_HEADING, e.to_string());
        } else {
            if (g_srv && g_srv->verbose() != 1 && !matches(g_srv->service_argv_action(), "^(CHECK|STATUS)$") &&
                !matches(cls, "^Norvik::Exception::Services::(NotConfigured|Disabled|NotInstalled)$"))
                g_failure_hint = failure_hint(*g_srv);
            throw PlainError(e.to_string() + "\n");
        }
    }

    if (g_srv && g_srv->verbose() == 1 && !matches(g_srv->service_argv_action(), "^(CHECK|STATUS)$"))
        _show_startup_log_for_srv(*g_srv, caught_exception != nullptr);

    if (!caught_exception && g_srv && g_srv->verbose() == 1) {
        std::string text = success_text(g_srv->service_argv_action(), g_srv->service());
        if (!text.empty()) g_srv->output_obj().success(text);
    }
    if (caught_exception) {
        if (g_srv && g_srv->verbose() == 1)
            g_srv->output_obj().error("The service " + g_srv->service() + " could not complete the requested action; see the messages above.");
        return 255;
    }
    return 0;
}

int run(int argc, char** argv_in) {
    // Before anything can edit the environment.
    report::capture_environment();
    set_program_path(argc > 0 && argv_in[0] ? argv_in[0] : "");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv_in[i] ? argv_in[i] : "");
    argv() = args;

    // Start-up: the invocation line, unless started by init or in check mode.
    g_ppid = ::getppid();
    if (g_ppid <= 0) g_ppid = -1;
    g_check_on_argv.clear();
    for (const auto& a : args)
        if (a.find(CHECK_MODE_MARKER) != std::string::npos) g_check_on_argv.push_back(a);
    if (g_ppid > 1 && g_check_on_argv.empty()) write_invocation_line(args);

    std::atexit(discard_service_object);
    int rc = 255;
    try {
        rc = run();
    } catch (const std::exception& e) {
        std::string text = exception::get_string(e);
        if (text.empty()) text = "Unknown error";
        auto& f = report::facts();
        if (!f.error_text) {
            const auto* typed = dynamic_cast<const Exception*>(&e);
            f.error_class = typed ? typed->class_name() : "PlainError";
            f.error_text = typed ? typed->to_string_no_id() : trim(text);
            if (typed) f.xid = typed->id();
        }
        report::to_stderr(output::TYPE_ERROR, with_newline(text));
        if (!g_failure_hint.empty()) report::to_stderr(output::TYPE_OUT, g_failure_hint);
        rc = 255;
    } catch (...) {
        report::to_stderr(output::TYPE_ERROR, "Unknown error");
        rc = 255;
    }
    report::print_result_record(g_srv.get(), rc);
    std::fflush(stdout);
    std::fflush(stderr);
    discard_service_object();
    return rc;
}

}  // namespace norvik::restartsrv
