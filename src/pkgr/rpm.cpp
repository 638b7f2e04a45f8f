#include "pkgr/rpm.hpp"

#include <algorithm>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "run/saferun_errors.hpp"

namespace norvik::pkgr {
namespace {
const std::vector<std::string> QUERY_OPTIONS = {"-q", "--nodigest", "--nosignature", "--queryformat"};
constexpr const char* VERSION_FORMAT = "%{NAME} %{VERSION}-%{RELEASE}\\n";
}  // namespace

std::string Rpm::bin_path() const { return find_program("rpm", {"/usr/bin/rpm", "/bin/rpm"}); }

bool Rpm::needs_lock(const std::vector<std::string>& args) const {
    if (args.empty()) return true;
    if (args[0] == "-q") return false;
    if (args[0] == "-e" && std::find(args.begin() + 1, args.end(), "--test") != args.end()) return false;
    return true;
}

std::vector<std::string> Rpm::locks_to_wait_for() const { return {foundation::rpm_lock(), foundation::yum_pid_file()}; }

pkgr::VersionMap Rpm::get_version(const std::vector<std::string>& packages) {
    if (packages.empty())
        throw PlainError("get_version needs at least one package name.\n" + exception::stack_trace(2));
    std::vector<std::string> args = QUERY_OPTIONS;
    args.push_back(VERSION_FORMAT);
    for (auto& p : packages) args.push_back(p);
    auto result = cmd(args);
    // Plain scanning rather than regular expressions: output lines can be
    // arbitrarily long and the library's matcher recurses per character.
    static const std::string np = "package ", ni = " is not installed";
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    pkgr::VersionMap out;
    for (auto& line : run::split_lines(result.output)) {
        if (line.size() > np.size() + ni.size() && line.compare(0, np.size(), np) == 0 &&
            line.compare(line.size() - ni.size(), ni.size(), ni) == 0)
            continue;
        size_t name_end = 0;
        while (name_end < line.size() && !is_space(line[name_end])) ++name_end;
        size_t value_start = name_end;
        while (value_start < line.size() && is_space(line[value_start])) ++value_start;
        if (name_end > 0 && value_start > name_end && value_start < line.size())
            out[line.substr(0, name_end)] = line.substr(value_start);
        else out[line] = std::nullopt;
    }
    return out;
}

bool Rpm::has_rpm(const std::string& package) {
    auto result = cmd({"-q", "--nodigest", "--nosignature", "--queryformat", "%{NAME}\\n", package});
    for (auto& line : run::split_lines(result.output))
        if (line == package) return true;
    return false;
}

}  // namespace norvik::pkgr
