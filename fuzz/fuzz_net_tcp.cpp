// /proc/net/tcp and tcp6 parsing through a fake proc tree (the input is both
// tables); nothing is signalled: find_listeners only reports.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "proc/port_holders.hpp"
#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string proc = [] {
        std::string p = fuzzsupport::sandbox() + "/proc";
        norvik::proc::set_proc_root(p);
        fuzzsupport::put(p + "/4242/stat", "4242 (x) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1 1 1\n");
        ::mkdir((p + "/4242/fd").c_str(), 0755);
        ::symlink("socket:[1234]", (p + "/4242/fd/3").c_str());
        return p;
    }();
    std::string text(reinterpret_cast<const char*>(data), size);
    fuzzsupport::put(proc + "/net/tcp", text);
    fuzzsupport::put(proc + "/net/tcp6", text);
    try {
        // Only the one fake process holds the socket, on an asked-for port.
        for (auto& l : norvik::proc::find_listeners({80, 443, 0, 65535}, {"127.0.0.1", "::1"}))
            if (l.pid != 4242 || (l.port != 80 && l.port != 443 && l.port != 0 && l.port != 65535) ||
                l.address == "127.0.0.1" || l.address == "::1")
                std::abort();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
