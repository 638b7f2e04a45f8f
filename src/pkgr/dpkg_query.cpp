#include "pkgr/dpkg_query.hpp"

#include "foundation/paths.hpp"

namespace norvik::pkgr {

std::string DpkgQuery::bin_path() const { return find_program("dpkg-query", {"/usr/bin/dpkg-query"}); }

std::vector<std::string> DpkgQuery::locks_to_wait_for() const { return {foundation::dpkg_lock()}; }

}  // namespace norvik::pkgr
