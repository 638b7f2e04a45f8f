#include "foundation/state_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "foundation/diagnostics.hpp"
#include "foundation/paths.hpp"

namespace norvik::foundation {

namespace {

// The first component of the tool's own tree below the root.
constexpr const char* OWN_TREE = "norvik";

// Closes on scope exit unless released.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

void say(const Warn& warn, const std::string& text) {
    if (warn) warn(text);
    else foundation::warn(text);
}

std::string octal(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::vector<std::string> components(const std::string& rel) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string::npos) slash = rel.size();
        std::string c = rel.substr(pos, slash - pos);
        if (!c.empty() && c != ".") out.push_back(std::move(c));
        pos = slash + 1;
    }
    return out;
}

// A folder of the tool's own tree, made root's and closed to writes by others
// where needed (what others may read is left as it was made). False when it
// is not trusted and cannot be made so.
bool settle_own_dir(int fd, const std::string& path, const Warn& warn) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const mode_t bits = st.st_mode & 07777;
    if (is_trusted_owner(st.st_uid) && (bits & 022) == 0) return true;
    const mode_t fixed = bits & ~022;
    if ((is_trusted_owner(st.st_uid) || ::fchown(fd, ::geteuid(), static_cast<gid_t>(-1)) == 0) &&
        ::fchmod(fd, fixed) == 0) {
        say(warn, "The folder “" + path + "” belonged to uid " + std::to_string(st.st_uid) + " with mode " +
                      octal(bits) + "; it is now root's with mode " + octal(fixed) + ".");
        return true;
    }
    say(warn, "The folder “" + path + "” belongs to uid " + std::to_string(st.st_uid) + " with mode " + octal(bits) +
                  " and cannot be made root's; it is not used.");
    return false;
}

// One step down: `name` below `parent`, made with `mode` when missing.
int step_down(int parent, const std::string& name, bool own, std::optional<mode_t> mode) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::openat(parent, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && mode) {
        if (::mkdirat(parent, name.c_str(), *mode) != 0 && errno != EEXIST) return -1;
        fd = ::openat(parent, name.c_str(), flags);
        // mkdir applies the umask; set the exact bits.
        if (fd >= 0) ::fchmod(fd, *mode);
        return fd;
    }
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
    // The system's folders may be links that root made (/var on another disk).
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISLNK(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if (own || st.st_uid != 0) {
        errno = ELOOP;
        return -1;
    }
    return ::openat(parent, name.c_str(), flags & ~O_NOFOLLOW);
}

}  // namespace

bool is_trusted_owner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

int open_dir(const std::string& dir, std::optional<mode_t> mode, const Warn& warn) {
    if (dir.empty() || dir[0] != '/') {
        errno = ENOENT;
        return -1;
    }
    const std::string& root = foundation::root();
    const bool below_root =
        !root.empty() && dir.size() > root.size() && dir.compare(0, root.size(), root) == 0 && dir[root.size()] == '/';
    const std::string base = below_root ? root : "/";
    const std::vector<std::string> parts = components(below_root ? dir.substr(root.size() + 1) : dir.substr(1));
    Fd fd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    std::string path = below_root ? root : "";
    bool own = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == "..") {
            errno = EINVAL;
            return -1;
        }
        own = own || parts[i] == OWN_TREE;
        path += "/" + parts[i];
        const std::optional<mode_t> make = !mode ? mode : i + 1 == parts.size() ? *mode : 0755;
        int next = step_down(fd.get(), parts[i], own, make);
        if (next < 0) return -1;
        fd.reset(next);
        if (own && !settle_own_dir(fd.get(), path, warn)) {
            errno = EACCES;
            return -1;
        }
    }
    return fd.release();
}

