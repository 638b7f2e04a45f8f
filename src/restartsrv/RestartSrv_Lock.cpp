#include "restartsrv/RestartSrv_Lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "exception/Exception.hpp"
#include "foundation/FileUtils_Mkdir.hpp"
#include "foundation/Paths.hpp"
#include "foundation/TimeHiRes.hpp"
#include "foundation/Validate_Service.hpp"

namespace norvik::restartsrv {
namespace {

void ensure_lock_dir(const std::string& dir) {
    if (int err = fileutils::mkdir::make_dir_p(dir, 0700)) {
        throw PlainError("The system failed to create the lock directory “" + dir + "”: " + std::strerror(err));
    }
}

}  // namespace

std::string get_run_lock_file_for_service(const std::string& service) {
    if (!validate::service::is_valid(service)) {
        exception::raise("InvalidParameter", "The service name “[_1]” is not valid.", {service});
    }
    return paths::lock_base() + "/" + service;
}

bool _wait_for_ex_lock(fileutils::Flock& fh, int timeout, double poll_interval) {
    const time_t end = std::time(nullptr) + timeout;
    while (std::time(nullptr) < end) {
        if (fileutils::flock(fh, {"EX", "NB"})) return true;
        timehires::sleep(poll_interval);
    }
    return false;
}

Lock::Lock(const std::string& service, int timeout) {
    if (service.empty()) throw PlainError("A service name is required to take the restart lock.");
    path_ = get_run_lock_file_for_service(service);
    ensure_lock_dir(paths::lock_base());
    // O_NOFOLLOW: a planted symlink must not redirect where the lock is created.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw PlainError("The system failed to open the lock file “" + path_ + "”: " + std::strerror(errno));
    }
    _fh = fileutils::Flock(fd);
    if (!_wait_for_ex_lock(_fh, timeout)) {
        _fh.close();
        throw PlainError("The restart lock “" + path_ + "” could not be obtained within " + std::to_string(timeout) +
                         " seconds; another restart of this service is still running.");
    }
}

int Lock::release() {
    _fh.close();
    return 1;
}

}  // namespace norvik::restartsrv
