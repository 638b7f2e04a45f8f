#include "config/nkconf_guard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "config/load_config.hpp"
#include "exception/exception.hpp"
#include "foundation/mkdir.hpp"
#include "foundation/write_file.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "foundation/hires_clock.hpp"
#include "log/debug.hpp"

namespace norvik::config {
namespace {

struct State {
    std::shared_ptr<const NkConf> mem_cache;
    time_t mem_cache_mtime = 0;
    std::optional<NkConf> memory_only;
    bool in_load = false;
    bool daemon = false;
};

State& state() {
    // Cache for the run: the main configuration in memory and its mtime.
    static State s;
    return s;
}

time_t mtime_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mtime;
}

bool verbose() { return log::debug_level().value_or(0) >= 5; }
void report(const std::string& text) {
    if (verbose()) log::log_info(text);
}

// The JSON cache, or null on any error (never raises).
std::shared_ptr<NkConf> load_json_cache(const std::string& path) {
    try {
        auto file = foundation::read_regular_file(path);
        if (!file.text) {
            if (file.error != ENOENT) log::log_warn("The configuration cache " + file.reason + "; it is not used.");
            return nullptr;
        }
        auto j = nlohmann::json::parse(*file.text, nullptr, false);
        if (j.is_discarded() || !j.is_object()) return nullptr;
        auto out = std::make_shared<NkConf>();
        for (auto it = j.begin(); it != j.end(); ++it) {
            const auto& v = it.value();
            if (v.is_string()) (*out)[it.key()] = v.get<std::string>();
            else if (v.is_null()) (*out)[it.key()] = "";
            else if (v.is_boolean()) (*out)[it.key()] = v.get<bool>() ? "1" : "0";
            else if (v.is_number()) (*out)[it.key()] = v.dump();
            else return nullptr;  // nested values never come from the main file
        }
        return out;
    } catch (const std::exception&) {  // an unreadable cache only means the main file is read
        return nullptr;
    }
}

// Letters, digits and "_.:-" only. Checked by hand: the library's matcher
// recurses once per character, and a key can be as long as a line.
bool is_valid_key(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == ':' || c == '-'))
            return false;
    return true;
}

}  // namespace

void NkConfGuard::set_memory_only(std::optional<NkConf> conf) {
    state().memory_only = std::move(conf);
    clearcache();
}
bool NkConfGuard::memory_only_set() { return state().memory_only.has_value(); }
time_t NkConfGuard::mem_cache_mtime() { return state().mem_cache_mtime; }
void NkConfGuard::set_daemon(bool daemon) { state().daemon = daemon; }

void NkConfGuard::clearcache() {
    state().mem_cache_mtime = 0;
    state().mem_cache.reset();
}

std::pair<std::shared_ptr<const NkConf>, bool> NkConfGuard::get_cache() {
    auto& st = state();
    const std::string main = foundation::main_config();
    const time_t config_mtime = mtime_of(main);
    if (st.mem_cache && config_mtime != 0 && config_mtime == st.mem_cache_mtime) {
        report("NkConfGuard: using the memory cache");
        return {st.mem_cache, true};
    }
    clearcache();
    const std::string cache_path = foundation::main_config_cache();
    struct stat cst {};
    if (::stat(cache_path.c_str(), &cst) != 0) {
        report("NkConfGuard: no JSON cache file");
        return {nullptr, false};
    }
    time_t before = cst.st_mtime;
    time_t after = 0;
    std::shared_ptr<NkConf> read;
    // The cache is replaced by rename, so each read sees one whole version;
    // the mtime check tells whether it was replaced while we read it, and
    // then we read again (up to 10 passes).
    for (int pass = 0; pass < 10; ++pass) {
        read = load_json_cache(cache_path);
        after = mtime_of(cache_path);
        if (after == before) break;
        before = after;
        foundation::hires_sleep(1.0);
    }
    if (read && !read->empty()) {
        if (config_mtime != 0 && after != 0 && after == config_mtime + 1) {
            report("NkConfGuard: the JSON cache is current");
            st.mem_cache = read;
            st.mem_cache_mtime = config_mtime;
            return {read, true};
        }
        report("NkConfGuard: the JSON cache is stale");
        return {read, false};
    }
    report("NkConfGuard: the JSON cache is unreadable or empty");
    return {nullptr, false};
}

