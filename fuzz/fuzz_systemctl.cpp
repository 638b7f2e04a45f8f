// `systemctl show` and `systemctl status` output parsers. Property names are
// word characters, values stay on one line; every pid found is positive.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "systemd/units.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    namespace systemd = norvik::systemd;
    try {
        for (auto& [name, value] : systemd::parse_show_output(text)) {
            if (name.empty() || value.find('\n') != std::string::npos || value.find('=') != std::string::npos)
                std::abort();
            for (char c : name)
                if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
                    std::abort();
        }
        (void)systemd::parse_code_and_signal(fuzzsupport::lines(text));
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
