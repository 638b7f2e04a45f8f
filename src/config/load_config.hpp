// Parser of the main configuration file: "key=value" lines; blank lines and
// lines starting with '#' are ignored; the first '=' splits; a line without
// '=' or with an empty key is skipped. Optionally locks "<path>.lock"
// (exclusive when opened for update, shared otherwise), so that writers may
// replace the main file atomically without invalidating the lock.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>

#include "config/nkconf.hpp"
#include "foundation/flock.hpp"
#include "foundation/load_file.hpp"

namespace norvik::config {

struct Options {
    bool use_lock = false;
    bool skip_readable_check = true;
    bool rw = false;  // open for update, keep the handle
    bool empty_is_ok = true;
    double lock_timeout = 10.0;                                   // seconds to wait for the file lock
    std::size_t max_bytes = foundation::MAX_SETTINGS_FILE_BYTES;  // larger files are refused
};

struct Result {
    bool result = false;
    std::unique_ptr<foundation::Flock> fh;    // the open main file (never flocked itself)
    std::unique_ptr<foundation::Flock> lock;  // the held lock on "<path>.lock", if taken
    std::string error;                        // text when result is false
    int error_code = 0;                       // errno of the failure
    bool refused = false;                     // not a regular file, or too large
    struct stat read_at {};                   // the file's fstat when it was read
    std::string text;                         // the file as read
};

// Fills `out` with the file's keys. The handle is returned when locking or
// rw was asked for; otherwise the file is closed before return.
Result loadConfig(const std::string& path, NkConf& out, const Options& options);

std::string lock_file_for(const std::string& path);

// Parses text (the same rules) into out.
void parse(const std::string& text, NkConf& out);
// Serialises a map as "key=value\n" lines in key order.
std::string serialize(const NkConf& conf);
// The file's text with the lines of the changed keys rewritten in place
// (every line of a key that appears twice) and new keys appended; comments,
// blank lines, other keys and their order are kept as they stand.
std::string update_lines(const std::string& text, const std::map<std::string, std::string>& changes);

}  // namespace norvik::config
