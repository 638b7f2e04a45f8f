#include "foundation/pw_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <type_traits>

#include "exception/exception.hpp"
#include "foundation/diagnostics.hpp"
#include "foundation/io_error.hpp"
#include "foundation/paths.hpp"

namespace norvik::foundation {
namespace {

struct State {
    std::map<std::string, CacheEntry> cache;
    std::map<std::string, std::string> homedirs;
    // The password file's identity when the home directories were cached.
    struct FileId {
        int64_t mtime = 0;
        off_t size = -1;
        ino_t ino = 0;
        dev_t dev = 0;
        bool operator==(const FileId&) const = default;
    } homedirs_from;
    bool want_encrypted = false;
    bool safe = true;
    TiedMap* tied = nullptr;
    bool skip_uid = false;
};

State& state() {
    // Cache for the run: user-database entries.
    static State s;
    return s;
}

// Keys whose records never go stale enough to matter (the superuser).
bool is_fixed_key(const std::string& key) { return key == "0:root" || key == "2:0"; }

int64_t mtime_ns(const std::string& path, bool* ok = nullptr) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (ok) *ok = false;
        return 0;
    }
    if (ok) *ok = true;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

long to_long_or(const std::string& s, long fallback) {
    if (s.empty()) return fallback;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return fallback;
    return v;
}

bool parse_id(const std::string& s, unsigned long& out) {
    if (s.empty() || s.size() > 10) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    out = std::stoul(s);
    return out <= 0xFFFFFFFFul;
}

bool want_encrypted_now() { return state().want_encrypted && ::geteuid() == 0; }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::optional<PwRecord> readpasswd(int field, const std::string& value) {
    std::string path = foundation::passwd_file();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        std::string dir = path.substr(0, path.rfind('/'));
        foundation::warn("The password file in “" + dir + "” could not be opened: " + foundation::error_text(err));
        return std::nullopt;
    }
    Fd guard(fd);
    struct stat st;
    int64_t pw_mtime = 0;
    if (::fstat(fd, &st) == 0) pw_mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    auto fields = field_with_value_in_pw_file(fd, field, value);
    if (!fields || fields->size() < 3) return std::nullopt;
    fields->resize(std::max<std::size_t>(fields->size(), 7));
    unsigned long uid = 0, gid = 0;
    if (!parse_id((*fields)[2], uid)) return std::nullopt;
    parse_id((*fields)[3], gid);
    PwRecord r;
    r.name = (*fields)[0];
    r.passwd = (*fields)[1];
    r.uid = static_cast<uid_t>(uid);
    r.gid = static_cast<gid_t>(gid);
    r.gecos = (*fields)[4];
    r.dir = (*fields)[5];
    r.shell = (*fields)[6];
    r.passwd_mtime = pw_mtime;
    r.shadow_mtime = pw_mtime;
    return r;
}

// uid 0 is the superuser's, whatever other names share it and precede it.
std::optional<PwRecord> read_record(int field, const std::string& value) {
    if (field == 2 && value == "0") {
        auto r = readpasswd(0, SUPERUSER_NAME);
        if (r && r->uid == 0) return r;
    }
    return readpasswd(field, value);
}

void readshadow(PwRecord& r) {
    std::string path = foundation::shadow_file();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        foundation::warn("The shadow file “" + path + "” could not be opened: " + foundation::error_text(err));
        return;
    }
    Fd guard(fd);
    struct stat st;
    int64_t sh_mtime = 0;
    if (::fstat(fd, &st) == 0) sh_mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    auto fields = field_with_value_in_pw_file(fd, 0, r.name);
    if (!fields) {
        foundation::warn("The user “" + r.name + "” is missing from the shadow file “" + path + "”.");
        return;
    }
    fields->resize(std::max<std::size_t>(fields->size(), 6));
    r.passwd = (*fields)[1];
    r.shadow_max = to_long_or((*fields)[5], -1);
    r.shadow_last = to_long_or((*fields)[2], -1);
    r.shadow_mtime = sh_mtime;
    r.from_shadow = true;
    state().safe = false;
}

bool split_key(const std::string& key, int& field, std::string& value) {
    if (key.size() < 2 || key[1] != KEY_SEPARATOR || (key[0] != '0' && key[0] != '2')) return false;
    field = key[0] - '0';
    value = key.substr(2);
    return true;
}

std::optional<PwRecord> pwfunc(const std::string& value_in, int field, bool allow_shadow) {
    std::string value = value_in.empty() ? "0" : value_in;
    if (!valid_lookup_value(field, value)) return std::nullopt;
    std::string key = make_key(field, value);
    auto& s = state();
    if (s.tied && !(field == 2 && s.skip_uid)) {
        auto e = s.tied->FETCH(key);
        if (!e) return std::nullopt;
        return e->contents;
    }
    bool want = allow_shadow && want_encrypted_now();
    auto it = s.cache.find(key);
    if (it != s.cache.end()) {
        const CacheEntry& e = it->second;
        if ((e.contents.from_shadow || !want) && is_fixed_key(key)) return e.contents;
        if (!want || e.contents.from_shadow) {
            if (validate_pw_entry(e)) return e.contents;
            clear_pw_cache();
        }
    }
    std::optional<PwRecord> r = read_record(field, value);
    if (!r) return std::nullopt;
    if (want) readshadow(*r);
    store_in_process_cache(CacheEntry{r->passwd_mtime, r->shadow_mtime, *r});
    return r;
}

}  // namespace

