#include "cli/driver.hpp"

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
#include "output/output.hpp"
#include "proc/proc_root.hpp"
#include "output/terminal.hpp"
#include "cli/report.hpp"
#include "cli/usage.hpp"
#include "service/factory.hpp"
#include "service/lock.hpp"
#include "systemd/units.hpp"
#include "cli/words.hpp"
#include "initd/service_log.hpp"
#include "cli/log_display.hpp"
#include "run/saferun.hpp"
#include "run/setsid.hpp"
#include "services/env.hpp"
#include "services/exceptions.hpp"

namespace norvik::cli {

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

// The service object of the run: the exit hook and the signal handlers
// must reach it, so it is the one program-wide object.
std::unique_ptr<service::Base> g_srv;

// What the TERM handler needs, readable from a signal handler.
std::atomic<int> g_term_lock_fd{-1};
// Signal handler state: the process that owns the lock.
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
    pid_t helper = norvik::run::waited_session();
    if (helper > 0) {
        ::kill(-helper, SIGTERM);
        ::kill(helper, SIGTERM);
    }
    pid_t child = norvik::run::running_child();
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
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
    ::sigaction(SIGPIPE, &sa, nullptr);
    // The two ending handlers block each other: one clean-up at a time.
    struct sigaction end {};
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

// A service that is not there to act on: not configured or not installed.
bool is_absent(const Exception& e) {
    return dynamic_cast<const services::NotConfigured*>(&e) || dynamic_cast<const services::NotInstalled*>(&e);
}

// A failure of no action: the service is absent or disabled, nothing ran.
bool is_no_action(const Exception& e) { return is_absent(e) || dynamic_cast<const services::Disabled*>(&e); }

bool is_query_action(const std::string& action) { return action == "CHECK" || action == "STATUS"; }

// Words from the command line are tested by hand: the library's regular
// expressions recurse once per character and overflow the stack on a long one.
bool is_action_word(const std::string& word) { return word == "start" || word == "restart" || word == "stop"; }

bool any_arg_contains(const std::vector<std::string>& args, const std::string& text) {
    return std::any_of(args.begin(), args.end(),
                       [&](const std::string& a) { return a.find(text) != std::string::npos; });
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
    std::string path = proc::proc_entry(ppid, "cmdline");
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

// What main was given, and who called: the run's command line.
struct Invocation {
    std::string program_path;
    std::vector<std::string> args;
    pid_t ppid = -1;
    // Decided here only: everything below gets it in the request.
    bool started_by_init() const { return ppid == 1; }
};

void write_invocation_line(const Invocation& inv) {
    const std::vector<std::string>& args = inv.args;
    std::string cmdline = parent_cmdline(inv.ppid);
    // A host without the panel's log directory gets one; where it cannot be
    // made the line is skipped and the logger writes to standard error.
    (void)make_logs_dir();
    int fd = open_log_for_append(foundation::error_log(), 0600);
    if (fd < 0) return;  // no log, no line: never a reason to stop
    std::string joined;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) joined += ' ';
        joined += args[i];
    }
    std::string line = "[" + foundation::localtime2timestamp() + "] " + squeeze_unprintable(inv.program_path) + " " +
                       trim(squeeze_unprintable(joined)) + " - called by ppid " + std::to_string(inv.ppid) + " (" +
                       cmdline + ")\n";
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

// Without its own ending the message gets a line end.
std::string with_newline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

// The one line for a name that must not become part of a file name.
void validate_service_or_die(const std::string& service) {
    if (foundation::is_valid_service_name(service)) return;
    std::string shown = squeeze_unprintable(service);
    if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
    throw PlainError("Invalid service name \"" + shown + "\": use 1 to " +
                     std::to_string(foundation::MAX_SERVICE_NAME_LENGTH) +
                     " letters, digits, \"_\" or \"-\", not starting with \"-\".\n");
}

void show_status_message_set(service::Base& srv) {
    auto status = srv.service_status();
    std::string body = status ? *status : std::string(NO_STATUS_TEXT) + srv.class_name();
    srv.output_obj().display_message_set(STATUS_HEADING, body);
}

void show_fpm_status(const std::string& program_path) {
    if (program_path.find(FPM_PATH_MARKER) == std::string::npos || !g_srv) return;
    g_srv->status();
    if (!cli::json_mode()) std::fputs("\n", stdout);
    std::fflush(stdout);
}

void show_startup_log(service::Base& srv, bool after_failure) {
    // The display wants shared ownership; the service object keeps it alive.
    std::shared_ptr<norvik::Output> out(&srv.output_obj(), [](norvik::Output*) {});
    // Under systemd the journal is asked for the unit the back end uses
    // ("cron" for crond), not the panel's name; the service's own logs keep it.
    const std::string unit = srv.systemd_unit();
    cli::Display display(srv.service_name(), out, !unit.empty(), unit);
    display.show_startup_log(after_failure);
}

// The line after a failure shown without --verbose: where its details are.
std::string g_failure_hint;

std::string failure_hint(service::Base& srv) {
    const std::string unit = cli::unit_of(srv);
    const std::string where = !unit.empty() ? "\"journalctl -u " + unit + "\""
                                            : "the startup log " + initd::STARTUP_LOG_DIR() + "/" +
                                                  initd::get_service_name_from_legacy_name(srv.service_name());
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
    auto& f = cli::facts();
    f.error_class = e.class_name();
    f.error_text = e.to_string_no_id();
    f.xid = e.id();
}

int refuse_mistyped(const std::vector<cli::Mistyped>& list) {
    std::string all;
    for (const auto& m : list) {
        const std::string text = "Unknown option \"" + m.arg + "\": " + cli::suggestion(m) + " Nothing was done.";
        cli::to_stderr(output::TYPE_ERROR, text);
        all += (all.empty() ? "" : "\n") + text;
    }
    auto& f = cli::facts();
    f.refused = true;
    f.error_class = "Usage::MistypedOption";
    f.error_text = all;
    return MISTYPED_EXIT_STATUS;
}

void warn_unknown(const std::vector<std::string>& unknown) {
    for (const auto& u : unknown)
        cli::to_stderr(output::TYPE_WARN, "Warning: unknown option \"" + u + "\" is passed on as it is.");
}

bool may_name_custom_action(const cli::Mistyped& m) { return !cli::custom_action_name(m.arg).empty(); }

std::string success_text(const std::string& action, const std::string& service) {
    if (action == "START") return "The service " + service + " was started.";
    if (action == "STOP") return "The service " + service + " was stopped.";
    if (action == "RESTART") return "The service " + service + " was restarted.";
    if (action == "RELOAD") return "The service " + service + " was reloaded.";
    return "";
}

// systemd stopping a unit whose main process a signal already ended: there
// is nothing left to stop, and the run ends here with 0.
void exit_if_the_unit_is_already_ended(const std::vector<std::string>& args, bool started_by_init) {
    std::string unit;
    for (const auto& a : args) {
        if (a.find(SYSTEMD_SERVICE_PREFIX) == std::string::npos) continue;
        unit = a.rfind(SYSTEMD_SERVICE_PREFIX, 0) == 0 ? a.substr(std::string(SYSTEMD_SERVICE_PREFIX).size()) : a;
        break;
    }
    if (unit.empty() || !any_arg_contains(args, "--stop") || !started_by_init) return;
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
}

}  // namespace

