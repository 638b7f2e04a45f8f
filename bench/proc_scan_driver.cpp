// Tiny driver for whole-process comparisons: "name NAME" prints the pids
// running NAME; "fuser FILE" prints the pids holding FILE.
#include <cstdio>
#include <cstring>
#include <string>

#include "proc/fuser.hpp"
#include "proc/process_table.hpp"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (std::strcmp(argv[1], "name") == 0) {
        auto pids = norvik::proc::get_pids_by_name(argv[2]);
        for (pid_t p : pids) std::printf("%d\n", static_cast<int>(p));
        return pids.empty() ? 1 : 0;
    }
    if (std::strcmp(argv[1], "fuser") == 0) {
        auto held = norvik::proc::check({argv[2]});
        for (pid_t p : held[argv[2]]) std::printf("%d ", static_cast<int>(p));
        std::printf("\n");
        return held.empty() ? 1 : 0;
    }
    return 2;
}
