// `systemctl show` and `systemctl status` output parsers.
#include "FuzzCommon.hpp"
#include "exception/Exception.hpp"
#include "restartsrv/RestartSrv_Systemd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    namespace sd = norvik::restartsrv::systemd;
    try {
        (void)sd::parse_show_output(text);
        auto lines = fuzzsupport::lines(text);
        (void)sd::parse_status_pids(lines);
        (void)sd::parse_code_and_signal(lines);
        (void)sd::parse_status_first_pid(lines);
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
