#include "run/ionice.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <map>

#include "log/debug.hpp"

namespace norvik::run {
namespace {

// From the kernel's ioprio interface; glibc has no wrapper.
constexpr int WHO_PROCESS = 1;
constexpr int CLASS_SHIFT = 13;
constexpr int CLASS_BEST_EFFORT = 2;

int value(int cls, int data) { return (cls << CLASS_SHIFT) | data; }

int set_own(int prio) { return static_cast<int>(::syscall(SYS_ioprio_set, WHO_PROCESS, 0, prio)); }

const std::map<std::string, int>& class_names() {
    static const std::map<std::string, int> t = {{"none", 0},        {"realtime", 1}, {"rt", 1},
                                                 {"best-effort", 2}, {"be", 2},       {"idle", 3}};
    return t;
}

}  // namespace

std::optional<int> reset_ionice() { return set_own(value(0, 0)) == 0 ? 1 : 0; }

std::optional<int> ionice(const std::string& io_class, int class_data) {
    int cls = -1;
    if (io_class.size() == 1 && io_class[0] >= '0' && io_class[0] <= '3') {
        cls = io_class[0] - '0';
    } else if (auto it = class_names().find(io_class); it != class_names().end()) {
        cls = it->second;
    }
    if (cls < 0) {
        log::log_warn("Invalid I/O scheduling class “" + io_class + "”.");
        return std::nullopt;
    }
    if (class_data < 0 || class_data > 7) {
        log::log_warn("Invalid I/O scheduling class data “" + std::to_string(class_data) + "” (0-7).");
        return std::nullopt;
    }
    if (::geteuid() != 0) cls = CLASS_BEST_EFFORT;
    return set_own(value(cls, class_data)) == 0 ? 1 : 0;
}

std::string get_ionice() {
    long prio = ::syscall(SYS_ioprio_get, WHO_PROCESS, 0);
    if (prio < 0) return "";
    static const char* const names[] = {"none", "realtime", "best-effort", "idle"};
    const long cls = prio >> CLASS_SHIFT, data = prio & ((1 << CLASS_SHIFT) - 1);
    if (cls < 0 || cls > 3) return "unknown: prio " + std::to_string(data);
    if (cls == 3) return "idle";
    return std::string(names[cls]) + ": prio " + std::to_string(data);
}

}  // namespace norvik::run
