// Program-name parsing: the entry driver's parser over program paths (as
// long as argv[0] can be), and the log line's program name taken from an
// invocation text. A parsed name must be the path's tail: action then
// service, the service non-empty and made of word characters and dashes.
#include <cctype>
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "log/logger.hpp"
#include "cli/driver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    auto name = norvik::cli::parse_program_name(path);
    if (name) {
        const std::string tail = name->action + name->service;
        if (name->service.empty() || path.size() < tail.size() ||
            path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
            std::abort();
        if (name->action != "start" && name->action != "stop" && name->action != "restartsrv_") std::abort();
        for (unsigned char c : name->service)
            if (!(std::isalnum(c) || c == '_' || c == '-')) std::abort();
    }
    std::string prog = norvik::Logger::progname_from_text(path);
    if (prog.size() > path.size() || prog.find(' ') != std::string::npos) std::abort();
    return 0;
}
