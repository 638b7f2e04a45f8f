#include "foundation/service_name.hpp"

namespace norvik::validate::service {

bool is_allowed_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int is_valid(std::string_view name) {
    if (name.empty() || name.size() > MAX_LENGTH) return 0;
    if (name.front() == '-') return 0;
    for (char c : name)
        if (!is_allowed_char(c)) return 0;
    return 1;
}

}  // namespace norvik::validate::service
