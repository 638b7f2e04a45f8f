#include "pkgr/base.hpp"

#include "exception/exception.hpp"

namespace norvik::pkgr {

std::string Base::name() const {
    throw PlainError("Every package manager back end must supply its name.\n" + exception::stack_trace(2));
}

VersionMap Base::get_version_for_packages(const std::vector<std::string>&) {
    throw PlainError("The back end “" + name() + "” cannot query package versions.");
}

std::optional<std::string> Base::get_package_version(const std::string& package) {
    VersionMap versions = get_version_for_packages({package});
    auto it = versions.find(package);
    if (it == versions.end()) return std::nullopt;
    return it->second;
}

bool Base::is_installed(const std::string& package) {
    auto v = get_package_version(package);
    return v && !v->empty();
}

std::optional<std::string> Base::what_package_owns_this_file(const std::string& file) {
    auto owners = what_owns(file);
    if (owners.empty()) return std::nullopt;
    return owners.front();
}

std::vector<std::string> Base::what_owns(const std::string&) {
    throw PlainError("The back end “" + name() + "” cannot tell which package owns a file.");
}

}  // namespace norvik::pkgr
