#include "foundation/service_name.hpp"

namespace norvik::validate::service {

bool is_allowed_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_valid(std::string_view name) {
    if (name.empty() || name.size() > MAX_LENGTH) return false;
    if (name.front() == '-') return false;
    for (char c : name)
        if (!is_allowed_char(c)) return false;
    return true;
}

}  // namespace norvik::validate::service
