#include "server/global_flag.hpp"

#include "foundation/global_cache.hpp"

namespace norvik::server {

std::optional<bool> global_flag(const std::string& cache, const std::string& key) {
    auto v = foundation::global_cache_data(cache, key);
    if (!v || v->is_null()) return std::nullopt;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0;
    if (v->is_string()) {
        const auto s = v->get<std::string>();
        return !s.empty() && s != "0";
    }
    return true;
}

}  // namespace norvik::server