std::optional<std::string> untrusted_reason(const std::string& path) {
    const std::string& root = foundation::root();
    const bool below_root = !root.empty() && path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/';
    const std::vector<std::string> parts = components(below_root ? path.substr(root.size() + 1) : path.substr(1));
    Fd fd(::open(below_root ? root.c_str() : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || parts.empty()) return std::nullopt;
    std::string at = below_root ? root : "";
    bool own = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool leaf = i + 1 == parts.size();
        own = own || parts[i] == OWN_TREE;
        at += "/" + parts[i];
        struct stat st {};
        if (::fstatat(fd.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
        if (S_ISLNK(st.st_mode) && (own || st.st_uid != 0)) return "“" + at + "” is a symbolic link";
        int next = ::openat(fd.get(), parts[i].c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (leaf ? 0 : O_DIRECTORY));
        if (next < 0) return std::nullopt;
        fd.reset(next);
        if (::fstat(fd.get(), &st) != 0) return std::nullopt;
        if (st.st_uid != 0) return "“" + at + "” belongs to uid " + std::to_string(st.st_uid) + ", not to root";
        if ((st.st_mode & 022) != 0) return "“" + at + "” may be written by others (mode " + octal(st.st_mode) + ")";
    }
    return std::string();
}

int open_file(const std::string& path, int flags, mode_t mode, std::optional<mode_t> dir_mode, const Warn& warn) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        errno = EINVAL;
        return -1;
    }
    const std::string name = path.substr(slash + 1);
    Fd dir(open_dir(slash == 0 ? "/" : path.substr(0, slash), dir_mode, warn));
    if (dir.get() < 0) return -1;

    const bool create = (flags & O_CREAT) != 0;
    const int base = (flags & ~(O_CREAT | O_TRUNC | O_EXCL)) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    auto make_new = [&]() {
        int fd = ::openat(dir.get(), name.c_str(), base | O_CREAT | O_EXCL, mode);
        if (fd >= 0) ::fchmod(fd, mode);  // not the umask's bits
        return fd;
    };

    Fd fd(::openat(dir.get(), name.c_str(), base));
    if (fd.get() < 0 && errno == ENOENT && create) {
        fd.reset(make_new());
        // Another run made it between the two opens: that file is the one.
        if (fd.get() < 0 && errno == EEXIST) fd.reset(::openat(dir.get(), name.c_str(), base));
    }
    if (fd.get() < 0) {
        // A FIFO nobody reads answers a non-blocking open for writing so.
        if (errno == ENXIO) errno = EINVAL;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        say(warn, "“" + path + "” is not a regular file; it is not used.");
        errno = EINVAL;
        return -1;
    }
    if (st.st_nlink > 1 || !is_trusted_owner(st.st_uid)) {
        const std::string why = st.st_nlink > 1 ? "had " + std::to_string(st.st_nlink) + " links"
                                                : "belonged to uid " + std::to_string(st.st_uid);
        // Unlinking the name leaves whatever else it is linked to alone; a
        // holder of the old file keeps only that.
        fd.reset(-1);
        // Only the file that was judged: a run that replaced it a moment ago
        // keeps its new one.
        struct stat now {};
        const bool same = ::fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                          now.st_ino == st.st_ino && now.st_dev == st.st_dev;
        if (!create || (same && ::unlinkat(dir.get(), name.c_str(), 0) != 0)) {
            say(warn, "“" + path + "” " + why + " and cannot be replaced; it is not used.");
            errno = EACCES;
            return -1;
        }
        fd.reset(make_new());
        if (fd.get() < 0 && errno == EEXIST && !same) fd.reset(::openat(dir.get(), name.c_str(), base));
        if (fd.get() < 0) return -1;
        say(warn, "“" + path + "” " + why + "; it was replaced by a new file.");
    } else if ((st.st_mode & 022) != 0 && (flags & O_ACCMODE) != O_RDONLY && ::fchmod(fd.get(), mode) == 0) {
        say(warn, "“" + path + "” had mode " + octal(st.st_mode) + "; it now has mode " + octal(mode) + ".");
    }
    if ((flags & O_TRUNC) && ::ftruncate(fd.get(), 0) != 0) return -1;
    // Blocking again, as the caller asked.
    ::fcntl(fd.get(), F_SETFL, base & ~O_NONBLOCK & ~O_ACCMODE);
    return fd.release();
}

}  // namespace norvik::foundation
