// Command-line front end to the process modules, for bench/compare.sh: each
// mode does one job once, like the system tool it is timed against.
//   proc_compare scan NAME        pids of processes named NAME (pgrep NAME)
//   proc_compare fuser FILE...    holders of the files        (fuser FILE)
//   proc_compare kill NAME        TERM, then KILL, and wait   (killall -w NAME)
//   proc_compare spawn N PROGRAM  N children running "PROGRAM 600", reaped the
//                                 moment they die (victims for the kill rows:
//                                 an unreaped zombie would stall killall -w)
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exception/exception.hpp"
#include "proc/fuser.hpp"
#include "proc/kill.hpp"
#include "proc/process_table.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s scan NAME | fuser FILE... | kill NAME\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    try {
        if (mode == "scan") {
            auto pids = norvik::proc::get_pids_by_name(norvik::proc::ProcName(std::string(argv[2])));
            for (pid_t p : pids) std::printf("%d\n", static_cast<int>(p));
            return pids.empty() ? 1 : 0;
        }
        if (mode == "fuser") {
            std::vector<std::string> files(argv + 2, argv + argc);
            auto held = norvik::proc::check(files);
            bool any = false;
            for (auto& [f, pids] : held) {
                std::printf("%s:", f.c_str());
                for (pid_t p : pids) std::printf(" %d", static_cast<int>(p)), any = true;
                std::printf("\n");
            }
            return any ? 0 : 1;
        }
        if (mode == "spawn" && argc == 4) {
            int n = std::atoi(argv[2]);
            for (int i = 0; i < n; ++i) {
                pid_t p = ::fork();
                if (p == 0) {
                    ::execl(argv[3], argv[3], "600", static_cast<char*>(nullptr));
                    ::_exit(127);
                }
            }
            while (::wait(nullptr) > 0 || errno == EINTR) {}
            return 0;
        }
        if (mode == "kill") {
            int n = norvik::proc::safekill(norvik::proc::ProcName(std::string(argv[2])), false, 5);
            return n > 0 ? 0 : 1;
        }
    } catch (const norvik::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    } catch (const norvik::PlainError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
