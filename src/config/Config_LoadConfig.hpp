// Parser of the main configuration file: "key=value" lines; blank lines and
// lines starting with '#' are ignored; the first '=' splits; a line without
// '=' or with an empty key is skipped. Optionally locks "<path>.lock"
// (exclusive when opened for update, shared otherwise), so that writers may
// replace the main file atomically without invalidating the lock.
#pragma once

#include <memory>
#include <string>

#include "config/Config_LoadNkConf.hpp"
#include "foundation/FileUtils_Flock.hpp"

namespace norvik::config::loadconfig {

struct Options {
    bool use_lock = false;
    bool skip_readable_check = true;
    bool rw = false;                 // open for update, keep the handle
    bool empty_is_ok = true;
    double lock_timeout = 10.0;      // seconds to wait for the file lock
};

struct Result {
    bool result = false;
    std::unique_ptr<fileutils::Flock> fh;    // the open main file (never flocked itself)
    std::unique_ptr<fileutils::Flock> lock;  // the held lock on "<path>.lock", if taken
    std::string error;                     // text when result is false
    int error_code = 0;                    // errno of the failure
};

// Fills `out` with the file's keys. The handle is returned when locking or
// rw was asked for; otherwise the file is closed before return.
Result loadConfig(const std::string& path, NkConf& out, const Options& options);

std::string lock_file_for(const std::string& path);

// Parses text (the same rules) into out.
void parse(const std::string& text, NkConf& out);
// Serialises a map as "key=value\n" lines in key order.
std::string serialize(const NkConf& conf);

}  // namespace norvik::config::loadconfig
