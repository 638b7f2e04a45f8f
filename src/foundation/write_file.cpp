#include "foundation/write_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>

#include "exception/exception.hpp"
#include "foundation/diagnostics.hpp"
#include "foundation/open_file.hpp"
#include "foundation/io_error.hpp"

namespace norvik::foundation {

std::string readlink_deep(const std::string& start) {
    std::string path = start;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return path;
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target[0] != '/') {
            std::size_t slash = path.rfind('/');
            target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
        path = target;
    }
    throw PlainError("Too many levels of symbolic links while resolving “" + start + "”.");
}

namespace {

constexpr const char* kTempPrefix = ".nkwr";
constexpr char kTempSeparator = '~';
// A temporary file this much older than now belongs to a writer that died.
constexpr time_t kLeftoverAge = 60;

struct Split {
    std::string dir;  // with its trailing slash, or empty
    std::string base;
};

Split split_path(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// FNV-1a of the base name: the temporary name stays short whatever the
// target's length, and still tells whose temporary file it is.
std::string name_hash(const std::string& base) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : base) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// ".nkwr<hash>-<random>~": what every temporary file of one target shares
// is everything up to the dash.
std::string temp_stem(const std::string& base) { return kTempPrefix + name_hash(base) + "-"; }

std::string temp_name_for(const Split& target) {
    // Random source for temporary names, seeded once.
    static std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<unsigned> dist(0, 99999998);
    return target.dir + temp_stem(target.base) + std::to_string(dist(rng)) + kTempSeparator;
}

bool all_digits(const std::string& s, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// A temporary file of this target: the current form, or the older
// ".nkwr<digits>~<name>" one.
bool is_temp_of(const std::string& entry, const std::string& stem, const std::string& base) {
    const std::size_t n = entry.size();
    if (n > stem.size() + 1 && entry.compare(0, stem.size(), stem) == 0 && entry[n - 1] == kTempSeparator)
        return all_digits(entry, stem.size(), n - 1);
    const std::size_t plen = std::char_traits<char>::length(kTempPrefix);
    const std::string tail = std::string(1, kTempSeparator) + base;
    if (n <= plen + tail.size() || entry.compare(0, plen, kTempPrefix) != 0) return false;
    if (entry.compare(n - tail.size(), tail.size(), tail) != 0) return false;
    return all_digits(entry, plen, n - tail.size());
}

// Removes what writers of this target killed mid-write left behind. A
// writer that is still at work has touched its file within the minute.
void remove_leftovers(const Split& target) {
    const std::string dir = target.dir.empty() ? std::string(".") : target.dir;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    const std::string stem = temp_stem(target.base);
    const time_t now = ::time(nullptr);
    while (struct dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (!is_temp_of(entry, stem, target.base)) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (st.st_mtime + kLeftoverAge < now) ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

void sync_or_raise(int fd, const std::string& tmp) {
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        int err = errno;
        foundation::raise_io_error("IO::FileWriteError", "The system failed to flush “[_1]” to disk: [_2]",
                                   {tmp, foundation::error_text(err)}, {{"path", tmp}}, err);
    }
}

// Makes the new directory entry survive a power loss. The file is already
// in place, so a failure here cannot undo the write and is not reported.
void sync_directory(const Split& target) {
    const std::string dir = target.dir.empty() ? std::string(".") : target.dir;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    while (::fsync(fd) != 0 && errno == EINTR) {}
    ::close(fd);
}

std::string octal(mode_t m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(m));
    return buf;
}

std::string identity_text() {
    std::string s = "uid ";
    s += std::to_string(::geteuid());
    s += ", groups ";
    s += std::to_string(::getegid());
    gid_t groups[256];
    int n = ::getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        s += ',';
        s += std::to_string(groups[i]);
    }
    return s;
}

// Removes the temporary file (and closes the handle) unless disarmed.
class TempGuard {
public:
    TempGuard(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~TempGuard() {
        if (!armed_) return;
        int saved = errno;
        ::unlink(path_.c_str());
        if (fd_ >= 0) ::close(fd_);
        errno = saved;
    }
    void disarm() { armed_ = false; }

private:
    std::string path_;
    int fd_;
    bool armed_ = true;
};

// Gives SIGXFSZ a fixed disposition (ignored: a write over the size limit
// then fails with EFBIG instead of killing the process) while it lives.
class XfszIgnored {
public:
    void engage() {
        if (engaged_) return;
        struct sigaction sa {};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        engaged_ = ::sigaction(SIGXFSZ, &sa, &old_) == 0;
    }
    ~XfszIgnored() {
        if (engaged_) ::sigaction(SIGXFSZ, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
    bool engaged_ = false;
};

void write_all(int fd, const std::string& content, const std::string& tmp) {
    XfszIgnored xfsz;
    std::size_t done = 0;
    int calls = 0;
    while (done < content.size()) {
        if (++calls >= 2) xfsz.engage();
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            foundation::raise_io_error("IO::FileWriteError", "The system failed to write to “[_1]”: [_2]",
                                       {tmp, foundation::error_text(err)}, {{"path", tmp}}, err);
        }
        if (n == 0) {
            foundation::raise_io_error("IO::FileWriteError", "The system wrote nothing to “[_1]”.", {tmp},
                                       {{"path", tmp}}, 0);
        }
        done += static_cast<std::size_t>(n);
    }
}

FileHandle install(const std::string& given_path, const std::string& content, const WriteOptions& options,
                   bool rename_into_place) {
    if (given_path.empty()) {
        throw PlainError("A path is required to write a file.\n" + exception::stack_trace(2));
    }
    std::string path = given_path;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) path = foundation::readlink_deep(path);