std::optional<ProgramName> parse_program_name(const std::string& path) {
    std::smatch m;
    static const std::regex name_re(PROGRAM_NAME_PATTERN);
    // Only the last component can match; a name longer than a file name can
    // be is refused before the (recursive) matcher sees it.
    const std::string last = path.substr(path.rfind('/') + 1);
    if (last.size() > 255 || !std::regex_search(last, m, name_re)) return std::nullopt;
    return ProgramName{m[1].str(), m[2].str()};
}

namespace {

// What a run needs before it reads a word: its terminal, its tree, the
// daemon environment.
void prepare_the_run() {
    install_signal_handlers();
    // Colour decisions need the caller's terminal settings, which the
    // daemon environment replaces.
    output::capture_environment();
    foundation::init_paths();
    // User lookups found by one run are kept on disk for the next.
    foundation::bind_default_pw_disk_cache();
    service::capture_lock_wait_from_env();
    services::setup_env_for_starting_a_daemon();
}

// The action and the service the program's name and words give.
ProgramName name_the_service(const Invocation& inv) {
    const std::string& path = inv.program_path;
    if (path.find(REFUSAL_MARKER) != std::string::npos) throw PlainError(REFUSAL_MESSAGE);

    auto name = parse_program_name(path);
    if (!name)
        throw PlainError(path + ": the program name must be restartsrv_<service>, start<service> or stop<service>.\n");
    const std::vector<std::string>& args = inv.args;
    if ((name->service.empty() || name->service == DEFAULT_SERVICE_NAME) && !args.empty()) {
        name->service.clear();
        for (const auto& a : args)
            if (a.empty() || a[0] != '-') {
                name->service = a;
                break;
            }
    }
    return *name;
}

int show_help(std::string service) {
    if (cli::is_help_request(service)) service.clear();
    cli::facts().action = "HELP";
    cli::facts().service = service;
    if (cli::json_mode()) {
        norvik::Output().out(cli::usage_text(service));
        return 0;
    }
    int rc = cli::usage(service);
    std::fflush(stdout);
    return rc;
}

// Refuses a change without root.
void refuse_what_cannot_run(const std::string& service, const service::Request& request, const std::string& path) {
    // A change needs root; without it every attempt would fail halfway.
    if (::geteuid() != 0 && !request.is_query()) {
        auto& f = cli::facts();
        f.refused = true;
        f.error_class = "Usage::NotRoot";
        throw PlainError("Changing the service " + service + " needs root: " + path.substr(path.rfind('/') + 1) +
                         " must be run as root. A --status query works without.\n");
    }
}

void check_the_service_word(const std::string& service) {
    if (service.empty()) throw PlainError(std::string(NO_SERVICE_MESSAGE) + ".\n");
    if (is_action_word(service))
        throw PlainError(std::string(NO_SERVICE_MESSAGE) + ": \"" + service + "\" is an action, not a service.\n");
    if (service == RESERVED_SERVICE_WORD) throw PlainError(REFUSAL_MESSAGE);
    // Before anything can turn the name into a file name.
    validate_service_or_die(service);
}

// The words as the user gave them, and the verdict on them before the
// service object is there.
struct Words {
    std::vector<std::string> as_given;
    cli::OptionReview review;
    bool needs_service = false;  // a near miss may be one of the service's custom actions
};

// Builds the service object and does what the request asks. Returns an exit
// status when the run ends early; a failure of the service lands in `failure`.
std::optional<int> act(const std::string& service, const service::Request& request, const Words& said,
                       const std::string& path, std::shared_ptr<Exception>& failure) {
    try {
        try {
            g_srv = service::create(service, request);
        } catch (...) {
            // No service to offer custom actions: a near miss is a mistake.
            if (said.needs_service) return refuse_mistyped(said.review.mistyped);
            throw;
        }
        g_term_owner.store(::getpid());
        g_term_lock_fd.store(g_srv->lock_fd());

        if (said.needs_service || !said.review.unknown.empty()) {
            auto again =
                cli::review_options(said.as_given, [](const std::string& w) { return g_srv->has_custom_action(w); });
            if (!again.mistyped.empty()) return refuse_mistyped(again.mistyped);
            warn_unknown(again.unknown);
        }

        std::string custom_action;
        for (const auto& word : request.custom_action_words) {
            if (!g_srv->has_custom_action(word)) continue;
            custom_action = word;
            g_srv->service_argv_action(custom_action);
            break;
        }

        if (custom_action.empty()) {
            if (request.action == service::Request::Action::Check) print_check_mode_header(request.json_lines);
            g_srv->run();
        } else {
            g_srv->run_custom_action(custom_action);
        }
        // The lock may have been released or retaken meanwhile.
        g_term_lock_fd.store(g_srv->lock_fd());

        const std::string& done = g_srv->service_argv_action();
        if (g_srv->verbose() == 1 && (done == "RESTART" || done == "START" || done == "RELOAD")) {
            show_status_message_set(*g_srv);
            if (request.fpm_status) show_fpm_status(path);
        }
    } catch (const Exception& e) {
        if (!e.is_service_exception()) throw;
        failure = e.clone();
    }
    return std::nullopt;
}

// What the run says at its end, and its exit status.
int report_the_outcome(const std::shared_ptr<Exception>& caught_exception, const service::Request& request) {
    if (caught_exception) {
        const Exception& e = *caught_exception;
        const std::string cls = e.class_name();
        record_error(e);
        if (dynamic_cast<const services::Unknown*>(&e)) throw PlainError(e.to_string_no_id() + "\n");
        if (g_srv && is_absent(e) && request.absent_ok) {
            cli::to_stderr(output::TYPE_WARN, e.to_string());
            return 0;
        }
        log_failure(e);
        if (g_srv && g_srv->verbose() == 1 && !is_query_action(g_srv->service_argv_action()) && !is_no_action(e)) {
            if (cli::json_mode()) {
                g_srv->output_obj().out(cls);
            } else {
                std::fputs((cls + "\n").c_str(), stdout);
                std::fflush(stdout);
            }
            show_status_message_set(*g_srv);
            g_srv->output_obj().display_message_set(ERROR_HEADING, e.to_string());
        } else {
            if (g_srv && g_srv->verbose() != 1 && !is_query_action(g_srv->service_argv_action()) && !is_no_action(e))
                g_failure_hint = failure_hint(*g_srv);
            throw PlainError(e.to_string() + "\n");
        }
    }

    if (g_srv && g_srv->verbose() == 1 && !is_query_action(g_srv->service_argv_action()))
        show_startup_log(*g_srv, caught_exception != nullptr);

    if (!caught_exception && g_srv && g_srv->verbose() == 1) {
        std::string text = success_text(g_srv->service_argv_action(), g_srv->service());
        if (!text.empty()) g_srv->output_obj().success(text);
    }
    if (caught_exception) {
        if (g_srv && g_srv->verbose() == 1)
            g_srv->output_obj().error("The service " + g_srv->service() +
                                      " could not complete the requested action; see the messages above.");
        return 255;
    }
    return 0;
}

int run(Invocation& inv) {
    prepare_the_run();
    const ProgramName name = name_the_service(inv);
    const std::string& service = name.service;
    std::vector<std::string>& args = inv.args;

    if (std::any_of(args.begin(), args.end(), cli::is_help_request)) return show_help(service);

    // A mistyped option must not act as the default action. Options that
    // may be the service's own custom actions wait for its object.
    Words said;
    said.as_given = args;
    said.review = cli::review_options(said.as_given);
    said.needs_service = std::any_of(said.review.mistyped.begin(), said.review.mistyped.end(), may_name_custom_action);
    if (!said.review.mistyped.empty() && (!said.needs_service || !foundation::is_valid_service_name(service)))
        return refuse_mistyped(said.review.mistyped);

    {
        std::vector<std::string> before = args;
        for (const auto& a : before)
            if (is_action_word(a)) args.push_back("--" + a);
    }
    if (name.action == STOP_ACTION) args.push_back(std::string("--") + name.action);

    exit_if_the_unit_is_already_ended(args, inv.started_by_init());

    check_the_service_word(service);
    cli::facts().service = service;
    const service::Request request = make_request(args, inv.started_by_init(), cli::json_mode());
    cli::facts().action = service::action_word(request.action);
    refuse_what_cannot_run(service, request, inv.program_path);

    std::shared_ptr<Exception> failure;
    if (auto early = act(service, request, said, inv.program_path, failure)) return *early;
    return report_the_outcome(failure, request);
}

}  // namespace

