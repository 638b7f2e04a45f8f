#include "run/rlimit.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "exception/exception.hpp"
#include "log/debug.hpp"
#include "run/errno_names.hpp"
#include "run/maxmem.hpp"

namespace norvik::run {

std::pair<long long, long long> sys_getrlimit(int resource) {
    struct rlimit rl {};
    if (::syscall(SYS_getrlimit, resource, &rl) != 0) {
        int err = errno;
        auto e = exception::create("IO::RlimitError", "The system failed to read resource limit [_1]: [_2]",
                                   {std::to_string(resource), run::strerror_text(err)});
        e->set("error", run::strerror_text(err));
        e->raise();
    }
    auto conv = [](rlim_t v) { return v == RLIM_INFINITY ? -1LL : static_cast<long long>(v); };
    return {conv(rl.rlim_cur), conv(rl.rlim_max)};
}

int sys_setrlimit(int resource, long long soft, long long hard) {
    auto conv = [](long long v) { return v < 0 ? RLIM_INFINITY : static_cast<rlim_t>(v); };
    struct rlimit rl {
        conv(soft), conv(hard)
    };
    if (::syscall(SYS_setrlimit, resource, &rl) != 0) return errno;
    return 0;
}

namespace {

constexpr long long MIB = 1048576;
const std::vector<std::string> MEMORY_RESOURCES = {"AS", "DATA"};

// Sets each name to `value`; collects failures as text.
void set_each(const std::vector<std::string>& names, long long value, std::vector<std::string>& failures) {
    for (auto& name : names) {
        auto it = RLIMITS().find(name);
        if (it == RLIMITS().end()) {
            failures.push_back(name + ": unknown resource");
            continue;
        }
        if (int err = run::sys_setrlimit(it->second, value, value))
            failures.push_back(name + ": " + run::strerror_text(err));
    }
}

int finish(const std::vector<std::string>& failures) {
    if (failures.empty()) return 1;
    std::string text = "Failed to set resource limits:";
    for (auto& f : failures) text += " " + f + ";";
    log::log_warn(text);
    return 0;
}

}  // namespace

const std::map<std::string, int>& RLIMITS() {
    static const std::map<std::string, int> t = {
        {"AS", RLIMIT_AS},           {"CORE", RLIMIT_CORE},         {"CPU", RLIMIT_CPU},
        {"DATA", RLIMIT_DATA},       {"FSIZE", RLIMIT_FSIZE},       {"LOCKS", RLIMIT_LOCKS},
        {"MEMLOCK", RLIMIT_MEMLOCK}, {"MSGQUEUE", RLIMIT_MSGQUEUE}, {"NICE", RLIMIT_NICE},
        {"NOFILE", RLIMIT_NOFILE},   {"NPROC", RLIMIT_NPROC},       {"RSS", RLIMIT_RSS},
        {"RTPRIO", RLIMIT_RTPRIO},   {"RTTIME", RLIMIT_RTTIME},     {"SIGPENDING", RLIMIT_SIGPENDING},
        {"STACK", RLIMIT_STACK},
    };
    return t;
}

long long default_limit(const std::string& maxmem_setting) {
    long long minimum = run::minimum_maxmem() * MIB;
    if (maxmem_setting.empty()) return minimum;
    long long mib = 0;
    try {
        mib = std::stoll(maxmem_setting);
    } catch (const std::exception&) {
        return minimum;
    }
    if (mib == 0) return -1;
    if (mib < 0 || mib > std::numeric_limits<long long>::max() / MIB) return minimum;
    return std::max(mib * MIB, minimum);
}

int set_rlimit(std::optional<long long> limit, const std::vector<std::string>& names, const RlimitSettings& settings) {
    long long value = limit ? (*limit == 0 ? -1 : *limit) : default_limit(settings.maxmem);
    std::vector<std::string> failures;
    set_each(names.empty() ? MEMORY_RESOURCES : names, value, failures);
    set_each({"CORE"}, settings.coredump ? value : 0, failures);
    return finish(failures);
}

int set_min_rlimit() { return set_rlimit(run::minimum_maxmem() * MIB); }

std::map<std::string, std::pair<long long, long long>> get_current_rlimits() {
    std::map<std::string, std::pair<long long, long long>> out;
    for (auto& [name, res] : RLIMITS()) {
        try {
            out[name] = run::sys_getrlimit(res);
        } catch (const std::exception&) {}
    }
    return out;
}

int restore_rlimits(const std::map<std::string, std::pair<long long, long long>>& limits) {
    std::vector<std::string> failures;
    for (auto& [name, v] : limits) {
        auto it = RLIMITS().find(name);
        if (it == RLIMITS().end()) continue;
        if (int err = run::sys_setrlimit(it->second, v.first, v.second))
            failures.push_back(name + ": " + run::strerror_text(err));
    }
    return finish(failures);
}

int set_rlimit_to_infinity(const std::vector<std::string>& names) {
    std::vector<std::string> failures;
    set_each(names.empty() ? MEMORY_RESOURCES : names, -1, failures);
    return finish(failures);
}

int set_open_files_to_maximum() {
    std::vector<std::string> failures;
    set_each({"NOFILE"}, 1048576, failures);
    return finish(failures);
}

}  // namespace norvik::run
