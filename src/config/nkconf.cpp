#include "config/nkconf.hpp"

#include "config/nkconf_guard.hpp"

namespace norvik::config {

NkConf loadnkconf() {
    NkConfGuard::Options o;
    o.loadnkconf = true;
    NkConfGuard guard(o);
    return guard.config_copy();
}

std::shared_ptr<const NkConf> loadnkconf_not_copy() {
    if (!NkConfGuard::memory_only_set() && NkConfGuard::mem_cache_mtime() != 0) {
        auto [cache, valid] = NkConfGuard::get_cache();
        if (valid && cache) return cache;
    }
    NkConfGuard::Options o;
    o.loadnkconf = true;
    NkConfGuard guard(o);
    if (guard.data()) return std::make_shared<const NkConf>(*guard.data());
    if (guard.cache()) return guard.cache();
    return std::make_shared<const NkConf>();
}

std::string get(const std::string& key) {
    auto conf = loadnkconf_not_copy();
    auto it = conf->find(key);
    return it == conf->end() ? std::string() : it->second;
}

bool is_true(const std::string& value) { return !value.empty() && value != "0"; }

}  // namespace norvik::config
