#include "proc/proc_root.hpp"

namespace norvik::proc {

namespace {
std::string& root() {
    // Test seam: a fake /proc tree.
    static std::string r = "/proc";
    return r;
}
}  // namespace

const std::string& proc_root() { return root(); }

void set_proc_root(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    root() = p;
}

std::string proc_entry(long pid, const char* entry) {
    std::string path = root() + "/" + std::to_string(pid);
    if (*entry) path += std::string("/") + entry;
    return path;
}

}  // namespace norvik::proc
