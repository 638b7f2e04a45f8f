#include "pkgr/pkgr.hpp"

#include "exception/exception.hpp"
#include "os/os.hpp"
#include "pkgr/apt.hpp"
#include "pkgr/yum.hpp"

namespace norvik::pkgr {
namespace {
std::unique_ptr<Base>& PKGR() {
    // Cache for the run: the package back end.
    static std::unique_ptr<Base> p;
    return p;
}
}  // namespace

std::unique_ptr<Base> factory() {
    const std::string module = os::package_manager_module();
    if (module == "Norvik::Pkgr::Apt") return std::make_unique<Apt>();
    if (module == "Norvik::Pkgr::Yum") return std::make_unique<Yum>();
    throw PlainError("This system has no supported package manager" +
                     (module.empty() ? std::string(".") : " (“" + module + "”)."));
}

Base& instance() {
    if (!PKGR()) PKGR() = factory();
    return *PKGR();
}

std::optional<std::string> get_package_version(const std::string& package) {
    return instance().get_package_version(package);
}

bool is_installed(const std::string& package) { return instance().is_installed(package); }

std::string name() { return instance().name(); }

void reset_instance_for_testing(std::unique_ptr<Base> pkgr) { PKGR() = std::move(pkgr); }

}  // namespace norvik::pkgr
