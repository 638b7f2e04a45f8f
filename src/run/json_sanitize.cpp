#include "run/json_sanitize.hpp"

namespace norvik::run {

bool is_plain(const nlohmann::json& value) {
    try {
        (void)value.dump();
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
    return !value.is_binary();
}

nlohmann::json filter_to_json(const nlohmann::json& value) {
    return nlohmann::json::parse(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace norvik::run
