// Main configuration parser: parse, serialise, parse again gives the same map.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "config/Config_LoadConfig.hpp"
#include "exception/Exception.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    namespace lc = norvik::config::loadconfig;
    try {
        norvik::config::NkConf a, b;
        lc::parse(text, a);
        lc::parse(lc::serialize(a), b);
        if (a != b) std::abort();
        // Through a real file as well.
        const std::string path = fuzzsupport::sandbox() + "/nk.conf";
        fuzzsupport::put(path, text);
        norvik::config::NkConf c;
        lc::Options opt;
        auto r = lc::loadConfig(path, c, opt);
        if (r.result && c != a) std::abort();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