    const Split target = split_path(path);
    remove_leftovers(target);
    mode_t perms = options.perms & 07777;
    std::string tmp;
    int fd = -1;
    int last_err = 0;
    for (int attempt = 0; attempt < MAX_TMPFILE_CREATE_ATTEMPTS; ++attempt) {
        tmp = temp_name_for(target);
        fd = sysopen_with_real_perms(tmp, O_CREAT | O_EXCL | O_WRONLY, perms & 0777);
        if (fd >= 0) break;
        last_err = errno;
        if (last_err != EEXIST) {
            foundation::raise_io_error("IO::FileCreateError",
                                       "The system failed to create “[_1]” with permissions [_2]: [_3]",
                                       {tmp, octal(perms), foundation::error_text(last_err)},
                                       {{"path", tmp}, {"permissions", perms}}, last_err);
        }
    }
    if (fd < 0) {
        foundation::raise_io_error(
            "IO::FileCreateError",
            "After [_1] attempts, [_2] failed to create a temporary file to write “[_3]” (last tried "
            "“[_4]”): [_5]",
            {std::to_string(MAX_TMPFILE_CREATE_ATTEMPTS), identity_text(), path, tmp, foundation::error_text(last_err)},
            {{"path", path}}, last_err);
    }

    TempGuard guard(tmp, fd);
    // Bits beyond 0777 (setuid, sticky...) cannot come through open's mode.
    if ((perms & ~0777u) != 0 && ::fchmod(fd, perms) != 0) {
        int err = errno;
        foundation::raise_io_error("IO::FileWriteError", "The system failed to set permissions [_1] on “[_2]”: [_3]",
                                   {octal(perms), tmp, foundation::error_text(err)}, {{"path", tmp}}, err);
    }
    write_all(fd, content, tmp);
    if (options.before_installation) options.before_installation(fd);
    // The data must be on disk before the name points at it.
    if (options.sync) sync_or_raise(fd, tmp);

    if (rename_into_place) {
        if (::rename(tmp.c_str(), path.c_str()) != 0) {
            int err = errno;
            foundation::raise_io_error("IO::RenameError", "The system failed to rename “[_1]” to “[_2]”: [_3]",
                                       {tmp, path, foundation::error_text(err)}, {{"path", path}, {"source", tmp}},
                                       err);
        }
    } else {
        if (::link(tmp.c_str(), path.c_str()) != 0) {
            int err = errno;
            foundation::raise_io_error("IO::LinkError", "The system failed to link “[_1]” to “[_2]”: [_3]",
                                       {tmp, path, foundation::error_text(err)}, {{"path", path}, {"source", tmp}},
                                       err);
        }
        ::unlink(tmp.c_str());
    }
    guard.disarm();
    if (options.sync) sync_directory(target);
    return FileHandle(fd);
}

}  // namespace

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

FileHandle overwrite(const std::string& path, const std::string& content, mode_t perms) {
    return install(path, content, WriteOptions{perms, {}}, true);
}
FileHandle overwrite(const std::string& path, const std::string& content, const WriteOptions& options) {
    return install(path, content, options, true);
}
FileHandle overwrite(const std::string& path, const std::shared_ptr<const std::string>& content,
                     const WriteOptions& options) {
    if (!content) throw PlainError("The content to write to “" + path + "” is a null reference.");
    return install(path, *content, options, true);
}

FileHandle write_file(const std::string& path, const std::string& content, mode_t perms) {
    return install(path, content, WriteOptions{perms, {}}, false);
}
FileHandle write_file(const std::string& path, const std::string& content, const WriteOptions& options) {
    return install(path, content, options, false);
}

bool overwrite_no_exceptions(const std::string& path, const std::string& content, mode_t perms) {
    return overwrite_no_exceptions(path, content, WriteOptions{perms, {}});
}

bool overwrite_no_exceptions(const std::string& path, const std::string& content, const WriteOptions& options) {
    try {
        install(path, content, options, true);
        return true;
    } catch (const std::exception& e) {
        foundation::warn(exception::get_string(e));
        return false;
    }
}

int write_fh(int fd, const std::string& content) {
    if (::lseek(fd, 0, SEEK_SET) == static_cast<off_t>(-1)) {
        int err = errno;
        foundation::raise_io_error("IO::FileSeekError", "The system failed to rewind a file handle: [_1]",
                                   {foundation::error_text(err)}, {{"offset", 0}, {"whence", "SEEK_SET"}}, err);
    }
    write_all(fd, content, "fd " + std::to_string(fd));
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos == static_cast<off_t>(-1) || ::ftruncate(fd, pos) != 0) {
        int err = errno;
        foundation::raise_io_error("IO::FileWriteError", "The system failed to truncate a file handle: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    return 1;
}

}  // namespace norvik::foundation
