// Reads (and, through the saving half, writes) the main configuration.
// Sources, fastest first: the in-process memory cache; the JSON cache when its
// mtime is exactly the main file's mtime + 1 s; the main file itself, read
// under its lock when running as root (created empty, 0644, when missing).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "config/nkconf.hpp"
#include "foundation/flock.hpp"

namespace norvik::config {

class NkConfGuard {
public:
    struct Options {
        bool loadnkconf = false;       // read-only use
        std::optional<bool> use_lock;  // default: effective uid is 0
        bool no_validate = false;
    };

    explicit NkConfGuard(const Options& options);
    NkConfGuard() : NkConfGuard(Options{}) {}
    ~NkConfGuard();
    NkConfGuard(const NkConfGuard&) = delete;
    NkConfGuard& operator=(const NkConfGuard&) = delete;

    // A copy of data, else of the cache, else an empty map.
    NkConf config_copy() const;

    // (map or null, whether it is current).
    static std::pair<std::shared_ptr<const NkConf>, bool> get_cache();
    static void clearcache();

    // Rewrites a stale JSON cache, then closes the file and drops its lock.
    // Only the creating process ever does this.
    void release_lock();

    // The saving half.
    void set(const std::string& key, const std::string& value);
    // Writes the main file atomically (keeps the lock) and the JSON cache.
    // Only the lines of the changed keys change; new keys are appended; a
    // change whose key has unusual characters, or whose value has a line
    // end, is not written (a warning names it). Needs use_lock and a main
    // file that was read; PlainError otherwise.
    void save();
    // Drops unsaved changes and releases the lock without writing.
    void abort();
    std::map<std::string, std::string> find_missing_keys();
    // Warns naming each key with unusual characters; returns their number.
    int validate_keys();
    bool notify_and_save_if_changed();
    void log_missing_values(const std::map<std::string, std::string>& missing) const;
    void notify_missing_file() const;
    // Rewrites the JSON cache from data (mtime = main file mtime + 1 s), only
    // while the main file is the one data was read from (same inode, same
    // mtime to the nanosecond, taken with fstat). False when nothing was written.
    bool _update_cache();

    // Process-wide settings.
    // memory_only: when set, no file is touched and this map is the config.
    static void set_memory_only(std::optional<NkConf> conf);
    static bool memory_only_set();
    // The main file's mtime at which the memory cache was accepted (0: none).
    static time_t mem_cache_mtime();
    static void set_daemon(bool daemon);

    // Fields (read-only for callers).
    const std::string& path() const { return path_; }
    pid_t pid() const { return pid_; }
    bool use_lock() const { return use_lock_; }
    bool loadnkconf() const { return loadnkconf_; }
    bool no_validate() const { return no_validate_; }
    const std::optional<NkConf>& data() const { return data_; }
    const std::shared_ptr<const NkConf>& cache() const { return cache_; }
    bool cache_is_valid() const { return cache_is_valid_; }
    bool is_missing() const { return is_missing_; }
    bool rw() const { return rw_; }
    bool is_locked() const { return is_locked_; }
    bool changed() const { return changed_; }
    const std::map<std::string, std::string>& changes() const { return changes_; }

private:
    void load_file();

    std::string path_;
    pid_t pid_ = 0;
    bool use_lock_ = false;
    bool loadnkconf_ = false;
    bool no_validate_ = false;
    bool changed_ = false;
    std::map<std::string, std::string> changes_;
    std::shared_ptr<const NkConf> cache_;
    bool cache_is_valid_ = false;
    std::optional<NkConf> data_;
    bool is_missing_ = false;
    bool rw_ = false;
    std::unique_ptr<foundation::Flock> fh_;
    std::unique_ptr<foundation::Flock> lock_;
    bool is_locked_ = false;
    bool memory_only_ = false;
    bool stale_cache_ = false;  // the cache is rewritten at release
    bool refused_ = false;      // the main file is no regular file, or too large
    std::string text_;          // the main file as read, for line-keeping saves
    struct stat read_at_ {};    // its fstat when read (st_ino 0: not read)
};

}  // namespace norvik::config
