#include "foundation/load_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/diagnostics.hpp"
#include "foundation/io_error.hpp"
#include "foundation/read_fast.hpp"

namespace norvik::foundation {
namespace {

enum class Missing { Raise, Nullopt };

class Fd {
public:
    explicit Fd(int fd, const std::string& path) : fd_(fd), path_(path) {}
    ~Fd() {
        if (fd_ >= 0 && ::close(fd_) != 0) {
            foundation::warn("Failed to close “" + path_ + "”: " + foundation::error_text(errno));
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
    const std::string& path_;
};

// Reads the open file; raises IO::FileReadError with the path on failure.
void read_whole(int fd, const std::string& path, std::string& buffer, off_t offset, std::optional<std::size_t> length) {
    if (offset != 0 && ::lseek(fd, offset, SEEK_SET) == static_cast<off_t>(-1)) {
        int err = errno;
        foundation::raise_io_error("IO::FileSeekError",
                                   "The system failed to seek to offset [_1] ([_2]) in “[_3]”: [_4]",
                                   {std::to_string(offset), "SEEK_SET", path, foundation::error_text(err)},
                                   {{"path", path}, {"offset", offset}, {"whence", "SEEK_SET"}}, err);
    }
    try {
        if (!length) {
            struct stat st;
            bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            std::size_t first = foundation::read_fast(fd, buffer, LOAD_FILE_CHUNK, 0);
            // A short read is no end of file: pipes, sockets and the seq
            // files of /proc answer in pieces. Only a read of 0 ends it.
            if (first > 0) {
                if (regular && first == LOAD_FILE_CHUNK) {
                    off_t pos = offset + static_cast<off_t>(buffer.size());
                    if (st.st_size > pos)
                        foundation::read_fast(fd, buffer, static_cast<std::size_t>(st.st_size - pos), buffer.size());
                }
                foundation::read_all_fast(fd, buffer);
            }
        } else {
            while (buffer.size() < *length) {
                if (foundation::read_fast(fd, buffer, *length - buffer.size(), buffer.size()) == 0) break;
            }
        }
    } catch (const Exception& e) {
        foundation::raise_io_error("IO::FileReadError", "The system failed to read “[_1]”: [_2]",
                                   {path, e.get_text("error")},
                                   {{"path", path}, {"error", e.get("error")}, {"errno", e.get("errno")}}, 0);
    }
}

std::optional<std::string> load_raising(const std::string& path, off_t offset, std::optional<std::size_t> length,
                                        Missing missing) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) {
            if (missing == Missing::Nullopt) return std::nullopt;
            foundation::raise_io_error("IO::FileNotFound", "The file “[_1]” does not exist.", {path}, {{"path", path}},
                                       err);
        }
        foundation::raise_io_error("IO::FileOpenError", "The system failed to open “[_1]” for reading: [_2]",
                                   {path, foundation::error_text(err)}, {{"path", path}, {"mode", "<"}}, err);
    }
    Fd guard(fd, path);
    std::string buffer;
    read_whole(fd, path, buffer, offset, length);
    return buffer;
}

}  // namespace

std::string load(const std::string& path) { return *load_raising(path, 0, std::nullopt, Missing::Raise); }

std::string load(const std::string& path, off_t offset, std::optional<std::size_t> length) {
    return *load_raising(path, offset, length, Missing::Raise);
}

std::shared_ptr<std::string> load_r(const std::string& path, off_t offset, std::optional<std::size_t> length) {
    return std::make_shared<std::string>(*load_raising(path, offset, length, Missing::Raise));
}

std::optional<std::string> load_if_exists(const std::string& path, off_t offset, std::optional<std::size_t> length) {
    return load_raising(path, offset, length, Missing::Nullopt);
}

std::shared_ptr<std::string> load_r_if_exists(const std::string& path, off_t offset,
                                              std::optional<std::size_t> length) {
    auto r = load_raising(path, offset, length, Missing::Nullopt);
    if (!r) return nullptr;
    return std::make_shared<std::string>(std::move(*r));
}

std::optional<std::string> loadfile(const std::string& path, LoadOptions) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Fd guard(fd, path);
    std::string buffer;
    try {
        read_whole(fd, path, buffer, 0, std::nullopt);
    } catch (const Exception&) {
        return std::nullopt;
    }
    return buffer;
}

std::shared_ptr<std::string> loadfile_r(const std::string& path, LoadOptions options) {
    auto r = loadfile(path, options);
    if (!r) return nullptr;
    return std::make_shared<std::string>(std::move(*r));
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start + 1));
        start = nl + 1;
    }
    return lines;
}

std::optional<std::vector<std::string>> loadfileasarrayref(const std::string& path) {
    auto r = loadfile(path);
    if (!r) return std::nullopt;
    return split_lines(*r);
}

std::optional<std::string> loadbinfile(const std::string& path) { return loadfile(path, {.binmode = true}); }

bool slurpfile(int out, const std::string& path) {
    auto r = loadfile(path);
    if (!r) return false;
    const char* p = r->data();
    std::size_t left = r->size();
    while (left > 0) {
        ssize_t n = ::write(out, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> read_plain_file_head(const std::string& path, std::size_t max) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text(max, '\0');
    std::size_t got = 0;
    while (got < max) {
        ssize_t n = ::read(fd, text.data() + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return text;
}

BoundedFile read_regular_file(const std::string& path, std::size_t limit) {
    BoundedFile r;
    // Non-blocking: a FIFO at the path must not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        r.error = errno;
        r.reason = "“" + path + "” cannot be opened: " + foundation::error_text(r.error);
        return r;
    }
    Fd guard(fd, path);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        r.error = errno;
        r.reason = "“" + path + "” cannot be examined: " + foundation::error_text(r.error);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = EINVAL;
        r.reason = "“" + path + "” is not a regular file";
        return r;
    }
    const std::string too_large = "“" + path + "” is larger than " + std::to_string(limit) + " bytes";
    if (static_cast<std::size_t>(st.st_size) > limit) {
        r.error = EFBIG;
        r.reason = too_large;
        return r;
    }
    // The file may grow while it is read: read one byte past the limit. Read
    // in pieces the size the file says it has (each piece is zeroed before the
    // read, and fresh pages cost a fault each), at least a page at a time.
    std::string text;
    const std::size_t expected = static_cast<std::size_t>(st.st_size);
    try {
        while (text.size() <= limit) {
            const std::size_t want = expected > text.size() ? expected + 1 - text.size() : 4096;
            const std::size_t piece =
                std::min<std::size_t>({limit + 1 - text.size(), std::max<std::size_t>(want, 4096), 65536});
            if (foundation::read_fast(fd, text, piece, text.size()) == 0) break;
        }
    } catch (const Exception& e) {
        r.error = EIO;
        r.reason = "“" + path + "” cannot be read: " + e.get_text("error");
        return r;
    }
    if (text.size() > limit) {
        r.error = EFBIG;
        r.reason = too_large;
        return r;
    }
    r.text = std::move(text);
    return r;
}

}  // namespace norvik::foundation
