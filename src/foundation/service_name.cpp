#include "foundation/service_name.hpp"

namespace norvik::foundation {

bool is_service_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_valid_service_name(std::string_view name) {
    if (name.empty() || name.size() > MAX_SERVICE_NAME_LENGTH) return false;
    if (name.front() == '-') return false;
    for (char c : name)
        if (!is_service_name_char(c)) return false;
    return true;
}

}  // namespace norvik::foundation