NkConfGuard::NkConfGuard(const Options& options)
    : path_(foundation::main_config()),
      pid_(::getpid()),
      use_lock_(options.use_lock.value_or(::geteuid() == 0)),
      loadnkconf_(options.loadnkconf),
      no_validate_(options.no_validate) {
    if (state().memory_only) {
        memory_only_ = true;
        data_ = *state().memory_only;
        return;
    }
    std::tie(cache_, cache_is_valid_) = get_cache();
    if (loadnkconf_ && cache_is_valid_) return;
    load_file();
    if (state().daemon || no_validate_ || !use_lock_ || refused_) return;
    find_missing_keys();
    validate_keys();
    notify_and_save_if_changed();
}

NkConfGuard::~NkConfGuard() {
    if (::geteuid() != 0 || memory_only_) return;
    if (!lock_) return;
    try {
        release_lock();
    } catch (const std::exception& e) {
        log::log_warn(std::string("Failed to release the configuration lock: ") + exception::get_string(e));
    }
}

void NkConfGuard::load_file() {
    auto& st = state();
    if (st.in_load) {
        throw PlainError("The main configuration is already being loaded (recursive load).\n" +
                         exception::stack_trace(1));
    }
    struct Restore {
        bool& flag;
        bool old;
        ~Restore() { flag = old; }
    } restore{st.in_load, st.in_load};
    st.in_load = true;

    struct stat sb {};
    is_missing_ = ::stat(path_.c_str(), &sb) != 0 && errno == ENOENT;
    if (!use_lock_ && is_missing_) return;
    if (use_lock_ && is_missing_) {
        const std::string dir = path_.substr(0, path_.rfind('/'));
        if (!dir.empty()) foundation::make_dir_p(dir, 0755);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            if (::fchown(fd, 0, 0) != 0)
                log::log_warn("Failed to give “" + path_ + "” to root: " + std::strerror(errno));
            ::fchmod(fd, 0644);
            ::close(fd);
        }
    }
    // Whoever may write (a save, or the cache rewrite of a stale cache)
    // locks exclusively: under a shared lock two writers each saved what
    // they had read, and the first one's keys were lost.
    rw_ = use_lock_;
    stale_cache_ = use_lock_ && !cache_is_valid_;
    NkConf conf;
    config::Options lo;
    lo.use_lock = use_lock_;
    lo.skip_readable_check = true;
    lo.rw = rw_;
    lo.empty_is_ok = true;
    auto r = config::loadConfig(path_, conf, lo);
    if (r.refused) {
        // Read as a corrupt file would be: nothing in it, nothing written back.
        refused_ = true;
        log::log_warn("The configuration file " + r.error + "; it is read as empty and left as it is.");
        data_ = NkConf{};
    } else if (!r.result && !r.fh && r.error_code != ENOENT) {
        throw PlainError("The system failed to read the configuration file “" + path_ + "”: " +
                         (r.error.empty() ? std::string("unknown error") : r.error) + "\n" + exception::stack_trace(1));
    }
    fh_ = std::move(r.fh);
    lock_ = std::move(r.lock);
    if (r.result) {
        data_ = std::move(conf);
        text_ = std::move(r.text);
        read_at_ = r.read_at;
    }
    if (use_lock_) {
        if (!lock_) log::log_warn("The configuration file “" + path_ + "” could not be locked.");
        if (!fh_) log::log_warn("The configuration file “" + path_ + "” could not be opened.");
    }
    is_locked_ = static_cast<bool>(lock_);
    if (!st.mem_cache && data_) st.mem_cache = std::make_shared<const NkConf>(*data_);
}

NkConf NkConfGuard::config_copy() const {
    if (data_) return *data_;
    if (cache_) return *cache_;
    return {};
}

void NkConfGuard::release_lock() {
    if (!use_lock_ || pid_ != ::getpid() || !lock_) return;
    // The cache is refreshed while the lock still keeps other writers out.
    if (stale_cache_) _update_cache();
    stale_cache_ = false;
    fh_.reset();
    lock_.reset();
    is_locked_ = false;
}

