#include "run/IONice.hpp"

#include <unistd.h>

#include <map>

#include "log/Debug.hpp"
#include "pkgr/Binaries.hpp"
#include "run/SafeRun_Object.hpp"

namespace norvik::ionice {
namespace {

std::optional<std::string> tool() {
    try {
        std::string p = binaries::path("ionice");
        if (!p.empty() && ::access(p.c_str(), X_OK) == 0) return p;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<saferun::Object> run_tool(std::vector<std::string> args) {
    auto p = tool();
    if (!p) return std::nullopt;
    args.push_back("-p");
    args.push_back(std::to_string(::getpid()));
    return saferun::Object({.program = *p, .args = std::move(args), .timeout = 60});
}

const std::map<std::string, int>& class_names() {
    static const std::map<std::string, int> t = {
        {"none", 0}, {"realtime", 1}, {"rt", 1}, {"best-effort", 2}, {"be", 2}, {"idle", 3}};
    return t;
}

}  // namespace

std::optional<int> reset() {
    auto run = run_tool({"-c", "0"});
    if (!run) return std::nullopt;
    return run->CHILD_ERROR() == 0 ? 1 : 0;
}

std::optional<int> ionice(const std::string& io_class, int class_data) {
    int cls = -1;
    if (io_class.size() == 1 && io_class[0] >= '0' && io_class[0] <= '3') {
        cls = io_class[0] - '0';
    } else if (auto it = class_names().find(io_class); it != class_names().end()) {
        cls = it->second;
    }
    if (cls < 0) {
        debug::log_warn("Invalid I/O scheduling class “" + io_class + "”.");
        return std::nullopt;
    }
    if (class_data < 0 || class_data > 7) {
        debug::log_warn("Invalid I/O scheduling class data “" + std::to_string(class_data) + "” (0-7).");
        return std::nullopt;
    }
    std::vector<std::string> args;
    if (::geteuid() == 0) {
        args.push_back("-c");
        args.push_back(std::to_string(cls));
    }
    args.push_back("-n");
    args.push_back(std::to_string(class_data));
    auto run = run_tool(args);
    if (!run) return std::nullopt;
    return run->CHILD_ERROR() == 0 ? 1 : 0;
}

std::string get_ionice() {
    auto run = run_tool({});
    if (!run) return "";
    std::string out = run->stdout();
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace norvik::ionice
