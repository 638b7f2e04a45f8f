#include "server/role_cache.hpp"

#include <map>
#include <stdexcept>

#include "exception/exception.hpp"

namespace norvik::server {
namespace {

std::map<std::string, bool>& the_cache() {
    // Cache for the run: enabled state per role class.
    static std::map<std::string, bool> c;
    return c;
}

void check_class(const std::string& class_name, const char* op) {
    if (class_name.empty() || class_name.find_first_of(" \t\n{}[]()*&") != std::string::npos) {
        throw std::logic_error(std::string("EnabledCache::") + op + ": “" + class_name + "” is not a class name.\n" +
                               exception::stack_trace(2));
    }
}

}  // namespace

bool set(const std::string& class_name, bool value) {
    check_class(class_name, "set");
    the_cache()[class_name] = value;
    return value;
}

std::optional<bool> get(const std::string& class_name) {
    check_class(class_name, "get");
    auto it = the_cache().find(class_name);
    if (it == the_cache().end()) return std::nullopt;
    return it->second;
}

void unset(const std::string& class_name) {
    check_class(class_name, "unset");
    the_cache().erase(class_name);
}

void _unset_all() { the_cache().clear(); }

}  // namespace norvik::server
