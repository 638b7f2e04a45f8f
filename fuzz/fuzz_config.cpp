// Main configuration parser: parse, serialise, parse again gives the same
// map; the loader over a real file agrees with it; the guard that reads and
// rewrites the file under its lock keeps only entries it can write back.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "config/load_config.hpp"
#include "config/nkconf_guard.hpp"
#include "exception/exception.hpp"

namespace {
bool writable_key(const std::string& k) {
    if (k.empty()) return false;
    for (char c : k)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == ':' || c == '-'))
            return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    namespace config = norvik::config;
    using norvik::config::NkConfGuard;
    try {
        norvik::config::NkConf a, b;
        config::parse(text, a);
        config::parse(config::serialize(a), b);
        if (a != b) std::abort();
        // Through a real file as well.
        const std::string path = fuzzsupport::sandbox() + "/nk.conf";
        fuzzsupport::put(path, text);
        norvik::config::NkConf c;
        config::Options opt;
        auto r = config::loadConfig(path, c, opt);
        if (r.result && c != a) std::abort();

        // The panel's own file, read (and repaired) the way a root run does.
        const std::string main = norvik::foundation::main_config();
        ::unlink(norvik::foundation::main_config_cache().c_str());
        fuzzsupport::put(main, text);
        NkConfGuard::clearcache();
        NkConfGuard::Options go;
        go.use_lock = true;
        {
            NkConfGuard g(go);
            for (auto& [k, v] : g.config_copy()) {
                if (!writable_key(k) || v.find('\n') != std::string::npos) std::abort();
                auto it = a.find(k);
                if (it != a.end() && it->second != v) std::abort();
            }
        }
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
