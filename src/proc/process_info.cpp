#include "proc/process_info.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {

std::vector<pid_t> get_pid_lineage() {
    std::vector<pid_t> out;
    out.push_back(::getpid());
    pid_t p = ::getppid();
    std::string buf;
    // The chain is short; the bound only guards against a cycle in a
    // table that changes while it is read.
    while (p > 0 && out.size() < 4096) {
        if (std::find(out.begin(), out.end(), p) != out.end()) break;
        out.push_back(p);
        if (p == 1) break;
        if (!proc::read_at(AT_FDCWD, proc::proc_entry(p, "stat").c_str(), buf)) break;
        std::string_view fields, head;
        if (!proc::stat_fields_part(buf, fields, head)) break;
        // fields: state ppid ...
        size_t a = fields.find(' ');
        if (a == std::string_view::npos) break;
        size_t b = fields.find(' ', a + 1);
        auto ppid = proc::parse_pid(fields.substr(a + 1, b == std::string_view::npos ? b : b - a - 1));
        if (!ppid) break;
        p = *ppid;
    }
    return out;
}

}  // namespace norvik::proc
