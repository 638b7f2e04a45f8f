#include "service/lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/hires_clock.hpp"
#include "foundation/service_name.hpp"
#include "foundation/state_file.hpp"

namespace norvik::service {
namespace {

int& lock_wait_storage() {
    // The lock wait, from the environment, read once.
    static int seconds = Lock::LOCK_TIMEOUT;
    return seconds;
}

}  // namespace

LockError::LockError(Kind kind, int err, const std::string& text) : PlainError(text), kind_(kind), err_(err) {}

int lock_wait_seconds() { return lock_wait_storage(); }

void capture_lock_wait_from_env() {
    const char* v = std::getenv(LOCK_WAIT_VARIABLE);
    if (!v || !*v) return;
    int seconds = 0;
    const char* end = v + std::strlen(v);
    auto [p, ec] = std::from_chars(v, end, seconds);
    if (ec == std::errc() && p == end && seconds > 0 && seconds <= Lock::LOCK_TIMEOUT) lock_wait_storage() = seconds;
}

std::string get_run_lock_file_for_service(const std::string& service) {
    if (!foundation::is_valid_service_name(service)) {
        exception::raise("InvalidParameter", "The service name “[_1]” is not valid.", {service});
    }
    // Case variants name the same init script, so they share one lock.
    return foundation::lock_base() + "/" + foundation::lower(service);
}

bool _wait_for_ex_lock(foundation::Flock& fh, int timeout, double poll_interval) {
    const time_t end = std::time(nullptr) + timeout;
    while (std::time(nullptr) < end) {
        if (foundation::flock(fh, {"EX", "NB"})) return true;
        foundation::hires_sleep(poll_interval);
    }
    return false;
}

namespace {

// The lock file, opened as the lock takes it; LockError when it cannot be.
int open_lock_file(const std::string& path) {
    // No link is followed, and a lock file another user made (and may hold)
    // is replaced: only root decides who waits for whom.
    int fd = foundation::open_file(path, O_RDWR | O_CREAT, 0600, 0700);
    // flock needs no write access: on a read-only tree an existing lock file
    // still serialises the runs.
    if (fd < 0 && (errno == EROFS || errno == EACCES)) {
        const int saved = errno;
        fd = foundation::open_file(path, O_RDONLY, 0600, 0700);
        if (fd < 0) errno = saved;
    }
    if (fd < 0) {
        const int err = errno;
        throw LockError(LockError::Kind::Open, err,
                        "The system failed to open the lock file “" + path + "”: " + std::strerror(err));
    }
    return fd;
}

}  // namespace

Lock::Lock(const std::string& service, int timeout) {
    if (service.empty()) throw PlainError("A service name is required to take the restart lock.");
    path_ = get_run_lock_file_for_service(service);
    _fh = foundation::Flock(open_lock_file(path_));
    if (!_wait_for_ex_lock(_fh, timeout)) {
        _fh.close();
        throw LockError(LockError::Kind::Timeout, 0,
                        "The restart lock “" + path_ + "” could not be obtained within " + std::to_string(timeout) +
                            " seconds; another restart of this service is still running.");
    }
}

bool Lock::is_held_elsewhere(const std::string& service) {
    foundation::Flock fh(open_lock_file(get_run_lock_file_for_service(service)));
    return !foundation::flock(fh, {"EX", "NB"});
}

int Lock::release() {
    _fh.close();
    return 1;
}

}  // namespace norvik::service
