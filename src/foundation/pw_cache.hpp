// User lookups answered from the password and shadow files directly (no
// name service), cached for the process while both files keep their
// modification times. The entry binds the lookups to the disk cache
// (PwDiskCache) with init_pw_helpers().
//
//   if (auto pw = norvik::foundation::cached_getpwnam("alice")) use(pw->uid, pw->dir);
//   auto name = norvik::foundation::getusername(1000);
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik::foundation {

inline constexpr std::size_t PW_CHUNK_SIZE = 131072;
inline constexpr const char* SUPERUSER_NAME = "root";
inline constexpr char KEY_SEPARATOR = ':';

// The 13-element password record.
struct PwRecord {
    std::string name;          // 0
    std::string passwd;        // 1: the shadow hash when read, else the placeholder
    uid_t uid = 0;             // 2
    gid_t gid = 0;             // 3
    std::string quota;         // 4 (empty)
    std::string comment;       // 5 (empty)
    std::string gecos;         // 6
    std::string dir;           // 7: home directory
    std::string shell;         // 8
    long shadow_max = -1;      // 9: shadow field 5, -1 when the shadow file was not read
    long shadow_last = -1;     // 10: shadow field 2, -1 when the shadow file was not read
    int64_t passwd_mtime = 0;  // 11: password file's mtime (ns) when read
    int64_t shadow_mtime = 0;  // 12: shadow file's mtime (ns), or the password file's
    bool from_shadow = false;  // the password field is the real hash

    nlohmann::json to_json() const;  // the 13-element list
    static std::optional<PwRecord> from_json(const nlohmann::json& list);
};

struct CacheEntry {
    int64_t cachetime = 0;   // element 11
    int64_t hcachetime = 0;  // element 12
    PwRecord contents;
};

std::optional<PwRecord> cached_getpwnam(const std::string& name);
std::optional<PwRecord> cached_getpwuid(uid_t uid);
std::optional<PwRecord> getpwnam_noshadow(const std::string& name);
std::optional<PwRecord> getpwuid_noshadow(uid_t uid);
// By uid (digits) or by name.
std::optional<std::string> gethomedir(const std::string& uid_or_name);
std::optional<std::string> gethomedir(uid_t uid);
std::optional<std::string> getusername(uid_t uid);

// Encrypted passwords are read (root only) while this is set.
void set_want_encrypted_password(bool want);
bool want_encrypted_password();

// The lookup key: field number, separator, value ("0:alice", "2:1000").
std::string make_key(int field, const std::string& value);
// False for values with characters not allowed in a name or uid.
bool valid_lookup_value(int field, const std::string& value);

// Forget every cached record (and home directory).
void clear_pw_cache();
// Whether the cache holds no encrypted password (may be shared).
bool is_pw_cache_safe();

class TiedMap;  // the disk cache's interface, see below

// The fields of the first line whose field `field` equals `value`; the file
// is read in PW_CHUNK_SIZE chunks from the descriptor's current position.
std::optional<std::vector<std::string>> field_with_value_in_pw_file(int fd, int field, const std::string& value,
                                                                    bool lower_case = false);

// The process cache's entry for the key when still valid (mtimes unchanged).
std::optional<CacheEntry> load_cached(const std::string& key);
// Reads the password files for the key (with shadow when wanted) and stores
// the record in the process cache.
std::optional<CacheEntry> load_pw_cache(const std::string& key);
// Puts a record into the process cache under its uid and name keys.
void store_in_process_cache(const CacheEntry& entry);

// True when the entry's mtimes still match the password (and shadow) files.
bool validate_pw_entry(const CacheEntry& entry);

// What a tied map offers (PwDiskCache implements it).
class TiedMap {
public:
    virtual ~TiedMap() = default;
    virtual std::optional<CacheEntry> FETCH(const std::string& key) = 0;
    virtual bool STORE(const std::string& key, const CacheEntry& entry) = 0;
    virtual bool EXISTS(const std::string& key) = 0;
};

void init_pw_helpers(TiedMap* tied, bool skip_uid_cache = false);
bool istied();
TiedMap* tiedto();
void deinit_pw_helpers();
void no_uid_cache();
void uid_cache();
bool skip_uid_cache();

}  // namespace norvik::foundation
