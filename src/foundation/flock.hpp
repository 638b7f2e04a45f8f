// flock(2) on a descriptor, with a handle that knows which process locked it:
// discarding the handle in that process unlocks it; discarding it in a forked
// child only closes the child's copy, so a child never drops its parent's lock.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace norvik::foundation {

class Flock {
public:
    Flock() = default;
    // Takes ownership of an open descriptor (not yet locked).
    explicit Flock(int fd) : fd_(fd) {}
    ~Flock();
    Flock(Flock&& other) noexcept;
    Flock& operator=(Flock&& other) noexcept;
    Flock(const Flock&) = delete;
    Flock& operator=(const Flock&) = delete;

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // Process that holds the lock through this handle, 0 when not locked.
    pid_t locked_by() const { return pid_; }
    bool is_locked() const { return pid_ != 0; }

    // Unlocks (only in the owning process) and closes. Safe to repeat.
    void close();

    friend bool flock(Flock& handle, const std::vector<std::string>& flag_names);

private:
    int fd_ = -1;
    pid_t pid_ = 0;
};

// Flag names are "EX", "SH", "UN", "NB" (the LOCK_ prefix is added).
// Returns true when locked; false when a non-blocking attempt found the file
// locked by someone else. Raises norvik::Exception "IO::FlockError" (params
// path, error, operation) on any other failure, and PlainError when the
// handle was locked by another process or a flag name is unknown.
bool flock(Flock& handle, const std::vector<std::string>& flag_names);

// LOCK_* bits for the names above; PlainError for an unknown name.
int flock_flags(const std::vector<std::string>& flag_names);

// The path behind a descriptor of this process ("" when unknown).
std::string fd_path(int fd);

}  // namespace norvik::foundation
