#include "proc/running.hpp"

#include <algorithm>

#include "proc/process_table.hpp"
#include "proc/ignored_commands.hpp"

namespace norvik::proc {
namespace {

// Owners of real processes resolve as the process table's do (see
// proc::uid_for_user).
uid_t normalize_to_uid(const std::string& user) {
    if (user.empty())
        exception::raise("InvalidParameter", "A user name or uid is required.", std::vector<std::string>{});
    if (std::all_of(user.begin(), user.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        try {
            unsigned long v = std::stoul(user);
            if (v <= 0xFFFFFFFEul) return static_cast<uid_t>(v);
        } catch (const std::exception&) {}
        exception::raise("InvalidParameter", "The uid “[_1]” is not valid.", {user});
    }
    auto uid = proc::uid_for_user(user);
    if (!uid) exception::raise("UserNotFound", "The user “[_1]” does not exist.", {user});
    return *uid;
}

bool icontains(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return true;
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}

}  // namespace

Running::Running(const RunningOptions& o) : _pattern(o.pattern), _use_services_ignore(o.use_services_ignore) {
    if (auto* s = std::get_if<std::string>(&o.pattern); s && s->empty())
        exception::raise("ProcessCheck::MissingPattern", "A command pattern is required to check a process.",
                         std::vector<std::string>{});
    pattern_text_ = o.pattern_text;
    if (auto* s = std::get_if<std::string>(&o.pattern)) pattern_text_ = *s;
    if (pattern_text_.empty()) pattern_text_ = "(pattern)";
    _pid = std::make_unique<proc::PID>(o.pid);
    _uid = normalize_to_uid(o.user);
}

int Running::check_all() {
    std::vector<std::string> args = _pid->cmdline();
    std::string command;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) command += ' ';
        command += args[i];
    }
    bool matched;
    if (auto* s = std::get_if<std::string>(&_pattern)) matched = icontains(command, *s);
    else {
        // The library's matcher recurses per character, and a command line
        // may be megabytes long: a service's pattern is judged on its head.
        constexpr size_t kMatchedHead = 8192;
        const auto end = command.begin() + static_cast<std::ptrdiff_t>(std::min(command.size(), kMatchedHead));
        matched = std::regex_search(command.begin(), end, std::get<std::regex>(_pattern));
    }

    auto quiet = exception::get_stack_trace_suppressor();
    if (!matched)
        exception::raise("ProcessCheck::CommandMismatch",
                         "The process with ID “[_1]” does not match “[_2]”: its command is “[_3]”.",
                         {_pid->pid(), pattern_text_, command});
    if (_use_services_ignore && proc::should_ignore_this_command(command))
        exception::raise("ProcessCheck::IgnoredCommand", "The process with ID “[_1]” runs an ignored command: “[_2]”.",
                         {_pid->pid(), command});
    std::string actual = std::to_string(_pid->uid());
    if (actual != std::to_string(_uid))
        exception::raise("ProcessCheck::WrongOwner",
                         "The process with ID “[_1]” should run as uid “[_2]” but runs as uid “[_3]”.",
                         {_pid->pid(), std::to_string(_uid), actual});
    return 1;
}

}  // namespace norvik::proc
