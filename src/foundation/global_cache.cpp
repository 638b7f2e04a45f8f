#include "foundation/global_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>

#include "foundation/load_file.hpp"
#include "foundation/read_fast.hpp"
#include "foundation/paths.hpp"

namespace norvik::foundation {
namespace {

struct Record {
    std::optional<int64_t> mtime;
    nlohmann::json data = nlohmann::json::object();
};

struct State {
    std::map<std::string, Record> caches;
    std::optional<std::string> product_dir;
    // Outputs of commands run in this process, by command key (and expiry).
    std::map<std::string, std::pair<std::string, int64_t>> command_outputs;
};

State& state() {
    // Cache for the run: the global cache file's contents.
    static State s;
    return s;
}

bool valid_cache_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == '\0') return false;
    return true;
}

const Record* load_cache(const std::string& cache) {
    auto& s = state();
    auto it = s.caches.find(cache);
    if (it != s.caches.end()) return &it->second;
    if (!valid_cache_name(cache)) return nullptr;
    std::string path = cache_file(cache);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;  // no record: the next query tries again
    Record rec;
    struct stat st;
    bool have_stat = ::fstat(fd, &st) == 0;
    std::string text;
    bool read_ok = true;
    try {
        foundation::read_all_fast(fd, text);
    } catch (const std::exception&) {  // an unreadable cache is rebuilt, never fatal
        read_ok = false;
    }
    ::close(fd);
    nlohmann::json j = read_ok ? nlohmann::json::parse(text, nullptr, false) : nlohmann::json();
    if (j.is_object() && have_stat) {
        rec.data = std::move(j);
        rec.mtime = static_cast<int64_t>(st.st_mtime);
    }
    return &s.caches.emplace(cache, std::move(rec)).first->second;
}

std::optional<nlohmann::json> section_value(const Record* rec, const char* section, const std::string& key) {
    if (!rec || !rec->mtime) return std::nullopt;
    auto sit = rec->data.find(section);
    if (sit == rec->data.end() || !sit->is_object()) return std::nullopt;
    auto vit = sit->find(key);
    if (vit == sit->end()) return std::nullopt;
    return *vit;
}

std::optional<std::string> as_text(const std::optional<nlohmann::json>& v) {
    if (!v) return std::nullopt;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_null()) return std::nullopt;
    return v->dump();
}

// Runs the command (no shell) and remembers its output for the process, at
// most max_age seconds when given.
std::optional<std::string> run_cached(const std::vector<std::string>& command, std::optional<int64_t> max_age,
                                      const CommandRunner& run) {
    if (command.empty() || !run) return std::nullopt;
    auto& s = state();
    std::string key = command_key(command);
    int64_t now = static_cast<int64_t>(::time(nullptr));
    auto it = s.command_outputs.find(key);
    if (it != s.command_outputs.end() && (!max_age || it->second.second + *max_age > now)) return it->second.first;
    auto out = run(command);
    if (!out) return std::nullopt;
    s.command_outputs[key] = {*out, now};
    return out;
}

}  // namespace

std::string cache_file(const std::string& cache) {
    const auto& dir = state().product_dir;
    return (dir ? *dir : foundation::state_dir()) + "/" + CACHE_SUBDIR + "/" + cache + CACHE_SUFFIX;
}

std::string command_key(const std::vector<std::string>& command) {
    std::string key;
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (i) key += COMMAND_KEY_SEPARATOR;
        key += command[i];
    }
    return key;
}

std::optional<nlohmann::json> global_cache_data(const std::string& cache, const std::string& name, int64_t test_mtime) {
    const Record* rec = load_cache(cache);
    if (!rec || !rec->mtime || *rec->mtime <= test_mtime) return std::nullopt;
    return section_value(rec, "data", name);
}

std::optional<std::string> global_cache_loadfile(const std::string& cache, const std::string& path,
                                                 std::optional<int64_t> path_mtime) {
    const Record* rec = load_cache(cache);
    if (rec && rec->mtime) {
        int64_t pm = 0;
        if (path_mtime) {
            pm = *path_mtime;
        } else {
            struct stat st;
            if (::stat(path.c_str(), &st) == 0) pm = static_cast<int64_t>(st.st_mtime);
        }
        if (*rec->mtime > pm) {
            auto v = as_text(section_value(rec, "file", path));
            if (v) return v;
        }
    }
    return foundation::loadfile(path);
}

std::optional<std::string> cachedcommand(const std::string& cache, const std::vector<std::string>& command,
                                         const CommandRunner& run) {
    if (command.empty()) return std::nullopt;
    const Record* rec = load_cache(cache);
    if (rec && rec->mtime) {
        struct stat st;
        if (::stat(command[0].c_str(), &st) == 0 && *rec->mtime > static_cast<int64_t>(st.st_mtime) &&
            *rec->mtime > static_cast<int64_t>(st.st_ctime)) {
            auto v = as_text(section_value(rec, "command", command_key(command)));
            if (v) return v;
        }
    }
    return run_cached(command, std::nullopt, run);
}

std::optional<std::string> cachedmcommand(const std::string& cache, int64_t cache_max_mtime,
                                          const std::vector<std::string>& command, const CommandRunner& run) {
    if (command.empty()) return std::nullopt;
    const Record* rec = load_cache(cache);
    if (rec && rec->mtime && *rec->mtime + cache_max_mtime > static_cast<int64_t>(::time(nullptr))) {
        auto v = as_text(section_value(rec, "command", command_key(command)));
        if (v) return v;
    }
    return run_cached(command, cache_max_mtime, run);
}

std::optional<int64_t> get_cache_mtime(const std::string& cache) {
    const Record* rec = load_cache(cache);
    if (!rec) return std::nullopt;
    return rec->mtime;
}

void clearcache() {
    state().caches.clear();
    state().command_outputs.clear();
}

void default_product_dir(const std::string& dir) {
    if (!dir.empty()) state().product_dir = dir;
}

}  // namespace norvik::foundation
