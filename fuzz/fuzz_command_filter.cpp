// The command-line filter of the process-table searches (which commands are
// never a service's own process). Command lines come from /proc and can be
// as long as the kernel allows. The input is also tried with its NULs as
// spaces, as the process table joins the arguments.
#include <algorithm>
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "proc/ignored_commands.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string cmd(reinterpret_cast<const char*>(data), size);
    namespace proc = norvik::proc;
    int a = proc::should_ignore_this_command(cmd);
    if (a != 0 && a != 1) std::abort();
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    int b = proc::should_ignore_this_command(cmd);
    if (b != 0 && b != 1) std::abort();
    return 0;
}
