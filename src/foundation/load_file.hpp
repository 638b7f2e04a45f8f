// Whole-file readers. The raising readers (load*, load_r*) throw
// norvik::Exception with the params "path" and "error" (and "errno"):
//   IO::FileNotFound   the file does not exist (load/load_r only)
//   IO::FileOpenError  any other open failure
//   IO::FileSeekError  seek failed (also "offset", "whence")
//   IO::FileReadError  read failed
// The lenient readers (loadfile*, loadbinfile, loadfileasarrayref) give
// std::nullopt instead.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvik::foundation {

inline constexpr std::size_t LOAD_FILE_CHUNK = 262144;

std::string load(const std::string& path);
std::string load(const std::string& path, off_t offset, std::optional<std::size_t> length = std::nullopt);
std::shared_ptr<std::string> load_r(const std::string& path, off_t offset = 0,
                                    std::optional<std::size_t> length = std::nullopt);

// std::nullopt when the file does not exist; other failures raise.
std::optional<std::string> load_if_exists(const std::string& path, off_t offset = 0,
                                          std::optional<std::size_t> length = std::nullopt);
std::shared_ptr<std::string> load_r_if_exists(const std::string& path, off_t offset = 0,
                                              std::optional<std::size_t> length = std::nullopt);

struct LoadOptions {
    bool binmode = false;  // no text translation happens on Linux; kept for callers
};

// std::nullopt on any failure.
std::optional<std::string> loadfile(const std::string& path, LoadOptions options = {});
std::shared_ptr<std::string> loadfile_r(const std::string& path, LoadOptions options = {});
// Lines including their line ends (the last may lack one).
std::optional<std::vector<std::string>> loadfileasarrayref(const std::string& path);
std::optional<std::string> loadbinfile(const std::string& path);

// Copies the file to fd; prints nothing on failure. True when all was copied.
bool slurpfile(int fd, const std::string& path);

// Up to `max` bytes from the start of a regular file. The open never
// blocks, so a FIFO or device planted at the path cannot hang the caller;
// std::nullopt when it cannot be opened, read, or is not a regular file.
std::optional<std::string> read_plain_file_head(const std::string& path, std::size_t max);

// The most that a settings file (the main configuration, its cache, a
// service definition, a release file) may hold.
inline constexpr std::size_t MAX_SETTINGS_FILE_BYTES = 16u * 1024 * 1024;

struct BoundedFile {
    std::optional<std::string> text;  // the contents, when accepted
    int error = 0;                    // errno of the failure: ENOENT when missing,
                                      // EINVAL not a regular file, EFBIG too large
    std::string reason;               // a sentence naming the path and the cause
};

// The whole of a regular file of at most `limit` bytes. Anything else (a
// FIFO, a device, a link to one, a larger file) is refused without blocking
// and without reading more than limit + 1 bytes.
BoundedFile read_regular_file(const std::string& path, std::size_t limit = MAX_SETTINGS_FILE_BYTES);

// Splits text into lines, each keeping its "\n".
std::vector<std::string> split_lines(const std::string& text);

}  // namespace norvik::foundation