nlohmann::json PwRecord::to_json() const {
    return nlohmann::json::array({name, passwd, uid, gid, quota, comment, gecos, dir, shell, shadow_max, shadow_last,
                                  passwd_mtime, shadow_mtime});
}

namespace {
// An integer element that fits T. The library's own conversion casts any
// number, and a fractional or huge one does not fit (undefined behaviour).
template <typename T>
bool int_element(const nlohmann::json& v, T& out) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
        out = static_cast<T>(u);
        return true;
    }
    if (!v.is_number_integer()) return false;
    const auto i = v.get<int64_t>();
    if constexpr (std::is_unsigned_v<T>) {
        if (i < 0 || static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
    } else {
        if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
            i > static_cast<int64_t>(std::numeric_limits<T>::max()))
            return false;
    }
    out = static_cast<T>(i);
    return true;
}
}  // namespace

std::optional<PwRecord> PwRecord::from_json(const nlohmann::json& j) {
    if (!j.is_array() || j.size() != 13) return std::nullopt;
    try {
        PwRecord r;
        r.name = j[0].get<std::string>();
        r.passwd = j[1].get<std::string>();
        if (!int_element(j[2], r.uid) || !int_element(j[3], r.gid)) return std::nullopt;
        r.quota = j[4].get<std::string>();
        r.comment = j[5].get<std::string>();
        r.gecos = j[6].get<std::string>();
        r.dir = j[7].get<std::string>();
        r.shell = j[8].get<std::string>();
        if (!int_element(j[9], r.shadow_max) || !int_element(j[10], r.shadow_last) ||
            !int_element(j[11], r.passwd_mtime) || !int_element(j[12], r.shadow_mtime))
            return std::nullopt;
        r.from_shadow = r.shadow_max != -1 || r.shadow_last != -1 || r.shadow_mtime != r.passwd_mtime;
        if (r.name.empty()) return std::nullopt;
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string make_key(int field, const std::string& value) { return std::to_string(field) + KEY_SEPARATOR + value; }

bool valid_lookup_value(int field, const std::string& value) {
    if (value.empty() || value.size() > 256) return false;
    if (field == 2) {
        unsigned long v;
        return parse_id(value, v);
    }
    if (field != 0) return false;
    if (value == "." || value == "..") return false;
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '_' || c == '-' || c == '.' || c == '@' || c == '$')) return false;
    }
    return true;
}

std::optional<PwRecord> cached_getpwnam(const std::string& name) { return pwfunc(name, 0, true); }
std::optional<PwRecord> cached_getpwuid(uid_t uid) { return pwfunc(std::to_string(uid), 2, true); }
std::optional<PwRecord> getpwnam_noshadow(const std::string& name) { return pwfunc(name, 0, false); }
std::optional<PwRecord> getpwuid_noshadow(uid_t uid) { return pwfunc(std::to_string(uid), 2, false); }

std::optional<std::string> gethomedir(const std::string& uid_or_name) {
    auto& s = state();
    // An edit can keep the modification time (same second, or set back):
    // size and inode tell it too. Checked at every lookup.
    State::FileId now;
    struct stat st;
    if (::stat(foundation::passwd_file().c_str(), &st) == 0)
        now = {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, st.st_size, st.st_ino,
               st.st_dev};
    if (!(now == s.homedirs_from)) {
        // The records behind the home directories are as old: forget both.
        clear_pw_cache();
        s.homedirs_from = now;
    }
    auto it = s.homedirs.find(uid_or_name);
    if (it != s.homedirs.end()) return it->second;
    unsigned long uid;
    auto r = parse_id(uid_or_name, uid) ? getpwuid_noshadow(static_cast<uid_t>(uid)) : getpwnam_noshadow(uid_or_name);
    if (!r) return std::nullopt;
    s.homedirs[uid_or_name] = r->dir;
    return r->dir;
}

std::optional<std::string> gethomedir(uid_t uid) { return gethomedir(std::to_string(uid)); }

std::optional<std::string> getusername(uid_t uid) {
    auto r = getpwuid_noshadow(uid);
    if (!r) return std::nullopt;
    return r->name;
}

void set_want_encrypted_password(bool want) { state().want_encrypted = want; }
bool want_encrypted_password() { return state().want_encrypted; }

void clear_pw_cache() {
    auto& s = state();
    s.cache.clear();
    s.homedirs.clear();
    s.safe = true;
}

bool is_pw_cache_safe() { return state().safe; }

