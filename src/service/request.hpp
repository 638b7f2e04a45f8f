// What one run asks of the service object. The entry reads the command line
// into it once and hands it down; nothing below the entry reads the command
// line or asks who started the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvik::service {

struct Request {
    enum class Action { Restart, Stop, Reload, Status, Check };
    Action action = Action::Restart;
    int verbose = 0;  // 1 --verbose, 2 --debug
    // --graceful[=word], --no-graceful or --hard; nothing leaves it to the service.
    std::optional<bool> graceful;
    // --restart-attempt=N: which attempt of the caller's this run is (1 the first).
    std::optional<int> restart_attempt;
    bool force = false;           // lifts the block on starting during a base installation
    bool use_initd = false;       // --initd: the init script even for a unit
    bool ignore_systemd = false;  // --ignore-systemd: check without asking systemd
    bool html = false;            // the output goes to a web page
    bool json_lines = false;      // the output goes to a program, one JSON object per message
    bool absent_ok = false;       // --absent-ok: a service not configured or not installed counts as success
    bool fpm_status = true;       // without --no-fpm-status a verbose restart ends with the PHP-FPM status
    // Words that may name one of the service's own actions ("events" for
    // "events" or "--events"), in the order given: the first the service
    // defines runs instead of the action above.
    std::vector<std::string> custom_action_words;
    // The parent is process 1: the init system runs us for its unit.
    bool started_by_init = false;

    bool is_query() const { return action == Action::Status || action == Action::Check; }
};

// "RESTART", "STOP", "RELOAD", "STATUS" or "CHECK".
const char* action_word(Request::Action action);

}  // namespace norvik::service