bool NkConfGuard::_update_cache() {
    if (!data_ || memory_only_ || refused_ || read_at_.st_ino == 0) return false;
    // Stamp the data as current only if the main file is still the one it
    // was read from: a change by hand since then must win.
    struct stat now {};
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    const int rc = ::fstat(fd, &now);
    ::close(fd);
    if (rc != 0 || now.st_dev != read_at_.st_dev || now.st_ino != read_at_.st_ino ||
        now.st_mtim.tv_sec != read_at_.st_mtim.tv_sec || now.st_mtim.tv_nsec != read_at_.st_mtim.tv_nsec) {
        report("NkConfGuard: the main file changed since it was read; the cache is left alone");
        return false;
    }
    const time_t main_mtime = now.st_mtime;
    if (main_mtime == 0) return false;
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [k, v] : *data_) j[k] = v;
    foundation::WriteOptions wo;
    wo.perms = 0644;
    wo.before_installation = [main_mtime](int fd) {
        struct timespec times[2];
        times[0].tv_sec = main_mtime + 1;
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (::futimens(fd, times) != 0) throw PlainError(std::string("futimens: ") + std::strerror(errno));
    };
    try {
        foundation::overwrite(foundation::main_config_cache(), j.dump(), wo);
    } catch (const std::exception& e) {
        log::log_warn("Failed to write the configuration cache: " + exception::get_string(e));
        return false;
    }
    state().mem_cache = std::make_shared<const NkConf>(*data_);
    state().mem_cache_mtime = main_mtime;
    return true;
}

void NkConfGuard::set(const std::string& key, const std::string& value) {
    if (!data_) data_ = NkConf{};
    auto it = data_->find(key);
    if (it != data_->end() && it->second == value) return;
    (*data_)[key] = value;
    changes_[key] = value;
    changed_ = true;
}

void NkConfGuard::save() {
    if (memory_only_) {
        state().memory_only = data_.value_or(NkConf{});
        changed_ = false;
        changes_.clear();
        return;
    }
    if (!use_lock_ || !lock_ || pid_ != ::getpid())
        throw PlainError("The configuration can only be saved while its lock is held.");
    if (refused_)
        throw PlainError("The configuration file “" + path_ + "” is not a readable regular file; nothing is saved.");
    std::map<std::string, std::string> writable;
    for (const auto& [k, v] : changes_) {
        if (is_valid_key(k) && v.find('\n') == std::string::npos) {
            writable[k] = v;
            continue;
        }
        log::log_warn("The configuration key “" + k + "” " +
                      (is_valid_key(k) ? "has a value of several lines" : "has unusual characters") +
                      "; it is not saved.");
        if (data_) data_->erase(k);
    }
    // Only the saved keys' lines change: the admin's comments and order stay.
    std::string text = config::update_lines(text_, writable);
    auto written = foundation::overwrite(path_, text, 0644);
    text_ = std::move(text);
    ::fstat(written.fd(), &read_at_);
    changed_ = false;
    changes_.clear();
    clearcache();
    _update_cache();
    stale_cache_ = false;
}

void NkConfGuard::abort() {
    changes_.clear();
    changed_ = false;
    stale_cache_ = false;  // nothing was written, so there is no cache to refresh
    release_lock();
}

std::map<std::string, std::string> NkConfGuard::find_missing_keys() {
    // Keys this program relies on; a missing one reads as its default.
    static const std::map<std::string, std::string> known = {{"skipmailman", "0"}};
    std::map<std::string, std::string> missing;
    if (!data_) return missing;
    for (const auto& [k, v] : known)
        if (!data_->count(k)) missing[k] = v;
    if (!missing.empty() && !loadnkconf_) {
        for (const auto& [k, v] : missing) set(k, v);
        log_missing_values(missing);
    }
    return missing;
}

int NkConfGuard::validate_keys() {
    if (!data_) return 0;
    int unusual = 0;
    // Kept as the admin wrote them (a save leaves their lines alone), but named.
    for (const auto& [k, v] : *data_) {
        if (is_valid_key(k)) continue;
        log::log_warn("The configuration key “" + k + "” in “" + path_ + "” has unusual characters.");
        ++unusual;
    }
    return unusual;
}

bool NkConfGuard::notify_and_save_if_changed() {
    if (!changed_ || loadnkconf_) return false;
    if (is_missing_) notify_missing_file();
    save();
    return true;
}

void NkConfGuard::log_missing_values(const std::map<std::string, std::string>& missing) const {
    std::string keys;
    for (const auto& [k, v] : missing) keys += (keys.empty() ? "" : ", ") + k + "=" + v;
    log::log_info("Added missing configuration values to “" + path_ + "”: " + keys);
}

void NkConfGuard::notify_missing_file() const {
    log::log_warn("The configuration file “" + path_ + "” was missing and has been created.");
}

}  // namespace norvik::config
