#include "foundation/pw_disk_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/diagnostics.hpp"
#include "foundation/write_file.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"

namespace norvik::foundation {
namespace {

void debug_line(const std::string& text) {
    auto level = foundation::debug_level();
    if (level && *level > 3) std::fprintf(stderr, "[PwDiskCache] %s\n", text.c_str());
}

std::optional<std::string> twin_key(const std::string& key, const foundation::PwRecord& r) {
    if (key.rfind("0:", 0) == 0) {
        if (r.uid == 0 && r.name != foundation::SUPERUSER_NAME) return std::nullopt;
        return foundation::make_key(2, std::to_string(r.uid));
    }
    if (key.rfind("2:", 0) == 0) return foundation::make_key(0, r.name);
    return std::nullopt;
}

bool key_matches_record(const std::string& key, const foundation::PwRecord& r) {
    return key == foundation::make_key(0, r.name) || key == foundation::make_key(2, std::to_string(r.uid));
}

bool valid_key(const std::string& key) {
    if (key.size() < 3 || key[1] != foundation::KEY_SEPARATOR || (key[0] != '0' && key[0] != '2')) return false;
    return foundation::valid_lookup_value(key[0] - '0', key.substr(2));
}

}  // namespace

PwDiskCache::PwDiskCache(std::optional<std::string> dir) : dir_(dir ? *dir : foundation::pwcache_dir()) {}

// Trusted only as root, and only when the directory is root's alone.
bool PwDiskCache::disk_usable() const {
    if (!enabled_ || ::geteuid() != 0) return false;
    struct stat st;
    if (::lstat(dir_.c_str(), &st) != 0) return true;  // created on first store
    return S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0;
}

bool PwDiskCache::ensure_dir() const {
    if (::mkdir(dir_.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) {
        debug_line("cannot create " + dir_);
        return false;
    }
    struct stat st;
    return ::lstat(dir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<foundation::CacheEntry> PwDiskCache::read_file(const std::string& key) const {
    auto text = foundation::loadfile(file_for_key(key));
    if (!text) return std::nullopt;
    auto j = nlohmann::json::parse(*text, nullptr, false);
    if (!j.is_object() || !j.contains("VERSION") || j["VERSION"] != PW_DISK_CACHE_VERSION || !j.contains("contents")) {
        debug_line("ignoring " + key + ": not a current cache file");
        return std::nullopt;
    }
    auto r = foundation::PwRecord::from_json(j["contents"]);
    if (!r || !key_matches_record(key, *r)) return std::nullopt;
    if (j.contains("shadow") && j["shadow"].is_boolean()) r->from_shadow = j["shadow"].get<bool>();
    return foundation::CacheEntry{r->passwd_mtime, r->shadow_mtime, *r};
}

std::optional<foundation::CacheEntry> PwDiskCache::FETCH(const std::string& key) {
    if (!valid_key(key)) return std::nullopt;
    auto cached = foundation::load_cached(key);
    if (cached && (cached->contents.from_shadow || !foundation::want_encrypted_password())) return cached;
    bool disk = disk_usable();
    if (disk) {
        auto e = read_file(key);
        if (e && foundation::validate_pw_entry(*e) &&
            (e->contents.from_shadow || !foundation::want_encrypted_password())) {
            debug_line("hit " + key);
            foundation::store_in_process_cache(*e);
            return e;
        }
    }
    auto e = foundation::load_pw_cache(key);
    if (e && disk) STORE(key, *e);
    return e;
}

bool PwDiskCache::STORE(const std::string& key, const foundation::CacheEntry& entry) {
    if (!disk_usable() || !valid_key(key)) return false;
    const foundation::PwRecord& r = entry.contents;
    if (r.name.empty() || !key_matches_record(key, r)) return false;
    if (r.uid == 0 && r.name != foundation::SUPERUSER_NAME && key.rfind("2:", 0) == 0) return false;
    if (!ensure_dir()) return false;
    nlohmann::json j = {{"VERSION", PW_DISK_CACHE_VERSION}, {"contents", r.to_json()}, {"shadow", r.from_shadow}};
    std::string file = file_for_key(key);
    if (!foundation::overwrite_no_exceptions(file, j.dump(), 0600)) return false;
    debug_line("stored " + key);
    auto twin = twin_key(key, r);
    if (!twin) return true;
    std::string twin_file = file_for_key(*twin);
    struct stat a, b;
    if (::stat(file.c_str(), &a) == 0 && ::stat(twin_file.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
        a.st_dev == b.st_dev && a.st_nlink >= 2)
        return true;
    // Link under a temporary name, then rename over the twin: never a moment
    // without a twin file, never a half-written one.
    std::string tmp = twin_file + ".lnk" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::link(file.c_str(), tmp.c_str()) != 0) return true;
    if (::rename(tmp.c_str(), twin_file.c_str()) != 0) ::unlink(tmp.c_str());
    return true;
}

bool PwDiskCache::EXISTS(const std::string& key) {
    if (!valid_key(key)) return false;
    if (foundation::load_cached(key)) return true;
    if (disk_usable()) {
        struct stat st;
        if (::stat(file_for_key(key).c_str(), &st) == 0) return true;
    }
    return false;
}

void bind_default_pw_disk_cache() {
    // The default user-database cache the lookups bind to.
    static PwDiskCache cache;
    foundation::init_pw_helpers(&cache, false);
}

}  // namespace norvik::foundation
