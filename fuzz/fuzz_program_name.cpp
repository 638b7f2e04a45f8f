// Program-name parsing: the name is matched inside the entry driver, so this
// drives the same pattern the driver uses over names as long as argv[0] can be.
#include <regex>

#include "FuzzCommon.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::regex name_re(R"((?:^|/)(start|stop|restartsrv_)([\w\-]+)$)");
    std::string path(reinterpret_cast<const char*>(data), size);
    std::smatch m;
    (void)std::regex_search(path, m, name_re);
    return 0;
}
