// The on-disk password-entry cache: one file per lookup key in a root-only
// directory (0700), each a JSON map {"VERSION", "contents": [13 elements],
// "shadow"}, mode 0600. A user's uid-key and name-key files are two hard
// links to one inode. Only root reads or writes it; other callers fall back
// to the password files.
#pragma once

#include <optional>
#include <string>

#include "foundation/pw_cache.hpp"

namespace norvik::foundation {

inline constexpr const char* PW_DISK_CACHE_VERSION = "1";

class PwDiskCache : public foundation::TiedMap {
public:
    // TIEHASH: the directory defaults to norvik::foundation::pwcache_dir().
    explicit PwDiskCache(std::optional<std::string> dir = std::nullopt);

    std::optional<foundation::CacheEntry> FETCH(const std::string& key) override;
    bool STORE(const std::string& key, const foundation::CacheEntry& entry) override;
    bool EXISTS(const std::string& key) override;
    void enable() { enabled_ = true; }
    void disable() { enabled_ = false; }
    bool enabled() const { return enabled_; }

    const std::string& dir() const { return dir_; }
    std::string file_for_key(const std::string& key) const { return dir_ + "/" + key; }

private:
    bool disk_usable() const;
    std::optional<foundation::CacheEntry> read_file(const std::string& key) const;
    bool ensure_dir() const;

    std::string dir_;
    bool enabled_ = true;
};

// Binds the password lookups to a process-wide disk cache (the entry does
// this at the start of every run).
void bind_default_pw_disk_cache();

}  // namespace norvik::foundation
