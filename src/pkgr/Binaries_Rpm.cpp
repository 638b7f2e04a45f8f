#include "pkgr/Binaries_Rpm.hpp"

#include <algorithm>
#include <regex>

#include "exception/Exception.hpp"
#include "foundation/Paths.hpp"
#include "run/SafeRun_Errors.hpp"

namespace norvik::binaries {
namespace {
const std::vector<std::string> QUERY_OPTIONS = {"-q", "--nodigest", "--nosignature", "--queryformat"};
constexpr const char* VERSION_FORMAT = "%{NAME} %{VERSION}-%{RELEASE}\\n";
}  // namespace

std::string Rpm::bin_path() const { return find_program("rpm", {"/usr/bin/rpm", "/bin/rpm"}); }

int Rpm::needs_lock(const std::vector<std::string>& args) const {
    if (args.empty()) return 1;
    if (args[0] == "-q") return 0;
    if (args[0] == "-e" && std::find(args.begin() + 1, args.end(), "--test") != args.end()) return 0;
    return 1;
}

std::vector<std::string> Rpm::locks_to_wait_for() const { return {paths::rpm_lock(), paths::yum_pid_file()}; }

pkgr::VersionMap Rpm::get_version(const std::vector<std::string>& packages) {
    if (packages.empty())
        throw PlainError("get_version needs at least one package name.\n" + exception::stack_trace(2));
    std::vector<std::string> args = QUERY_OPTIONS;
    args.push_back(VERSION_FORMAT);
    for (auto& p : packages) args.push_back(p);
    auto result = cmd(args);
    static const std::regex not_installed("^package (.+?) is not installed$");
    static const std::regex name_version("^(\\S+?)\\s+(.+?)$");
    pkgr::VersionMap out;
    for (auto& line : saferun::errors::split_lines(result.output)) {
        std::smatch m;
        if (std::regex_match(line, m, not_installed)) continue;
        if (std::regex_match(line, m, name_version)) out[m[1]] = m[2].str();
        else out[line] = std::nullopt;
    }
    return out;
}

int Rpm::has_rpm(const std::string& package) {
    auto result = cmd({"-q", "--nodigest", "--nosignature", "--queryformat", "%{NAME}\\n", package});
    for (auto& line : saferun::errors::split_lines(result.output))
        if (line == package) return 1;
    return 0;
}

}  // namespace norvik::binaries