int run(int argc, char** argv_in) {
    // Before anything can edit the environment.
    cli::capture_environment();
    Invocation inv;
    inv.program_path = argc > 0 && argv_in[0] ? argv_in[0] : "";
    for (int i = 1; i < argc; ++i) inv.args.emplace_back(argv_in[i] ? argv_in[i] : "");
    inv.ppid = ::getppid();
    if (inv.ppid <= 0) inv.ppid = -1;

    // Start-up: the invocation line, unless started by init or in check mode.
    if (inv.ppid > 1 && !any_arg_contains(inv.args, CHECK_MODE_MARKER)) write_invocation_line(inv);

    std::atexit(discard_service_object);
    int rc = 255;
    try {
        rc = run(inv);
    } catch (const std::exception& e) {
        std::string text = exception::get_string(e);
        if (text.empty()) text = "Unknown error";
        auto& f = cli::facts();
        if (!f.error_text) {
            const auto* typed = dynamic_cast<const Exception*>(&e);
            f.error_class = typed ? typed->class_name() : "PlainError";
            f.error_text = typed ? typed->to_string_no_id() : trim(text);
            if (typed) f.xid = typed->id();
        }
        cli::to_stderr(output::TYPE_ERROR, with_newline(text));
        if (!g_failure_hint.empty()) cli::to_stderr(output::TYPE_OUT, g_failure_hint);
        rc = 255;
    } catch (...) {
        // Whatever escaped still ends the run as a failure, with a word.
        cli::to_stderr(output::TYPE_ERROR, "Unknown error");
        rc = 255;
    }
    cli::print_result_record(g_srv.get(), rc);
    std::fflush(stdout);
    std::fflush(stderr);
    discard_service_object();
    return rc;
}

}  // namespace norvik::cli
