#include "run/AccessIds_ReducedPrivileges.hpp"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exception/Exception.hpp"

namespace norvik::accessids::reducedprivileges {
namespace {
bool reduced = false;
}

bool PRIVS_REDUCED() { return reduced; }

bool _restore_privileges(uid_t uid, gid_t gid) {
    if (::seteuid(uid) != 0) return false;
    return ::setegid(gid) == 0;
}

ReducedPrivileges::ReducedPrivileges(uid_t uid, gid_t gid)
    : old_euid_(::geteuid()), old_egid_(::getegid()), prev_reduced_(reduced) {
    if (::setegid(gid) != 0 || ::seteuid(uid) != 0) {
        int err = errno;
        if (::seteuid(old_euid_) == 0 && ::setegid(old_egid_) != 0) errno = err;
        exception::raise("IO::SetuidError", {{"error", std::strerror(err)}, {"uid", uid}, {"gid", gid}});
    }
    reduced = true;
}

ReducedPrivileges::~ReducedPrivileges() {
    // Nothing sensible is left to do in a destructor when this fails.
    if (::seteuid(old_euid_) == 0 && ::setegid(old_egid_) != 0) errno = 0;
    reduced = prev_reduced_;
}

}  // namespace norvik::accessids::reducedprivileges

namespace norvik::accessids::setuids {

bool setuids(uid_t uid, gid_t gid) {
    if (::geteuid() == 0 && ::setgroups(1, &gid) != 0) return false;
    if (::setresgid(gid, gid, gid) != 0) return false;
    return ::setresuid(uid, uid, uid) == 0;
}

}  // namespace norvik::accessids::setuids