std::optional<std::vector<std::string>> field_with_value_in_pw_file(int fd, int field, const std::string& value_in,
                                                                    bool lower_case) {
    if (field < 0) return std::nullopt;
    std::string value = value_in;
    auto lower = [](std::string& s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    if (lower_case) lower(value);
    const std::string needle = field == 0 ? "\n" + value + ":" : ":" + value;

    std::string buffer = "\n";  // so that the first line also follows a line end
    // Not zeroed: a read touches only the pages it fills.
    std::unique_ptr<char[]> chunk(new char[PW_CHUNK_SIZE]);
    bool eof = false;
    while (!eof) {
        ssize_t n = ::read(fd, chunk.get(), PW_CHUNK_SIZE);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) eof = true;
        else buffer.append(chunk.get(), static_cast<std::size_t>(n));

        std::size_t end;
        if (eof) {
            end = buffer.size();
        } else {
            std::size_t last_nl = buffer.rfind('\n');
            if (last_nl == 0 || last_nl == std::string::npos) continue;  // no complete line yet
            end = last_nl;
        }
        std::string lowered;
        if (lower_case) {
            lowered = buffer.substr(0, end);
            lower(lowered);
        }
        std::string_view area = lower_case ? std::string_view(lowered) : std::string_view(buffer.data(), end);
        std::size_t pos = 0;
        while ((pos = area.find(needle, pos)) != std::string_view::npos) {
            std::size_t line_start, line_end;
            bool match = false;
            if (field == 0) {
                line_start = pos + 1;
                match = true;
            } else {
                std::size_t prev_nl = area.rfind('\n', pos);
                line_start = prev_nl == std::string_view::npos ? 0 : prev_nl + 1;
                std::size_t colons =
                    static_cast<std::size_t>(std::count(area.begin() + static_cast<std::ptrdiff_t>(line_start),
                                                        area.begin() + static_cast<std::ptrdiff_t>(pos), ':'));
                std::size_t after = pos + needle.size();
                bool value_ends = after == area.size() || area[after] == ':' || area[after] == '\n';
                // The needle's own ':' opens field `field`, so field-1 come before it.
                match = value_ends && colons + 1 == static_cast<std::size_t>(field);
            }
            if (match) {
                line_end = area.find('\n', line_start);
                if (line_end == std::string_view::npos) line_end = area.size();
                std::string line = buffer.substr(line_start, line_end - line_start);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::vector<std::string> fields;
                std::size_t a = 0;
                for (;;) {
                    std::size_t c = line.find(':', a);
                    fields.push_back(line.substr(a, c == std::string::npos ? std::string::npos : c - a));
                    if (c == std::string::npos) break;
                    a = c + 1;
                }
                return fields;
            }
            pos += 1;
        }
        if (!eof) buffer.erase(0, end);  // keep "\n" + the incomplete last line
    }
    return std::nullopt;
}

bool validate_pw_entry(const CacheEntry& e) {
    bool ok = false;
    int64_t pw = mtime_ns(foundation::passwd_file(), &ok);
    if (!ok || pw != e.cachetime) return false;
    if (e.contents.from_shadow) {
        int64_t sh = mtime_ns(foundation::shadow_file(), &ok);
        if (!ok || sh != e.hcachetime) return false;
    } else if (e.hcachetime != e.cachetime) {
        return false;
    }
    return true;
}

std::optional<CacheEntry> load_cached(const std::string& key) {
    auto& s = state();
    auto it = s.cache.find(key);
    if (it == s.cache.end()) return std::nullopt;
    if (!validate_pw_entry(it->second)) {
        clear_pw_cache();
        return std::nullopt;
    }
    return it->second;
}

std::optional<CacheEntry> load_pw_cache(const std::string& key) {
    int field;
    std::string value;
    if (!split_key(key, field, value) || !valid_lookup_value(field, value)) return std::nullopt;
    std::optional<PwRecord> r = read_record(field, value);
    if (!r) return std::nullopt;
    if (want_encrypted_now()) readshadow(*r);
    CacheEntry e{r->passwd_mtime, r->shadow_mtime, *r};
    store_in_process_cache(e);
    return e;
}

void store_in_process_cache(const CacheEntry& e) {
    auto& s = state();
    const PwRecord& r = e.contents;
    // Other names with uid 0 never take the superuser's uid entry.
    if (!(r.uid == 0 && r.name != SUPERUSER_NAME)) s.cache[make_key(2, std::to_string(r.uid))] = e;
    s.cache[make_key(0, r.name)] = e;
}

void init_pw_helpers(TiedMap* tied, bool skip_uid_cache) {
    state().tied = tied;
    state().skip_uid = skip_uid_cache;
}
bool istied() { return state().tied != nullptr; }
TiedMap* tiedto() { return state().tied; }
void deinit_pw_helpers() { state().tied = nullptr; }
void no_uid_cache() { state().skip_uid = true; }
void uid_cache() { state().skip_uid = false; }
bool skip_uid_cache() { return state().skip_uid; }

}  // namespace norvik::foundation
