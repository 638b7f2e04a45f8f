// The per-service restart lock: two runs for one service never overlap.
// One lock file per service below norvik::foundation::lock_base(), named after
// the lower-cased service name (created 0600, its directory 0700); an
// exclusive flock is polled every 0.25 s for up to 196 s. The lock goes away
// on release(), when the object is destroyed in the process that took it, or
// when that process dies. The descriptor is close-on-exec, and a forked
// child's copy of the object never unlocks.
#pragma once

#include <memory>
#include <string>

#include "exception/exception.hpp"
#include "foundation/flock.hpp"

namespace norvik::service {

// The lock could not be taken: its file could not be opened (err holds the
// errno), or another run held it for the whole wait. Nothing may fall back
// to a second attempt on either.
class LockError : public PlainError {
public:
    enum class Kind { Open, Timeout };
    LockError(Kind kind, int err, const std::string& text);
    Kind kind() const { return kind_; }
    int error_number() const { return err_; }

private:
    Kind kind_;
    int err_;
};

// Seconds to wait for the lock: 196 unless the variable below, read by
// capture_lock_wait_from_env(), asks for a shorter wait (1..196).
inline constexpr const char* LOCK_WAIT_VARIABLE = "RESTARTSRV_LOCK_WAIT";
int lock_wait_seconds();
void capture_lock_wait_from_env();

class Lock {
public:
    static constexpr int LOCK_TIMEOUT = 196;
    static constexpr double POLL_INTERVAL = 0.25;

    // Takes the lock, waiting up to `timeout` seconds. Raises PlainError for
    // an empty name, norvik::Exception "InvalidParameter" for an invalid name
    // (before any file is touched), LockError on open failure or time-out.
    explicit Lock(const std::string& service, int timeout = LOCK_TIMEOUT);
    ~Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    static std::unique_ptr<Lock> create(const std::string& service) {
        return std::make_unique<Lock>(service, lock_wait_seconds());
    }

    // For a run that changes nothing: whether another run holds the lock
    // now. Never waits and never keeps it; LockError (Open) as above.
    static bool is_held_elsewhere(const std::string& service);

    // Drops the lock; returns 1, also when already released.
    int release();
    bool is_held() const { return _fh.is_open(); }
    const std::string& path() const { return path_; }
    int fd() const { return _fh.fd(); }

private:
    std::string path_;
    foundation::Flock _fh;
};

// lock_base() + "/" + the lower-cased service; raises for an invalid name.
std::string get_run_lock_file_for_service(const std::string& service);

// True when the exclusive lock was obtained within `timeout` seconds
// (whole-second clock, polling every poll_interval seconds).
bool _wait_for_ex_lock(foundation::Flock& fh, int timeout, double poll_interval = Lock::POLL_INTERVAL);

}  // namespace norvik::service
