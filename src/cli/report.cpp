#include "cli/report.hpp"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "foundation/journal_stream.hpp"
#include "output/output.hpp"
#include "service/service.hpp"
#include "foundation/text.hpp"

namespace norvik::cli {

namespace {
// The run reports as JSON, set from the command line.
bool g_json = false;

using foundation::lower;

nlohmann::json or_null(const std::optional<std::string>& v) { return v ? nlohmann::json(*v) : nlohmann::json(); }
}  // namespace

void capture_environment() {
    const char* mode = std::getenv(OUTPUT_MODE_VARIABLE);
    g_json = mode && lower(mode) == "json";
    foundation::capture_journal();
}

bool json_mode() { return g_json; }
void set_json_mode(bool on) { g_json = on; }

void to_stderr(const std::string& type, const std::string& text) {
    std::fflush(stdout);
    if (g_json) {
        std::string t = text;
        while (!t.empty() && t.back() == '\n') t.pop_back();
        norvik::Output(output::OutputOptions{.filehandle = stderr}).message(type, t);
        return;
    }
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    bool at_start = true;
    line = foundation::prefix_lines(2, foundation::priority_of(type), line, at_start);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

RunFacts& facts() {
    // What the run learnt, for its final report.
    static RunFacts f;
    return f;
}

StatusFacts parse_status_text(const std::string& text) {
    StatusFacts f;
    f.running = !text.empty();
    if (!f.running) return f;
    // The status texts of both back ends: "... is running as root with PID
    // 152 (systemd+proc check method)", "... is running as pid 152 (check
    // method: systemd)", "... is active (check method: systemd)".
    // Read by hand: a command line in the text may be long.
    auto digits_after = [&](const std::string& marker) -> std::optional<long> {
        size_t at = text.find(marker);
        if (at == std::string::npos) return std::nullopt;
        at += marker.size();
        size_t end = at;
        while (end < text.size() && end - at < 10 && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end == at) return std::nullopt;
        return std::stol(text.substr(at, end - at));
    };
    f.main_pid = digits_after(" with PID ");
    if (!f.main_pid) f.main_pid = digits_after("is running as pid ");
    if (size_t end = text.find(" check method)"); end != std::string::npos) {
        size_t open = text.rfind('(', end);
        if (open != std::string::npos) f.check_method = text.substr(open + 1, end - open - 1);
    } else if (size_t at = text.find("(check method: "); at != std::string::npos) {
        at += std::string("(check method: ").size();
        size_t close = text.find(')', at);
        if (close != std::string::npos) f.check_method = text.substr(at, close - at);
    }
    return f;
}

std::string unit_of(service::Base& srv) {
    std::string unit = srv.systemd_unit();
    if (!unit.empty() && unit.find('.') == std::string::npos) unit += ".service";
    return unit;
}

nlohmann::json result_record(service::Base* srv, int exit_status) {
    const RunFacts& rf = facts();
    nlohmann::json r = {{"type", RESULT_TYPE}};
    r["service"] = rf.service.empty() ? nlohmann::json() : nlohmann::json(rf.service);
    std::string unit, script, action = rf.action;
    nlohmann::json running, pid, method;
    if (srv) {
        try {
            unit = unit_of(*srv);
            script = srv->init_script();
            if (!srv->service_argv_action().empty()) action = srv->service_argv_action();
        } catch (const std::exception&) {
            // Which back end is unknown: the fields stay empty.
        }
        // The state after the run, asked afresh.
        std::string text;
        try {
            text = srv->status();
        } catch (const std::exception&) {
            text.clear();
        }
        StatusFacts sf = parse_status_text(text);
        running = sf.running;
        if (sf.main_pid) pid = *sf.main_pid;
        if (sf.check_method) method = *sf.check_method;
    }
    r["unit"] = unit.empty() ? nlohmann::json() : nlohmann::json(unit);
    r["init_script"] = script.empty() ? nlohmann::json() : nlohmann::json(script);
    r["action"] = action.empty() ? nlohmann::json() : nlohmann::json(action);
    r["result"] = exit_status == 0 ? "success" : rf.refused ? "refused" : "failure";
    r["running"] = running;
    r["main_pid"] = pid;
    r["check_method"] = method;
    r["exit_status"] = exit_status;
    r["error_class"] = or_null(rf.error_class);
    r["error_text"] = or_null(rf.error_text);
    r["xid"] = or_null(rf.xid);
    return r;
}

void print_result_record(service::Base* srv, int exit_status) {
    if (!g_json) return;
    const std::string line =
        result_record(srv, exit_status).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace norvik::cli
