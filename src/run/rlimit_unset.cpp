#include "run/rlimit_unset.hpp"

#include <sys/resource.h>

#include "run/rlimit.hpp"

namespace norvik::run {

int unset_rlimits() {
    int ok = 1;
    // Raise each soft limit as far as its hard limit allows; only root may
    // also lift the hard limit.
    for (int res : {RLIMIT_AS, RLIMIT_DATA, RLIMIT_RSS, RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_NPROC}) {
        std::pair<long long, long long> cur;
        try {
            cur = run::sys_getrlimit(res);
        } catch (const std::exception&) {
            ok = 0;
            continue;
        }
        if (cur.first == -1 && cur.second == -1) continue;
        if (run::sys_setrlimit(res, -1, -1) == 0) continue;
        if (cur.first != cur.second && run::sys_setrlimit(res, cur.second, cur.second) == 0) continue;
        ok = 0;
    }
    // Open files: as many as the kernel allows for one process.
    std::pair<long long, long long> nofile{0, 0};
    try {
        nofile = run::sys_getrlimit(RLIMIT_NOFILE);
    } catch (const std::exception&) {
        return 0;
    }
    long long want = 1048576;
    if (run::sys_setrlimit(RLIMIT_NOFILE, want, want) != 0 && nofile.second > nofile.first &&
        run::sys_setrlimit(RLIMIT_NOFILE, nofile.second, nofile.second) != 0)
        ok = 0;
    return ok;
}

}  // namespace norvik::run
