// Temporarily reduced effective ids: while a guard lives the process runs
// with the given effective uid/gid (real ids unchanged), and PRIVS_REDUCED()
// is true. Runners check it to drop privileges for good in their children.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace norvik::run {

bool PRIVS_REDUCED();

// Gives back the ids the process had before (effective uid/gid to `uid` and
// `gid`, normally 0, 0); true on success. Used in children only.
bool _restore_privileges(uid_t uid, gid_t gid);

class ReducedPrivileges {
public:
    // Raises "IO::SetuidError" (param error) when the ids cannot be set.
    ReducedPrivileges(uid_t uid, gid_t gid);
    ~ReducedPrivileges();
    ReducedPrivileges(const ReducedPrivileges&) = delete;
    ReducedPrivileges& operator=(const ReducedPrivileges&) = delete;

private:
    uid_t old_euid_;
    gid_t old_egid_;
    bool prev_reduced_;
};

// Sets real and effective uid and gid for good (supplementary groups to
// just `gid`); true on success.
bool setuids(uid_t uid, gid_t gid);

// Runs `work` in a child that is `user` for good (its uid, its primary group
// only) and returns the child's wait status. Raises PlainError for an
// unknown user or when the child cannot be made; a child that cannot take
// the ids runs nothing and exits 126.
int runasuser(const std::string& user, const std::function<int()>& work);

}  // namespace norvik::run
