// Atomic file writing: the content goes to a temporary file in the target's
// directory, which is then renamed (overwrite) or hard-linked (write) into
// place. On any failure the temporary file is removed and the target is left
// as it was. Failures raise norvik::Exception (IO::FileCreateError,
// IO::FileWriteError, IO::RenameError, IO::LinkError...) with "path" and
// "error" params, or PlainError for misuse.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace norvik::foundation {

inline constexpr mode_t DEFAULT_PERMS = 0600;
inline constexpr int MAX_TMPFILE_CREATE_ATTEMPTS = 1024;

// An open descriptor owned by the caller once returned (closed on destruction).
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FileHandle& operator=(FileHandle&& o) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct WriteOptions {
    mode_t perms = DEFAULT_PERMS;
    // Called with the temporary file's descriptor after the content is written
    // and before the file is put in place; throwing aborts the write.
    std::function<void(int fd)> before_installation;
    // Flush the file before the rename and the directory after it, so the
    // write survives a power loss. Markers that only matter while this run
    // lasts skip both (two disk flushes, tens of milliseconds on a disk).
    bool sync = true;
};

// Content as a text or a pointer to one (a null pointer raises).
FileHandle overwrite(const std::string& path, const std::string& content, mode_t perms = DEFAULT_PERMS);
FileHandle overwrite(const std::string& path, const std::string& content, const WriteOptions& options);
FileHandle overwrite(const std::string& path, const std::shared_ptr<const std::string>& content,
                     const WriteOptions& options = {});

// Like overwrite, but the target must not exist yet (raises IO::LinkError).
FileHandle write_file(const std::string& path, const std::string& content, mode_t perms = DEFAULT_PERMS);
FileHandle write_file(const std::string& path, const std::string& content, const WriteOptions& options);

// True on success; on failure logs a warning and returns false.
bool overwrite_no_exceptions(const std::string& path, const std::string& content, mode_t perms = DEFAULT_PERMS);
bool overwrite_no_exceptions(const std::string& path, const std::string& content, const WriteOptions& options);

// Rewinds fd, writes the content and truncates at the new position. Returns 1.
int write_fh(int fd, const std::string& content);

// Follows symbolic links until a non-link; relative targets are taken from
// the link's directory. Raises a PlainError after 40 hops (a loop).
std::string readlink_deep(const std::string& path);
}  // namespace norvik::foundation
