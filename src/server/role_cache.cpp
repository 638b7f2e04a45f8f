#include "server/role_cache.hpp"

#include <map>
#include <stdexcept>

#include "exception/exception.hpp"

namespace norvik::server::type::role::enabledcache {
namespace {

std::map<std::string, int>& the_cache() {
    static std::map<std::string, int> c;
    return c;
}

void check_class(const std::string& class_name, const char* op) {
    if (class_name.empty() || class_name.find_first_of(" \t\n{}[]()*&") != std::string::npos) {
        throw std::logic_error(std::string("EnabledCache::") + op + ": “" + class_name + "” is not a class name.\n" +
                               exception::stack_trace(2));
    }
}

}  // namespace

int set(const std::string& class_name, int value) {
    check_class(class_name, "set");
    if (value != 0 && value != 1)
        throw std::logic_error("EnabledCache::set: the value must be 0 or 1, not " + std::to_string(value) + ".\n" +
                               exception::stack_trace(2));
    the_cache()[class_name] = value;
    return value;
}

std::optional<int> get(const std::string& class_name) {
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

}  // namespace norvik::server::type::role::enabledcache
