#include "run/reduced_privileges.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exception/exception.hpp"
#include "foundation/pw_cache.hpp"

namespace norvik::run {
namespace {
// Whether privileges are reduced now, across nested guards.
bool reduced = false;
}  // namespace

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

bool setuids(uid_t uid, gid_t gid) {
    if (::geteuid() == 0 && ::setgroups(1, &gid) != 0) return false;
    if (::setresgid(gid, gid, gid) != 0) return false;
    return ::setresuid(uid, uid, uid) == 0;
}

int runasuser(const std::string& user, const std::function<int()>& work) {
    // Looked up before the fork: the child only sets ids and works.
    auto pw = foundation::cached_getpwnam(user);
    if (!pw) throw PlainError("The user “" + user + "” does not exist.");
    const pid_t pid = ::fork();
    if (pid < 0) throw PlainError(std::string("The system failed to fork: ") + std::strerror(errno));
    if (pid == 0) {
        int rc = 126;
        if (setuids(pw->uid, pw->gid)) {
            try {
                rc = work();
            } catch (const std::exception&) {
                rc = 255;
            }
        }
        ::_exit(rc & 0xff);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw PlainError(std::string("The system failed to wait for a child: ") + std::strerror(errno));
    return status;
}

}  // namespace norvik::run
