#include "foundation/flock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "exception/exception.hpp"

namespace norvik::foundation {
namespace {
constexpr int AGAIN_ERRNO = EAGAIN;

// Descriptors that hold a lock taken by this process. A forked child that
// keeps running (a daemoniser's middle process, a fork helper) would
// otherwise keep the lock alive after this process dies, since the lock
// belongs to the open file description. In every forked child these
// descriptors are pointed at /dev/null: the child's reference goes, the
// parent's lock stays, and the descriptor number stays valid for the
// handle's own close later.
std::vector<int>& locked_fds() {
    // Locks held, so that a forked child lets go of them.
    static std::vector<int> fds;
    return fds;
}

void drop_locks_in_child() {
    if (locked_fds().empty()) return;
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd : locked_fds()) {
        if (null_fd >= 0) ::dup3(null_fd, fd, O_CLOEXEC);
        else ::close(fd);
    }
    if (null_fd >= 0) ::close(null_fd);
    locked_fds().clear();
}

void remember_locked(int fd) {
    // The fork handler is installed once.
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, drop_locks_in_child); });
    auto& fds = locked_fds();
    if (std::find(fds.begin(), fds.end(), fd) == fds.end()) fds.push_back(fd);
}

void forget_locked(int fd) {
    auto& fds = locked_fds();
    fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
}
}  // namespace

Flock::~Flock() { close(); }

Flock::Flock(Flock&& other) noexcept : fd_(other.fd_), pid_(other.pid_) {
    other.fd_ = -1;
    other.pid_ = 0;
}

Flock& Flock::operator=(Flock&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        pid_ = other.pid_;
        other.fd_ = -1;
        other.pid_ = 0;
    }
    return *this;
}

void Flock::close() {
    if (fd_ < 0) return;
    // Only the locking process unlocks: flock locks belong to the open file
    // description, which a forked child shares with its parent.
    if (pid_ != 0 && pid_ == getpid()) {
        forget_locked(fd_);
        if (::flock(fd_, LOCK_UN) != 0) {
            std::fprintf(stderr, "Failed to unlock file descriptor %d: %s\n", fd_, std::strerror(errno));
        }
    }
    ::close(fd_);
    fd_ = -1;
    pid_ = 0;
}

int flock_flags(const std::vector<std::string>& flag_names) {
    int op = 0;
    for (const auto& name : flag_names) {
        if (name == "EX") op |= LOCK_EX;
        else if (name == "SH") op |= LOCK_SH;
        else if (name == "UN") op |= LOCK_UN;
        else if (name == "NB") op |= LOCK_NB;
        else throw PlainError("Unknown lock operation “LOCK_" + name + "”.");
    }
    return op;
}

std::string fd_path(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(getpid()), fd);
    char buf[4096];
    ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    if (n < 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

bool flock(Flock& handle, const std::vector<std::string>& flag_names) {
    if (handle.fd_ < 0) throw PlainError("flock() needs an open file handle.");
    const pid_t me = getpid();
    if (handle.pid_ != 0 && handle.pid_ != me) {
        throw PlainError("The lock handle for descriptor " + std::to_string(handle.fd_) + " was locked by process " +
                         std::to_string(handle.pid_) + ", not by this process (" + std::to_string(me) + ").");
    }
    const int op = flock_flags(flag_names);
    if (::flock(handle.fd_, op) != 0) {
        const int err = errno;
        if (err == AGAIN_ERRNO && (op & LOCK_NB)) return false;
        std::string operation;
        for (const auto& n : flag_names) operation += (operation.empty() ? "LOCK_" : "|LOCK_") + n;
        const std::string path = fd_path(handle.fd_);
        exception::raise("IO::FlockError",
                         nlohmann::json{{"path", path},
                                        {"error", std::strerror(err)},
                                        {"operation", operation},
                                        {"message", "The system failed to lock (" + operation + ") the file “" + path +
                                                        "” because of an error: " + std::strerror(err)}});
    }
    handle.pid_ = (op & LOCK_UN) ? 0 : me;
    if (op & LOCK_UN) forget_locked(handle.fd_);
    else remember_locked(handle.fd_);
    return true;
}

}  // namespace norvik::foundation
